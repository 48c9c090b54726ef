// The run-class encoder: first differences grouped into runs of one width
// class. A wider difference opens a wider run at once; a narrower one opens
// a narrower run only when a short look-ahead shows that the new run pays
// for its two header bytes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "alloc.h"
#include "byteload_private.h"
#include "codecs.h"
#include "kitbag_byteorder.h"

namespace {

struct Steimdef {
    int bits;  // width of a difference
    int code;  // code byte of a run
    int mn;    // smallest difference of the class
    int mx;    // largest difference of the class
};

// The width classes; the last row (32 bits) is never written.
constexpr Steimdef ucsd[] = {
    {4, 0x10, -8, 7},
    {8, 0x20, -128, 127},
    {12, 0x30, -2048, 2047},
    {16, 0x40, -32768, 32767},
    {24, 0x50, -8388608, 8388607},
    {32, 255, 0, 0},
};
constexpr int nlevels = 5;
constexpr int kNone = 5;  // the mode before the first run is opened
constexpr int kMaxRun = 255;

int get_class(int32_t d) {
    for (int c = 0; c < nlevels; c++)
        if (d >= ucsd[c].mn && d <= ucsd[c].mx) return c;
    return kNone;
}

inline int32_t difference(const int *x, int i) {
    return static_cast<int32_t>(static_cast<uint32_t>(x[i - 1]) - static_cast<uint32_t>(x[i]));
}

class Encoder {
  public:
    Encoder(const int *x, int n, unsigned char *buf) : x_(x), n_(n), buf_(buf) {}

    int run(int *nbytes) {
        H2N4(buf_, x_, 1);
        off_ = 4;
        for (int i = 1; i < n_; i++) {
            int32_t d = difference(x_, i);
            int c = get_class(d);
            if (c == kNone) {
                result_ = -1;
                c = nlevels - 1;
            }
            if (c > mode_) {
                switchmode(c);
            } else if (c < mode_) {
                int m = peek(i, c);
                if (m != mode_) switchmode(m);
            }
            push(i, d);
        }
        if (mode_ != kNone) buf_[count_at_] = static_cast<unsigned char>(count_);
        *nbytes = static_cast<int>(off_);
        return result_;
    }

  private:
    // Closes the current run and opens one of class c at an even offset.
    void switchmode(int c) {
        if (mode_ != kNone) buf_[count_at_] = static_cast<unsigned char>(count_);
        half_ = false;
        if (off_ & 1) buf_[off_++] = 0;
        buf_[off_++] = static_cast<unsigned char>(ucsd[c].code);
        count_at_ = off_++;
        count_ = 0;
        mode_ = c;
    }

    // The class to go on with when the difference at i (class c) is
    // narrower than the current run: a narrower class once enough of the
    // following differences fit it, else the current one. With no run open
    // yet the answer is always a class that can be opened.
    int peek(int i, int c) const {
        const int stay = mode_ == kNone ? c : mode_;
        int m = c;
        for (int k = 1; k <= 5 && i + k < n_; k++) {
            int cl = get_class(difference(x_, i + k));
            if (cl >= mode_) return mode_ == kNone ? m : stay;
            m = std::max(m, cl);
            if (k + 1 > 16 / (ucsd[mode_].bits - ucsd[m].bits)) return m;
        }
        return mode_ == kNone ? m : stay;
    }

    // Appends sample i (difference d) to the current run.
    void push(int i, int32_t d) {
        if (count_ == kMaxRun) switchmode(mode_);
        uint32_t u = static_cast<uint32_t>(d);
        switch (mode_) {
            case 0:
                if (!half_) {
                    buf_[off_++] = static_cast<unsigned char>((u & 15) << 4);
                } else {
                    buf_[off_ - 1] |= static_cast<unsigned char>(u & 15);
                }
                half_ = !half_;
                break;
            case 1:
                buf_[off_++] = static_cast<unsigned char>(u);
                break;
            case 2:
                if (!half_) {
                    buf_[off_] = static_cast<unsigned char>(u >> 4);
                    buf_[off_ + 1] = static_cast<unsigned char>((u & 15) << 4);
                    off_ += 2;
                } else {
                    buf_[off_ - 1] |= static_cast<unsigned char>((u >> 8) & 15);
                    buf_[off_++] = static_cast<unsigned char>(u);
                }
                half_ = !half_;
                break;
            case 3:
                basalt::store_be16(buf_ + off_, u);
                off_ += 2;
                break;
            default: {
                int32_t s = x_[i];
                if (s < ucsd[4].mn || s > ucsd[4].mx) {
                    result_ = -1;
                    return;
                }
                uint32_t v = static_cast<uint32_t>(s);
                buf_[off_] = static_cast<unsigned char>(v >> 16);
                buf_[off_ + 1] = static_cast<unsigned char>(v >> 8);
                buf_[off_ + 2] = static_cast<unsigned char>(v);
                off_ += 3;
                break;
            }
        }
        count_++;
    }

    const int *x_;
    int n_;
    unsigned char *buf_;
    int64_t off_ = 0;
    int mode_ = kNone;
    int count_ = 0;
    int64_t count_at_ = 0;
    bool half_ = false;  // a 4- or 12-bit run has an odd number of values
    int result_ = 0;
};

}  // namespace

extern "C" int cucsd(int *data, int nsamp, unsigned char **buf, int *nbytes, int *bufsiz) {
    int64_t needed = 4 * static_cast<int64_t>(nsamp > 0 ? nsamp : 1) + 8;
    if (needed > INT32_MAX) basalt::out_of_memory(__FILE__, __LINE__, needed, "*buf");
    if (*bufsiz < needed) {
        if (*bufsiz != 0) std::free(*buf);
        *buf = static_cast<unsigned char *>(BASALT_MALLOC(needed, "*buf"));
        *bufsiz = static_cast<int>(needed);
    }
    return Encoder(data, nsamp > 0 ? nsamp : 1, *buf).run(nbytes);
}
