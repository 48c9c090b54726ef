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
    constexpr int kBlock = 32;
    int64_t sum = *checksump;
    int i = 0;
    for (; i + kBlock <= nsamp; i += kBlock) {
        // `bound` is at least the magnitude of each sample less 1 (the bits
        // of every magnitude, ORed). When the running sum plus kBlock times
        // bound + 1 stays below the modulus, no step of the block reduces
        // anything and the block adds its plain sum (exact in 32 bits, each
        // magnitude being below 2^25); else it is summed step by step.
        uint32_t block = 0, bound = 0;
        for (int k = 0; k < kBlock; k++) {
            uint32_t s = static_cast<uint32_t>(signal[i + k]);
            block += s;
            bound |= s ^ static_cast<uint32_t>(signal[i + k] >> 31);
        }
        uint64_t reach = static_cast<uint64_t>(sum < 0 ? -sum : sum) +
                         kBlock * (static_cast<uint64_t>(bound) + 1);
        if (bound < (1u << 25) && reach < static_cast<uint64_t>(kModulo)) {
            sum += static_cast<int32_t>(block);
        } else {
            for (int k = 0; k < kBlock; k++) sum = step(sum, signal[i + k]);
        }
    }
    for (; i < nsamp; i++) sum = step(sum, signal[i]);
    *checksump = static_cast<int>(sum < 0 ? -sum : sum);
}
