// What the ring buffer file and the ringlet file share: creating a file of a
// header and zero slots, and opening one: found (created when missing),
// mapped whole and shared, checked and test-locked.
#ifndef BASALT_RINGFILE_PRIVATE_H
#define BASALT_RINGFILE_PRIVATE_H

#include <cstddef>
#include <cstdint>

namespace basalt::rings {

// Writes a new file (an existing one is truncated): the header in one
// write, then `count` zero items of `item` bytes. 0, or -1 after logging.
int create_file(const char *filename, const void *header, std::size_t header_size,
                std::size_t item, std::size_t count);

// The byte size of a file of a header and count slots of item bytes, or 0
// when count or item is below 1 or the size does not fit a size_t.
std::size_t file_size(std::size_t header_size, std::int64_t item, std::int64_t count);

// True when a header describes the file as it is: slots of item bytes in a
// capacity that accounts for the whole size, a count and a first slot
// inside that capacity. Otherwise logs that the file (of the kind named) is
// damaged.
bool header_agrees(const char *filename, const char *kind, std::size_t size,
                   std::size_t header_size, std::int64_t item, int p, int cnt, int max);

// The messages an open logs, which name the kind of file.
struct OpenTexts {
    const char *missing;  // "... file '%s' does not exist"
    const char *stream;   // "Can't open ... %s."
    const char *map;      // "failed to mmap ... %s"
    const char *magic;    // "Bad magic number while trying to read ....\n"
};

// A file found, opened and mapped; the stream is closed by the time the
// caller gets it.
struct Mapped {
    char *start = nullptr;
    std::size_t size = 0;
};

// How the test lock of an open came out.
enum class Lock { granted, refused_remote, refused_local };

// Maps the file whole (writable unless readonly) after opening a stream on
// it, compares its first 8 bytes with magic and has `fits` judge the header
// against the size (fits logs its own refusal). A read-write open then tries
// the test lock and stores its outcome at `lock`. On a failure logs,
// releases what it took and returns a mapping with start null. The stream is
// closed before returning, which ends the lock.
Mapped map_file(const char *filename, std::size_t size, bool readonly, const char *magic,
                const OpenTexts &texts,
                bool (*fits)(const char *start, std::size_t size, const char *filename),
                Lock *lock);

void unmap(char *start, std::size_t size);

}  // namespace basalt::rings

#endif
