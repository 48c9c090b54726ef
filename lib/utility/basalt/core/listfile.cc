// List files: saving a list, reading one back as a mapping of its file, and
// opening or creating a persistent list of a given capacity.
#include "listfile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "alloc.h"
#include "elog.h"
#include "pathtools.h"
#include "tbl.h"

namespace {

constexpr char kMagic[4] = {'#', 't', 'b', 'l'};
constexpr int kRecordWords = 14;
constexpr int64_t kRecordBytes = kRecordWords * 4;  // 56
constexpr int64_t kHeaderBytes = 8;                 // magic and idlen

// Word positions in the record image.
enum RecordWord {
    kLeft = 0,
    kActiveRight = 1,
    kRight = 2,
    kEntrySize = 3,
    kDirect = 4,
    kMapped = 5,
    kMappedSize = 6,
    kFd = 7,
    kProt = 8,
    kLeftGrow = 9,
    kRightGrow = 10,
    kNull = 11,
    kDeleted = 12,
    kBase = 13,
};

// Brings i up to a multiple of 8 (a multiple of 8 stays as it is).
int64_t align(int64_t i) { return (i + 7) & ~int64_t{7}; }

// Writes n bytes; true when all of them went out.
bool put(FILE *file, const void *p, std::size_t n) {
    return n == 0 || std::fwrite(p, 1, n, file) == n;
}

// Writes n zero bytes.
bool put_zeros(FILE *file, std::size_t n) {
    static const char zeros[8] = {0};
    while (n > 0) {
        std::size_t k = n < sizeof zeros ? n : sizeof zeros;
        if (!put(file, zeros, k)) return false;
        n -= k;
    }
    return true;
}

// A descriptor closed when it goes out of scope unless released.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

// A mapping removed when it goes out of scope unless released.
class Mapping {
  public:
    Mapping() = default;
    ~Mapping() { reset(); }
    Mapping(const Mapping &) = delete;
    Mapping &operator=(const Mapping &) = delete;

    bool map(std::size_t size, int prot, int fd) {
        void *p = mmap(nullptr, size, prot, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) return false;
        addr_ = static_cast<char *>(p);
        size_ = size;
        return true;
    }
    char *addr() const { return addr_; }
    std::size_t size() const { return size_; }
    void release() { addr_ = nullptr; }
    void reset() {
        if (addr_ == nullptr) return;
        if (munmap(addr_, size_) != 0)
            elog_complain(1, "munmap (%lx, %lu) fails",
                          static_cast<unsigned long>(reinterpret_cast<uintptr_t>(addr_)),
                          static_cast<unsigned long>(size_));
        addr_ = nullptr;
    }

  private:
    char *addr_ = nullptr;
    std::size_t size_ = 0;
};

// Why reading a list file failed.
enum class ReadFailure {
    kNone,
    kMissing,     // the file does not exist
    kUnreadable,  // it exists but could not be opened, examined or mapped
    kBadContent,  // it is not a sound list file
};

// The file is not a sound list file: a crafted or cut-off file never makes
// the reader look beyond the mapping.
ReadFailure corrupt(const char *filename, const char *why) {
    elog_log(0, "Corrupt tbl file %s: %s.\n", filename, why);
    return ReadFailure::kBadContent;
}

// Reads the list file filename (see readtbl). On success *result is the
// list and *s (when s is given) the identifier inside the mapping.
ReadFailure read_list(const char *filename, char **s, int rw, Tbl **result) {
    *result = nullptr;
    if (s != nullptr) *s = nullptr;
    int prot = rw ? 3 : 1;

    Descriptor fd(open(filename, rw ? O_RDWR : O_RDONLY));
    if (fd.get() < 0) {
        bool missing = errno == ENOENT;
        elog_log(1, "Can't open %s to read tbl.\n", filename);
        return missing ? ReadFailure::kMissing : ReadFailure::kUnreadable;
    }
    struct stat st;
    if (refstat(fd.get(), &st) != 0) {
        elog_log(1, "Error trying to stat %s", filename);
        return ReadFailure::kUnreadable;
    }
    int64_t size = static_cast<int64_t>(st.st_size);
    if (size <= 0) {
        // Nothing to map: not even the magic number is there.
        elog_log(0, "Bad magic number while trying to read tbl.\n");
        return ReadFailure::kBadContent;
    }
    if (size > INT32_MAX) return corrupt(filename, "too large to map as a list");

    Mapping map;
    int mprot = PROT_READ | (rw ? PROT_WRITE : 0);
    if (!map.map(static_cast<std::size_t>(size), mprot, fd.get())) {
        elog_log(1, "Error trying to mmap %s.\n", filename);
        return ReadFailure::kUnreadable;
    }
    const char *m = map.addr();

    if (size < 4 || std::memcmp(m, kMagic, sizeof kMagic) != 0) {
        elog_log(0, "Bad magic number while trying to read tbl.\n");
        return ReadFailure::kBadContent;
    }
    if (size < kHeaderBytes) return corrupt(filename, "no identifier length");
    int32_t idlen;
    std::memcpy(&idlen, m + 4, 4);
    if (idlen < 0 || idlen % 8 != 0)
        return corrupt(filename, "bad identifier length");
    int64_t at = kHeaderBytes + idlen;  // the record image
    if (at + kRecordBytes > size)
        return corrupt(filename, "shorter than its header");
    char *identifier = nullptr;
    if (idlen >= 1) {
        if (std::memchr(m + kHeaderBytes, 0, static_cast<std::size_t>(idlen)) == nullptr)
            return corrupt(filename, "unterminated identifier");
        identifier = map.addr() + kHeaderBytes;
    }

    int32_t rec[kRecordWords];
    std::memcpy(rec, m + at, sizeof rec);
    int32_t left = rec[kLeft], count = rec[kActiveRight], right = rec[kRight];
    int32_t entry_size = rec[kEntrySize];
    if (!(left <= 0 && 0 <= count && count <= right))
        return corrupt(filename, "bad bounds");
    if (entry_size <= 0) return corrupt(filename, "bad entry size");
    // A pointer list reads its slots as pointers of this host.
    if (rec[kDirect] == 0 && entry_size != static_cast<int32_t>(sizeof(void *)))
        return corrupt(filename, "bad entry size for a pointer list");

    int64_t null_at = at + kRecordBytes;
    int64_t null_len = rec[kNull] != 0 ? align(entry_size) : 0;
    int64_t slots_at = null_at + null_len;
    if (slots_at > size) return corrupt(filename, "shorter than its null value");
    int64_t slots = static_cast<int64_t>(right) - left;
    if (slots > (size - slots_at) / entry_size)
        return corrupt(filename, "shorter than its slots");

    Tbl *tbl = BASALT_NEW_RECORD(Tbl, "tbl");
    tbl->left = left;
    tbl->active_right = count;
    tbl->right = right;
    tbl->entry_size = entry_size;
    tbl->direct = rec[kDirect];
    tbl->mapped = map.addr();
    tbl->mapped_size = static_cast<int32_t>(size);
    tbl->fd = fd.get();
    tbl->prot = prot;
    tbl->left_grow = rec[kLeftGrow];
    tbl->right_grow = rec[kRightGrow];
    tbl->null = rec[kNull] != 0 ? map.addr() + null_at : nullptr;
    tbl->deleted = nullptr;
    tbl->base.cp = map.addr() + slots_at - static_cast<int64_t>(left) * entry_size;
    // A writable list keeps its working record here and writes its counts,
    // bounds and steps through to the record in the file.
    tbl->image = rw ? reinterpret_cast<int32_t *>(map.addr() + at) : nullptr;

    map.release();
    fd.release();
    if (s != nullptr) *s = identifier;
    *result = tbl;
    return ReadFailure::kNone;
}

// A name beside filename for writing a new version of it: the name with a
// suffix, or a short hidden name in the same directory when the name is
// too long to take the suffix.
std::string temporary_name(const std::string &filename) {
    static std::atomic<unsigned> counter{0};
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".%ld.%u~", static_cast<long>(getpid()),
                  counter.fetch_add(1));
    std::size_t slash = filename.rfind('/');
    std::size_t base_at = slash == std::string::npos ? 0 : slash + 1;
    if (filename.size() - base_at + std::strlen(suffix) <= NAME_MAX) return filename + suffix;
    return filename.substr(0, base_at) + ".tbl" + suffix;
}

// Creates a new file beside filename, 0666 less the umask (or with the
// permissions of the file it will replace). -1 when none can be made.
int create_beside(const std::string &filename, const struct stat *replaced,
                  std::string *name) {
    for (int tries = 0; tries < 100; tries++) {
        *name = temporary_name(filename);
        int fd = open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
        if (fd >= 0) {
            if (replaced != nullptr) fchmod(fd, replaced->st_mode & 07777);
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

// Writes list to filename with identifier, through a new file beside it
// that then replaces it, so that the name never holds a partly written
// list. 0, or -1 after logging.
int save_list(Tbl *tbl, const char *filename, char *s) {
    // The name must be writable, as if the file itself were opened for
    // writing; a missing file is made below.
    struct stat old_st;
    bool exists = false;
    int probe = open(filename, O_WRONLY | O_NONBLOCK | O_NOCTTY);
    if (probe >= 0) {
        exists = refstat(probe, &old_st) == 0;
        close(probe);
    } else if (errno != ENOENT) {
        elog_log(1, "Can't open %s to write tbl.\n", filename);
        return -1;
    }

    // A symbolic link keeps pointing at the file it names.
    std::string target = filename;
    struct stat link_st;
    if (relstat(filename, &link_st) == 0 && S_ISLNK(link_st.st_mode)) {
        if (char *resolved = realpath(filename, nullptr)) {
            target = resolved;
            std::free(resolved);
        }
    }

    std::string temp;
    int fd = create_beside(target, exists ? &old_st : nullptr, &temp);
    if (fd < 0) {
        elog_log(1, "Can't open %s to write tbl.\n", filename);
        return -1;
    }
    FILE *file = fdopen(fd, "w");
    if (file == nullptr) {
        close(fd);
        unlink(temp.c_str());
        elog_log(1, "Can't open %s to write tbl.\n", filename);
        return -1;
    }
    bool ok = writetbl(tbl, file, s) == 0;
    ok = std::fflush(file) == 0 && ok;
    ok = fsync(fileno(file)) == 0 && ok;
    ok = std::fclose(file) == 0 && ok;
    ok = ok && std::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        unlink(temp.c_str());
        elog_log(0, "Errors while writing tbl to %s.\n", filename);
        return -1;
    }
    return 0;
}

// Makes the direct list of filetbl's new file in memory: room for n + 1
// entries (10 when n is 0 or negative), all holding the null value or
// zeros, no live entry, right step n / 2.
Tbl *new_file_list(int n, void *null, int entry_size) {
    Tbl *list = inittbl(0, n, 1, null, entry_size);
    if (null != nullptr) {
        settbl(list, n, null);
    } else {
        std::size_t bytes = entry_size > 0 ? static_cast<std::size_t>(entry_size) : 0;
        void *local_null = BASALT_CALLOC(bytes, "local_null");
        settbl(list, n, local_null);
        std::free(local_null);
    }
    trunctbl(list, 0, nullptr);
    list->right_grow = n / 2;
    return list;
}

}  // namespace

extern "C" {

int writetbl(Tbl *tbl, FILE *file, char *s) {
    int64_t idlen = 0;
    std::size_t slen = 0;
    if (s != nullptr) {
        slen = std::strlen(s);
        if (slen > static_cast<std::size_t>(INT32_MAX) - 8) return -1;
        idlen = align(static_cast<int64_t>(slen) + 1);
    }
    int32_t idword = static_cast<int32_t>(idlen);
    if (!put(file, kMagic, sizeof kMagic) || !put(file, &idword, 4)) return -1;
    if (idlen > 0) {
        if (!put(file, s, slen + 1)) return -1;
        if (!put_zeros(file, static_cast<std::size_t>(idlen) - slen - 1)) return -1;
    }

    // Addresses and descriptors mean nothing to a reader: only whether the
    // list has a null value is kept of them.
    int32_t rec[kRecordWords] = {0};
    rec[kLeft] = tbl->left;
    rec[kActiveRight] = tbl->active_right;
    rec[kRight] = tbl->right;
    rec[kEntrySize] = tbl->entry_size;
    rec[kDirect] = tbl->direct;
    rec[kLeftGrow] = tbl->left_grow;
    rec[kRightGrow] = tbl->right_grow;
    rec[kNull] = tbl->null != nullptr ? 1 : 0;
    if (!put(file, rec, sizeof rec)) return -1;

    int64_t es = tbl->entry_size > 0 ? tbl->entry_size : 0;
    if (tbl->null != nullptr) {
        if (!put(file, tbl->null, static_cast<std::size_t>(es))) return -1;
        if (!put_zeros(file, static_cast<std::size_t>(align(es) - es))) return -1;
    }
    int64_t slots = static_cast<int64_t>(tbl->right) - tbl->left;
    if (slots > 0 && es > 0 && tbl->base.cp != nullptr) {
        const char *first = tbl->base.cp + static_cast<std::ptrdiff_t>(tbl->left) * es;
        if (!put(file, first, static_cast<std::size_t>(slots * es))) return -1;
    }
    return 0;
}

int savetbl(Tbl *tbl, char *filename, char *s) {
    if (make_pathdirs(filename) != 0) return -1;
    return save_list(tbl, filename, s);
}

Tbl *readtbl(char *filename, char **s, int rw) {
    Tbl *tbl;
    read_list(filename, s, rw, &tbl);
    return tbl;
}

int filetbl(char *filename, char *identifier, int n, void *null, int entry_size,
            Tbl **ptbl) {
    *ptbl = nullptr;
    int mark = elog_mark();
    Tbl *tbl;
    char *s;
    ReadFailure failure = read_list(filename, &s, 1, &tbl);
    if (failure == ReadFailure::kUnreadable) {
        // The file is there but could not be opened or mapped now: it is
        // left alone, and the messages say why.
        return -1;
    }
    elog_flush(0, mark);

    if (tbl != nullptr) {
        if (identifier != nullptr && (s == nullptr || std::strcmp(s, identifier) != 0)) {
            freetbl(tbl, nullptr);
            return -2;
        }
        if (static_cast<int64_t>(tbl->right) - tbl->left < n) {
            // Too small: a new file with room for n entries and the old
            // entries at their indices replaces it. The old file stays
            // whole until the new one is complete.
            Tbl *grown = new_file_list(n, null, entry_size);
            if (cattbl(grown, tbl) != 0) {
                freetbl(grown, nullptr);
                freetbl(tbl, nullptr);
                return -1;
            }
            freetbl(tbl, nullptr);
            int saved = savetbl(grown, filename, identifier);
            freetbl(grown, nullptr);
            tbl = saved == 0 ? readtbl(filename, &s, 1) : nullptr;
            if (tbl == nullptr) elog_die(0, "Couldn't extend list %s", filename);
        }
        *ptbl = tbl;
        return 0;
    }

    Tbl *list = new_file_list(n, null, entry_size);
    int result = savetbl(list, filename, identifier);
    freetbl(list, nullptr);
    if (result == 0) {
        *ptbl = readtbl(filename, &s, 1);
        if (*ptbl == nullptr) result = -1;
    }
    return result;
}

}  // extern "C"
