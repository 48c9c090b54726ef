/* A synthetic-signal generator for tests.
 *
 * imksignal fills nsamp samples of a named waveform for a packet whose
 * first sample is at `time`, sampled at `samprate`. The waveform's phase
 * (in cycles) at a time t is
 *
 *     phase(t) = freq * (t - t0) + slew * (t - t0)^2 / 2
 *
 * so consecutive packets continue one another: the frequency starts at
 * freq at t0 and changes by slew (Hz per second). Values are amp times the
 * waveform's shape (between -1 and 1), rounded to the nearest integer and
 * clipped to the range of an int:
 *
 *     "saw"  a rising ramp, -1 at the start of each cycle up towards 1
 *     "sin"  sin(2 pi phase)
 *     "sqr"  1 in the first half of each cycle, -1 in the second
 *     "tri"  a triangle, -1 at the start of each cycle, 1 in its middle
 *     "imp"  1 on the first sample of each cycle, 0 elsewhere
 *     "zer"  0 throughout
 *
 * Returns 0, or -1 (samples set to 0) for an unknown waveform, a sample
 * rate that is not positive or a null argument. Safe to call from several
 * threads.
 */
#ifndef IMKSIGNAL_H
#define IMKSIGNAL_H

#ifdef __cplusplus
extern "C" {
#endif

#define IMKSIGNAL_API __attribute__((visibility("default")))

IMKSIGNAL_API int imksignal(char *waveform, int *samples, double time, int nsamp,
                            double samprate, double t0, double freq, double slew,
                            double amp);

/* The arguments of the last call, for tests. */
typedef struct Imksignal_call {
    char waveform[16]; /* at most 15 characters of the name */
    double time;
    int nsamp;
    double samprate;
    double t0;
    double freq;
    double slew;
    double amp;
    int result;
} Imksignal_call;

/* Copies the last call's arguments into *call (when not null) and returns
 * the number of calls made so far in the process (0: *call untouched). */
IMKSIGNAL_API int imksignal_last_call(Imksignal_call *call);

#ifdef __cplusplus
}
#endif

#endif
