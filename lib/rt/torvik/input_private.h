// Private to libtorvik: the input of a handle's current file.
//
// A reading handle takes its lines and bodies from a read-ahead buffer of
// its own, filled with positioned reads (pread) in large blocks, so that
// following a file costs one system call per block rather than one per
// packet, and a seek that lands on bytes already held costs none. The
// buffer behaves as the descriptor buffers of fdio do: a line is handed out
// only once its newline is in, an incomplete last line stays held until the
// writer appends the rest, a body takes the held bytes first and then at
// most one read.
//
// Hex and ascii dump bodies are decoded by the dump readers of libbasalt,
// which read through fdio: for those the input hands its position over to
// fdio (one seek) and follows fdio until a body of another kind comes.
//
// Every handle record made by torviknew carries one Input behind it; it
// belongs to the thread that uses the handle.
#ifndef TORVIK_INPUT_PRIVATE_H
#define TORVIK_INPUT_PRIVATE_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "torvik.h"

namespace torvik {

class Input {
  public:
    Input() = default;
    ~Input();
    Input(const Input &) = delete;
    Input &operator=(const Input &) = delete;

    // The input of a handle record made by torviknew, following the
    // record's descriptor (a descriptor it has not seen starts where fdio
    // stands on it).
    static Input &of(Torvikfile *atorvik);

    // Starts over on fd (a newly opened file) at offset pos.
    void reset(int fd, std::int64_t pos);

    // The next line as fdgets gives it: the bytes before the next newline,
    // cut to size - 1 characters and terminated (a NUL in the line ends the
    // text), the copied length as the result; -2 at the end of the data
    // (an incomplete last line stays held), -1 on a read error.
    int gets(char *line, int size);
    // Offset of the line the last gets returned, whose copied length was n.
    std::int64_t line_start(int n);

    // The held bytes from the next line that is not empty on (an empty view
    // when none are held, or the input follows fdio), valid until the next
    // call. take_line(newline) consumes them through that newline, which
    // ends a line that begins the view, and gives the line's offset.
    std::string_view peek();
    std::int64_t take_line(const char *newline);

    // Up to n bytes as fdread gives them: the held bytes first, then at
    // most one read. The count placed; -1 on a read error (logged).
    int read(void *dst, int n);

    // Copies n held bytes, when the input holds that many, and moves on.
    bool take_held(void *dst, int n);

    // Offset of the next byte gets or read returns; -1 when unknown.
    std::int64_t tell();

    // Moves to pos. With fresh set the held bytes are forgotten, so that
    // what is read next comes from the file as it is now (a line the
    // writer completed in place); otherwise bytes already held are used.
    // pos, or -1 when it cannot be reached.
    std::int64_t seek(std::int64_t pos, bool fresh);

    // Bytes of the file after the read position (0 when unknown).
    long long bytes_after();

    // Dump bodies, decoded by libbasalt's readers through fdio; the input
    // follows fdio from there on, headers included, until own() or a seek.
    int read_hexdump(void *dst, int n);
    int read_asciidump(void *dst, int n);

    // Takes the input back from fdio (where it stands) for a body of
    // another kind; false when fdio cannot say where that is.
    bool own();

  private:
    enum class Mode { kOwn, kFdio };

    static Input &follow(Input &input, Torvikfile *atorvik);

    bool to_fdio();
    long fill();
    void compact();
    void grow(std::size_t cap);
    long read_some(char *dst, std::size_t n, std::int64_t at);

    int fd_ = -1;
    Mode mode_ = Mode::kOwn;
    char *buf_ = nullptr;
    std::size_t cap_ = 0;
    std::int64_t base_ = 0;   // file offset of buf_[0]
    std::size_t start_ = 0;   // held bytes are buf_[start_, end_)
    std::size_t end_ = 0;
    std::size_t scanned_ = 0; // held bytes known to hold no newline
    std::size_t valid_ = 0;   // buf_[valid_, end_) holds file bytes
    bool filled_ = false;     // the last read filled all the room it had
    std::int64_t last_line_ = 0;
    std::size_t skipped_ = 0; // empty lines before the view peek gave
};

// Moves the handle's descriptor and its input to the end of the file, as a
// writer does before it appends.
void to_end(Torvikfile *atorvik);

// A handle record with its input: what torviknew makes.
struct Handle {
    Torvikfile record;  // first: callers hold its address
    Input input;
};

// The calls made for every packet read, here so that they compile into
// their callers.

inline Input &Input::of(Torvikfile *atorvik) {
    Input &input = reinterpret_cast<Handle *>(atorvik)->input;
    if (input.fd_ != atorvik->fd) [[unlikely]]
        return follow(input, atorvik);
    return input;
}

inline std::string_view Input::peek() {
    if (mode_ != Mode::kOwn || buf_ == nullptr) return {};
    const char *p = buf_ + start_;
    const char *end = buf_ + end_;
    while (p < end && *p == '\n') p++;  // empty lines, such as a trailer
    skipped_ = static_cast<std::size_t>(p - (buf_ + start_));
    return {p, static_cast<std::size_t>(end - p)};
}

inline std::int64_t Input::take_line(const char *newline) {
    last_line_ = base_ + static_cast<std::int64_t>(start_ + skipped_);
    start_ = static_cast<std::size_t>(newline - buf_) + 1;
    scanned_ = 0;
    return last_line_;
}

inline bool Input::take_held(void *dst, int n) {
    const auto want = static_cast<std::size_t>(n);
    if (mode_ != Mode::kOwn || n < 0 || end_ - start_ < want) return false;
    std::memcpy(dst, buf_ + start_, want);
    start_ += want;
    scanned_ = 0;
    return true;
}

}  // namespace torvik

#endif
