// The test signal generator: a few periodic waveforms with a linear
// frequency sweep, and a record of the last call.
#include "imksignal.h"

#include <climits>
#include <cmath>
#include <cstring>
#include <mutex>

namespace {

std::mutex last_lock;
Imksignal_call last_call;
int ncalls = 0;

enum class Shape { kSaw, kSin, kSqr, kTri, kImp, kZer, kUnknown };

Shape shape_of(const char *name) {
    struct Entry {
        const char *name;
        Shape shape;
    };
    static const Entry kShapes[] = {
        {"saw", Shape::kSaw}, {"sin", Shape::kSin}, {"sqr", Shape::kSqr},
        {"tri", Shape::kTri}, {"imp", Shape::kImp}, {"zer", Shape::kZer},
    };
    if (name == nullptr) return Shape::kUnknown;
    for (const Entry &e : kShapes)
        if (std::strcmp(e.name, name) == 0) return e.shape;
    return Shape::kUnknown;
}

// amp * v rounded and clipped to the range of an int.
int clipped(double amp, double v) {
    const double x = std::nearbyint(amp * v);
    if (std::isnan(x)) return 0;
    if (x >= static_cast<double>(INT_MAX)) return INT_MAX;
    if (x <= static_cast<double>(INT_MIN)) return INT_MIN;
    return static_cast<int>(x);
}

void record(const char *waveform, double time, int nsamp, double samprate, double t0,
            double freq, double slew, double amp, int result) {
    std::lock_guard<std::mutex> lock(last_lock);
    std::memset(&last_call, 0, sizeof last_call);
    if (waveform != nullptr)
        std::strncpy(last_call.waveform, waveform, sizeof last_call.waveform - 1);
    last_call.time = time;
    last_call.nsamp = nsamp;
    last_call.samprate = samprate;
    last_call.t0 = t0;
    last_call.freq = freq;
    last_call.slew = slew;
    last_call.amp = amp;
    last_call.result = result;
    ncalls++;
}

}  // namespace

extern "C" {

int imksignal(char *waveform, int *samples, double time, int nsamp, double samprate,
              double t0, double freq, double slew, double amp) {
    const Shape shape = shape_of(waveform);
    int result = 0;
    if (shape == Shape::kUnknown || !(samprate > 0.0)) result = -1;
    if (samples == nullptr) {
        record(waveform, time, nsamp, samprate, t0, freq, slew, amp, -1);
        return -1;
    }

    auto phase_at = [&](double t) {
        const double dt = t - t0;
        return freq * dt + 0.5 * slew * dt * dt;
    };
    for (int i = 0; i < nsamp; i++) {
        if (result != 0) {
            samples[i] = 0;
            continue;
        }
        const double t = time + i / samprate;
        const double phase = phase_at(t);
        const double cycle = phase - std::floor(phase);  // 0 <= cycle < 1
        double v = 0.0;
        switch (shape) {
            case Shape::kSaw: v = 2.0 * cycle - 1.0; break;
            case Shape::kSin: v = std::sin(2.0 * M_PI * phase); break;
            case Shape::kSqr: v = cycle < 0.5 ? 1.0 : -1.0; break;
            case Shape::kTri: v = cycle < 0.5 ? 4.0 * cycle - 1.0 : 3.0 - 4.0 * cycle; break;
            case Shape::kImp:
                // The first sample at or after the start of a cycle.
                v = std::floor(phase) != std::floor(phase_at(t - 1.0 / samprate)) ? 1.0 : 0.0;
                break;
            case Shape::kZer:
            case Shape::kUnknown: v = 0.0; break;
        }
        samples[i] = clipped(amp, v);
    }
    record(waveform, time, nsamp, samprate, t0, freq, slew, amp, result);
    return result;
}

int imksignal_last_call(Imksignal_call *call) {
    std::lock_guard<std::mutex> lock(last_lock);
    if (ncalls > 0 && call != nullptr) *call = last_call;
    return ncalls;
}

}  // extern "C"
