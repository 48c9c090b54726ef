// The GSE2.0 checksum of integer samples.
#include <cstdint>

#include "codecs.h"

namespace {

constexpr int64_t kModulo = 100000000;

// One step of the sum: the sample and the running sum each reduced
// (towards zero) once they reach the modulus in magnitude.
inline int64_t step(int64_t sum, int64_t s) {
    if (s >= kModulo || s <= -kModulo) s %= kModulo;
    sum += s;
    if (sum >= kModulo || sum <= -kModulo) sum %= kModulo;
    return sum;
}

}  // namespace

extern "C" void gse_checksum(int *signal, int nsamp, int *checksump) {
    constexpr int kBlock = 16;
    int64_t sum = *checksump;
    int i = 0;
    for (; i + kBlock <= nsamp; i += kBlock) {
        // When the running sum plus the magnitudes of a block's samples stays
        // below the modulus, no step in the block reduces anything and the
        // block adds its plain sum; else it is summed step by step.
        int64_t block = 0;
        uint64_t magnitude = 0;
        for (int k = 0; k < kBlock; k++) {
            int64_t s = signal[i + k];
            block += s;
            magnitude += static_cast<uint64_t>(s < 0 ? -s : s);
        }
        uint64_t reach = static_cast<uint64_t>(sum < 0 ? -sum : sum) + magnitude;
        if (reach < static_cast<uint64_t>(kModulo)) {
            sum += block;
        } else {
            for (int k = 0; k < kBlock; k++) sum = step(sum, signal[i + k]);
        }
    }
    for (; i < nsamp; i++) sum = step(sum, signal[i]);
    *checksump = static_cast<int>(sum < 0 ? -sum : sum);
}
