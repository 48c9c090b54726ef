// The primitives of the wire layout: bounded reading of a record's body and
// appending a record to a stream.
#include "wire.h"

#include <cstring>

#include "kestrel_alloc.h"
#include "kitbag_byteorder.h"

namespace kestrel {

namespace {

constexpr int kHeaderBytes = 8;

}  // namespace

const unsigned char *WireReader::take(std::size_t n) {
    if (!ok_ || n > left_) {
        fail();
        return nullptr;
    }
    const unsigned char *at = p_;
    p_ += n;
    left_ -= n;
    return at;
}

int32_t WireReader::i32() {
    unsigned char *at = const_cast<unsigned char *>(take(4));
    int v = 0;
    if (at != nullptr) mi2hi(&at, &v, 1);
    return v;
}

uint32_t WireReader::u32() {
    unsigned char *at = const_cast<unsigned char *>(take(4));
    unsigned int v = 0;
    if (at != nullptr) umi2hi(&at, &v, 1);
    return v;
}

uint16_t WireReader::u16() {
    unsigned char *at = const_cast<unsigned char *>(take(2));
    unsigned short v = 0;
    if (at != nullptr) ums2hs(&at, &v, 1);
    return v;
}

double WireReader::f64() {
    unsigned char *at = const_cast<unsigned char *>(take(8));
    double v = 0.0;
    if (at != nullptr) md2hd(&at, &v, 1);
    return v;
}

char WireReader::u8() {
    const unsigned char *at = take(1);
    return at != nullptr ? static_cast<char>(*at) : '\0';
}

void WireReader::raw(void *to, std::size_t n) {
    const unsigned char *at = take(n);
    if (at != nullptr)
        std::memcpy(to, at, n);
    else
        std::memset(to, 0, n);
}

void WireReader::text(char *to, std::size_t size) {
    const uint32_t n = u32();
    const unsigned char *at = n < size ? take(n) : nullptr;
    if (at == nullptr) {
        fail();
        to[0] = '\0';
        return;
    }
    // A text ends at its first NUL; the rest of the field is zeroed.
    const std::size_t length = strnlen(reinterpret_cast<const char *>(at), n);
    std::memcpy(to, at, length);
    std::memset(to + length, 0, size - length);
}

int WireReader::text_grown(char **to, int *allocated, std::size_t bound, const char *what) {
    const uint32_t n = u32();
    const unsigned char *at = n <= bound ? take(n) : nullptr;
    if (at == nullptr) {
        fail();
        return -1;
    }
    const std::size_t need = static_cast<std::size_t>(n) + 1;
    if (*to == nullptr || *allocated < 0 || static_cast<std::size_t>(*allocated) < need) {
        *to = static_cast<char *>(KESTREL_REALLOC(*to, need, what));
        *allocated = static_cast<int>(need);
    }
    const std::size_t length = strnlen(reinterpret_cast<const char *>(at), n);
    std::memcpy(*to, at, length);
    (*to)[length] = '\0';
    return static_cast<int>(length);
}

bool WireReader::room_for(uint32_t count, std::size_t each) {
    if (ok_ && static_cast<uint64_t>(count) * each <= left_) return true;
    fail();
    return false;
}

WireWriter::WireWriter(Bns *out, int32_t code)
    : out_(out), start_(out->lp), outcount_(out->outcount) {
    i32(code);
    u32(0);  // the body length, written by finish()
}

void WireWriter::put(void *data, int type, int n) {
    if (ok_ && bnsput(out_, data, type, n) != 0) ok_ = false;
}

void WireWriter::i32(int32_t v) {
    int host = v;
    put(&host, BNS_INT, 1);
}

void WireWriter::u32(uint32_t v) {
    int host = static_cast<int>(v);
    put(&host, BNS_INT, 1);
}

void WireWriter::u16(uint16_t v) {
    short host = static_cast<short>(v);
    put(&host, BNS_SHORT, 1);
}

void WireWriter::f64(double v) { put(&v, BNS_DOUBLE, 1); }

void WireWriter::u8(char v) { put(&v, BNS_BYTES, 1); }

void WireWriter::raw(const void *from, std::size_t n) {
    if (n > 0) put(const_cast<void *>(from), BNS_BYTES, static_cast<int>(n));
}

void WireWriter::text(const char *s, std::size_t size) {
    const std::size_t n = strnlen(s, size - 1);
    u32(static_cast<uint32_t>(n));
    raw(s, n);
}

void WireWriter::text_bounded(const char *s, std::size_t bound) {
    const std::size_t n = s != nullptr ? std::strlen(s) : 0;
    if (n > bound) {
        ok_ = false;
        return;
    }
    u32(static_cast<uint32_t>(n));
    raw(s, n);
}

int WireWriter::finish(std::size_t max_body) {
    const int64_t body = static_cast<int64_t>(out_->lp) - start_ - kHeaderBytes;
    if (!ok_ || body < 0 || static_cast<uint64_t>(body) > max_body) {
        out_->lp = start_;
        out_->outcount = outcount_;
        return -1;
    }
    unsigned int length = static_cast<unsigned int>(body);
    unsigned char *at = reinterpret_cast<unsigned char *>(out_->data + start_ + 4);
    uhi2mi(&length, &at, 1);
    return 0;
}

int read_record(Bns *in, std::size_t max_body, int32_t *code, const unsigned char **body,
                uint32_t *length) {
    unsigned char header[kHeaderBytes];
    if (bnsget(in, header, BNS_BYTES, kHeaderBytes) != 0) return -1;
    WireReader h(header, sizeof header);
    const int32_t c = h.i32();
    const uint32_t n = h.u32();
    if (n > max_body) return -1;
    while (static_cast<uint32_t>(in->lp - in->fp) < n) {
        if (bnsmore(in, static_cast<int>(n - static_cast<uint32_t>(in->lp - in->fp))) <= 0)
            return -1;
    }
    *code = c;
    *length = n;
    *body = reinterpret_cast<const unsigned char *>(in->data + in->fp);
    return 0;
}

void consume_record(Bns *in, uint32_t length) {
    in->fp += static_cast<int32_t>(length);
    in->incount = static_cast<int32_t>(static_cast<uint32_t>(in->incount) + length);
}

}  // namespace kestrel
