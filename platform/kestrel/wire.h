// The primitives of the wire layout (wire-format.md): a bounded reader over
// a record's body and a writer that appends a record to a stream.
#ifndef KESTREL_WIRE_H
#define KESTREL_WIRE_H

#include <cstddef>
#include <cstdint>

#include "bns.h"

namespace kestrel {

// Reads fields from the bytes of one body. The first field that does not
// fit fails the reader; later reads then give zeros and write nothing
// but zeros into their destinations.
class WireReader {
  public:
    WireReader(const unsigned char *data, std::size_t size) : p_(data), left_(size) {}

    bool ok() const { return ok_; }
    std::size_t left() const { return left_; }

    int32_t i32();
    uint32_t u32();
    uint16_t u16();
    double f64();
    char u8();
    void raw(void *to, std::size_t n);
    // A text into a field of `size` bytes: at most size - 1 characters,
    // ending at the first NUL, the rest of the field zeroed.
    void text(char *to, std::size_t size);
    // A text of at most `bound` characters into a caller-owned buffer that
    // is grown as needed (*allocated bytes); its length up to its first
    // NUL, or -1.
    int text_grown(char **to, int *allocated, std::size_t bound, const char *what);
    // The next n bytes, or null (failing the reader) when fewer are left.
    const unsigned char *take(std::size_t n);
    // Fails the reader unless at least count records of `each` bytes can
    // still follow.
    bool room_for(uint32_t count, std::size_t each);
    // Fails the reader (a value read is out of its range).
    void fail() {
        ok_ = false;
        left_ = 0;
    }

  private:
    const unsigned char *p_;
    std::size_t left_;
    bool ok_ = true;
};

// Appends one record (code, length, body) to a stream. A field that
// breaks a bound of the wire fails the writer; finish() then takes the
// partial record back out of the stream.
class WireWriter {
  public:
    WireWriter(Bns *out, int32_t code);

    bool ok() const { return ok_; }
    void fail() { ok_ = false; }

    void i32(int32_t v);
    void u32(uint32_t v);
    void u16(uint16_t v);
    void f64(double v);
    void u8(char v);
    void raw(const void *from, std::size_t n);
    // A text held in a field of `size` bytes (stops at its NUL, at most
    // size - 1 characters).
    void text(const char *s, std::size_t size);
    // A text of at most `bound` characters (a null text is empty).
    void text_bounded(const char *s, std::size_t bound);

    // Writes the body length into the header: 0, or -1 (nothing left in
    // the stream) when a field failed or the body exceeds `max_body`.
    int finish(std::size_t max_body);

  private:
    void put(void *data, int type, int n);

    Bns *out_;
    int32_t start_;
    int32_t outcount_;
    bool ok_ = true;
};

// Reads the 8-byte header after the sync word and waits until the whole
// body is buffered in the stream. 0 with *body pointing at it inside the
// stream's buffer (valid until the stream reads again); -1 when the stream
// fails or times out, or the length exceeds max_body (nothing more read).
int read_record(Bns *in, std::size_t max_body, int32_t *code, const unsigned char **body,
                uint32_t *length);
// Marks the body of the record just read as delivered.
void consume_record(Bns *in, uint32_t length);

}  // namespace kestrel

#endif
