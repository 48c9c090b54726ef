// Creating and opening the files behind value rings and ringlets.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "alloc.h"
#include "elog.h"
#include "kitbag.h"
#include "ringfile_private.h"

namespace basalt::rings {

namespace {

// Closes a stream when it goes out of scope, unless released.
class Stream {
  public:
    explicit Stream(std::FILE *f) : f_(f) {}
    ~Stream() {
        if (f_ != nullptr) std::fclose(f_);
    }
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;
    std::FILE *get() const { return f_; }
    // Closes now; the result of fclose.
    int close() {
        int rc = std::fclose(f_);
        f_ = nullptr;
        return rc;
    }

  private:
    std::FILE *f_;
};

}  // namespace

std::size_t file_size(std::size_t header_size, std::int64_t item, std::int64_t count) {
    if (item < 1 || count < 1) return 0;
    constexpr auto limit = std::numeric_limits<std::size_t>::max();
    auto uitem = static_cast<std::uint64_t>(item), ucount = static_cast<std::uint64_t>(count);
    if (uitem > (limit - header_size) / ucount) return 0;
    return header_size + static_cast<std::size_t>(uitem * ucount);
}

bool header_agrees(const char *filename, const char *kind, std::size_t size,
                   std::size_t header_size, std::int64_t item, int p, int cnt, int max) {
    if (size >= header_size && file_size(header_size, item, max) == size && cnt >= 0 &&
        cnt <= max && p >= 0 && p < max)
        return true;
    elog_log(0, "%s '%s' is damaged: its header does not agree with its size of %lld bytes\n",
             kind, filename, static_cast<long long>(size));
    return false;
}

int create_file(const char *filename, const void *header, std::size_t header_size,
                std::size_t item, std::size_t count) {
    Stream file(std::fopen(filename, "w"));
    if (file.get() == nullptr) {
        elog_log(1, "Can't open new ring buffer %s", filename);
        return -1;
    }
    if (std::fwrite(header, header_size, 1, file.get()) != 1) {
        elog_log(1, "Can't write new ring buffer %s", filename);
        return -1;
    }
    void *data = BASALT_CALLOC(item * count, "data");
    std::size_t written = std::fwrite(data, item, count, file.get());
    std::free(data);
    if (written != count) {
        elog_log(1, "Can't write new ring buffer data %s", filename);
        return -1;
    }
    if (file.close() != 0) {
        elog_log(1, "Can't close new ring buffer %s", filename);
        return -1;
    }
    return 0;
}

Mapped map_file(const char *filename, std::size_t size, bool readonly, const char *magic,
                const OpenTexts &texts,
                bool (*fits)(const char *start, std::size_t size, const char *filename),
                Lock *lock) {
    Stream file(std::fopen(filename, readonly ? "r" : "r+"));
    if (file.get() == nullptr) {
        elog_log(1, texts.stream, filename);
        return {};
    }
    int prot = PROT_READ | (readonly ? 0 : PROT_WRITE);
    void *start = mmap(nullptr, size, prot, MAP_SHARED, fileno(file.get()), 0);
    if (start == MAP_FAILED) {
        elog_log(1, texts.map, filename);
        return {};
    }
    Mapped mapped{static_cast<char *>(start), size};
    // A file too short to hold the magic is not one of ours either.
    if (size < 8 || std::memcmp(mapped.start, magic, 8) != 0) {
        elog_log(0, "%s", texts.magic);
        unmap(mapped.start, size);
        return {};
    }
    if (!fits(mapped.start, size, filename)) {
        unmap(mapped.start, size);
        return {};
    }
    *lock = Lock::granted;
    if (!readonly && lockf(fileno(file.get()), F_TLOCK, static_cast<off_t>(size)) != 0) {
        int refusal = errno;  // the caller's message gives its text
        *lock = is_nfs(const_cast<char *>(filename)) != 0 ? Lock::refused_remote
                                                          : Lock::refused_local;
        errno = refusal;
    }
    return mapped;
}

void unmap(char *start, std::size_t size) {
    if (start != nullptr) munmap(start, size);
}

}  // namespace basalt::rings
