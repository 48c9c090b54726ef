// The GSE2.0 checksum of integer samples.
#include <cstdint>

#include "codecs.h"

extern "C" void gse_checksum(int *signal, int nsamp, int *checksump) {
    constexpr int64_t kModulo = 100000000;
    int64_t sum = *checksump;
    for (int i = 0; i < nsamp; i++) {
        int64_t s = signal[i];
        if (s >= kModulo || s <= -kModulo) s %= kModulo;
        sum += s;
        if (sum >= kModulo || sum <= -kModulo) sum %= kModulo;
    }
    *checksump = static_cast<int>(sum < 0 ? -sum : sum);
}
