// The run-class decoder. Never reads a byte at or past the end of its input.
#include <cstdint>

#include "byteload_private.h"
#include "codecs.h"
#include "elog.h"

namespace {

inline int32_t nibble(unsigned v) { return static_cast<int32_t>(v << 28) >> 28; }
inline int32_t twelve(unsigned v) { return static_cast<int32_t>(v << 20) >> 20; }

// Payload bytes of a run of n samples of a type.
inline int64_t payload(int type, int n) {
    switch (type) {
        case 0x10: return (n + 1) / 2;
        case 0x20: return n;
        case 0x30: return n / 2 * 3 + (n & 1) * 2;
        case 0x40: return 2 * static_cast<int64_t>(n);
        default: return 3 * static_cast<int64_t>(n);
    }
}

}  // namespace

extern "C" int uucsd(int *data, unsigned char **bufp, int bufcnt, int nsamp) {
    if (nsamp <= 0) return 0;
    const unsigned char *start = *bufp;
    const int64_t end = bufcnt > 0 ? bufcnt : 0;
    auto used_up = [] {
        elog_complain(0, "uucsd bad input data: used more than entire buffer");
        return -1;
    };
    if (end < 4) return used_up();
    uint32_t x = basalt::load_be32(start);
    data[0] = static_cast<int32_t>(x);
    int64_t pos = 4, done = 1;
    while (done < nsamp) {
        if (pos + 2 > end) return used_up();
        int type = start[pos] & 0xF0;
        int n = start[pos + 1];
        pos += 2;
        if (n > nsamp - done) {
            elog_complain(0, "uucsd bad input data: uncompresses to more than %d samples",
                          nsamp);
            return -1;
        }
        if (pos + payload(type, n) > end) return used_up();
        const unsigned char *p = start + pos;
        int32_t *out = data + done;
        switch (type) {
            case 0x10:
                for (int k = 0; k < n; k++) {
                    unsigned b = p[k >> 1];
                    x -= static_cast<uint32_t>(nibble((k & 1) ? b : b >> 4));
                    out[k] = static_cast<int32_t>(x);
                }
                break;
            case 0x20:
                for (int k = 0; k < n; k++) {
                    x -= static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(p[k])));
                    out[k] = static_cast<int32_t>(x);
                }
                break;
            case 0x30:
                for (int k = 0; k < n; k++) {
                    const unsigned char *q = p + (k >> 1) * 3;
                    unsigned v = (k & 1) ? ((q[1] & 15u) << 8) | q[2]
                                         : (static_cast<unsigned>(q[0]) << 4) | (q[1] >> 4);
                    x -= static_cast<uint32_t>(twelve(v));
                    out[k] = static_cast<int32_t>(x);
                }
                break;
            case 0x40:
                for (int k = 0; k < n; k++) {
                    x -= static_cast<uint32_t>(
                        static_cast<int32_t>(static_cast<int16_t>(basalt::load_be16(p + 2 * k))));
                    out[k] = static_cast<int32_t>(x);
                }
                break;
            default:
                for (int k = 0; k < n; k++) {
                    const unsigned char *q = p + 3 * k;
                    uint32_t v = (static_cast<uint32_t>(q[0]) << 24) | (q[1] << 16) | (q[2] << 8);
                    x = static_cast<uint32_t>(static_cast<int32_t>(v) >> 8);
                    out[k] = static_cast<int32_t>(x);
                }
                break;
        }
        pos += payload(type, n);
        done += n;
        if (pos & 1) pos++;
    }
    *bufp = const_cast<unsigned char *>(start) + pos;
    return 0;
}
