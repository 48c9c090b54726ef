// Adler-32: the running sum of RFC 1950.
#include <algorithm>

#include "crc.h"

namespace {

constexpr unsigned kBase = 65521;
// The most bytes that can be summed before the second sum could pass 2^32.
constexpr unsigned kNmax = 5552;

}  // namespace

extern "C" unsigned long bt_adler32(unsigned long adler, unsigned char *buf,
                                    unsigned int len) {
    if (buf == nullptr) return 1;
    uint32_t a = adler & 0xFFFF, b = (adler >> 16) & 0xFFFF;
    while (len > 0) {
        unsigned n = std::min(len, kNmax);
        len -= n;
        for (; n >= 8; n -= 8, buf += 8) {
            a += buf[0]; b += a; a += buf[1]; b += a;
            a += buf[2]; b += a; a += buf[3]; b += a;
            a += buf[4]; b += a; a += buf[5]; b += a;
            a += buf[6]; b += a; a += buf[7]; b += a;
        }
        for (; n > 0; n--) {
            a += *buf++;
            b += a;
        }
        a %= kBase;
        b %= kBase;
    }
    // A register passed in unreduced is reduced even when no byte follows.
    return ((b % kBase) << 16) | (a % kBase);
}
