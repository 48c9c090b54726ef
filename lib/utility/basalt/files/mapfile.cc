// The mapped-file cache: whole files mapped into memory, one entry per file
// name, shared by the callers of one cache.
//
// An entry (Mapentry) is the Mapdata record callers see followed by what
// the cache keeps for itself: the full use stamp, how the file was mapped,
// which file it was, and the earlier mappings of the name that users still
// hold. Entries are single malloc'd blocks, so a Mapdata pointer is the
// entry's pointer and free() releases it.
//
// The process-wide cache (Maparr) is used with maparr NULL; every operation
// on it holds map_lock from the lookup to the end, the mapping (and any
// decompression or eviction) included. A caller's own array has no lock.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <type_traits>

#include "alloc.h"
#include "arrays.h"
#include "elog.h"
#include "mapfile.h"
#include "pathtools.h"
#include "tbl.h"

namespace {

// An earlier mapping of a name, kept until the name's last reference is
// released because a user may still read it.
struct Retired {
    char *data;
    std::size_t size;
    Retired *next;
};

struct Mapentry {
    Mapdata md;          // what callers see; first, so the addresses agree
    std::uint64_t stamp; // the use stamp in full (md.counter is its low bits)
    bool writable;       // mapped read and write
    bool decompressed;   // a decompressed copy of the named file
    // The named file when it was mapped. size -1: unknown, never current.
    dev_t dev;
    ino_t ino;
    std::int64_t size;
    std::int64_t mtime_sec;
    long mtime_nsec;
    Retired *retired;    // earlier mappings still held
};

static_assert(std::is_standard_layout_v<Mapentry>);
static_assert(std::is_trivially_default_constructible_v<Mapentry>);

// What a request needs from an entry.
enum class Want {
    read,   // mapfile: read-only, decompressed when the name says so
    raw,    // vmapfile: read-only, the file's own bytes
    write,  // wmapfile: read and write, the file's own bytes
};

std::mutex map_lock;
// The shared cache; made on first use.
Arr *Maparr = nullptr;
// Uses of any entry of any cache, counted from 0.
std::atomic<std::uint64_t> Counter{0};

char *const kAllOnes = reinterpret_cast<char *>(~std::uintptr_t{0});

constexpr int kOpenFlags = O_CLOEXEC | O_LARGEFILE;

// The cache an operation works on: the caller's array, or the shared one
// with the lock held for the life of this object.
class Cache {
  public:
    explicit Cache(Arr **maparr) : arrp_(maparr) {
        if (arrp_ == nullptr) {
            lock_ = std::unique_lock<std::mutex>(map_lock);
            arrp_ = &Maparr;
        }
    }
    Arr *&arr() { return *arrp_; }

  private:
    std::unique_lock<std::mutex> lock_;
    Arr **arrp_;
};

// Closes a descriptor on every path.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            int err = errno;
            close(fd_);
            errno = err;
        }
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

Mapentry *entry_of(Mapdata *md) { return reinterpret_cast<Mapentry *>(md); }

bool ends_with(const char *name, std::size_t len, const char *suffix) {
    std::size_t n = std::strlen(suffix);
    return len >= n && std::memcmp(name + len - n, suffix, n) == 0;
}

// The names gz_openfd decompresses.
bool compressed_name(const char *name) {
    std::size_t len = std::strlen(name);
    return ends_with(name, len, ".Z") || ends_with(name, len, ".gz") ||
           ends_with(name, len, ".bz2");
}

void stamp(Mapentry *e) {
    std::uint64_t now = Counter.fetch_add(1, std::memory_order_relaxed);
    e->stamp = now;
    e->md.counter = static_cast<int>(now & static_cast<std::uint64_t>(INT_MAX));
}

void remember_file(Mapentry *e, const struct stat &st) {
    e->dev = st.st_dev;
    e->ino = st.st_ino;
    e->size = static_cast<std::int64_t>(st.st_size);
    e->mtime_sec = static_cast<std::int64_t>(st.st_mtim.tv_sec);
    e->mtime_nsec = st.st_mtim.tv_nsec;
}

// True when the entry's mapping serves a request of this kind.
bool serves(const Mapentry *e, Want want, const char *name) {
    switch (want) {
        case Want::read: return e->decompressed == compressed_name(name);
        case Want::raw: return !e->decompressed;
        case Want::write: return e->writable;
    }
    return false;
}

// True when the named file is still the one mapped: the same file of the
// same size. A plain mapping is shared with the file and shows its present
// bytes; a decompressed copy does not, so its file's modification time
// counts too.
bool still_current(const Mapentry *e, const char *name) {
    struct stat st;
    if (e->size < 0 || restat(name, &st) != 0) return false;
    if (st.st_dev != e->dev || st.st_ino != e->ino ||
        static_cast<std::int64_t>(st.st_size) != e->size)
        return false;
    return !e->decompressed ||
           (static_cast<std::int64_t>(st.st_mtim.tv_sec) == e->mtime_sec &&
            st.st_mtim.tv_nsec == e->mtime_nsec);
}

// Removes a mapping; logs and returns false when munmap fails.
bool unmap(char *data, std::size_t size, const char *name) {
    if (munmap(data, size) == 0) return true;
    elog_log(1, "Failed to unmap file %s\n", name);
    return false;
}

// Removes every mapping of the entry (the present one and the retired
// ones) and returns the number that failed to unmap.
int unmap_all(Mapentry *e, const char *name) {
    int failed = 0;
    if (e->md.mmap_data != nullptr &&
        !unmap(e->md.mmap_data, static_cast<std::size_t>(e->md.mmap_size), name))
        failed++;
    e->md.mmap_data = nullptr;
    while (Retired *r = e->retired) {
        if (!unmap(r->data, r->size, name)) failed++;
        e->retired = r->next;
        std::free(r);
    }
    return failed;
}

// Gives up the least recently used mapping of arr among the entries that
// have no references. 0 when one was given up, else -1.
int give_up_oldest(Arr *arr) {
    if (arr == nullptr) return -1;
    Tbl *names = keysarr(arr);
    const char *oldest_name = nullptr;
    Mapentry *oldest = nullptr;
    for (int i = 0, n = maxtbl(names); i < n; i++) {
        auto *name = static_cast<const char *>(gettbl(names, i));
        auto *e = static_cast<Mapentry *>(getarr(arr, name));
        if (e == nullptr || e->md.mmap_data == nullptr || e->md.ref > 0) continue;
        if (oldest == nullptr || e->stamp < oldest->stamp) {
            oldest = e;
            oldest_name = name;
        }
    }
    int rc = -1;
    if (oldest != nullptr &&
        unmap(oldest->md.mmap_data, static_cast<std::size_t>(oldest->md.mmap_size),
              oldest_name)) {
        oldest->md.mmap_data = nullptr;
        rc = 0;
    }
    freetbl(names, nullptr);
    return rc;
}

int open_for(const char *name, Want want) {
    if (want == Want::read) return gz_openfd(name);
    int flags = kOpenFlags | (want == Want::write ? O_RDWR : O_RDONLY);
    int fd;
    do {
        fd = open(name, flags);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Maps name afresh for a request of this kind and enters the mapping in
// arr, into e when the name has an entry already. With `evict`, failures
// of mmap give up the least recently used mapping and try again. Returns
// the entry, or nullptr after logging (arr then holds what it held).
Mapentry *map_afresh(Arr *arr, const char *name, Want want, Mapentry *e, bool evict) {
    const bool decompressed = want == Want::read && compressed_name(name);
    // A decompressed copy is compared with its compressed file later on.
    struct stat named;
    const bool named_known = decompressed && restat(name, &named) == 0;

    Descriptor fd(open_for(name, want));
    if (fd.get() < 0) {
        elog_log(1, "Couldn't open %s\n", name);
        return nullptr;
    }
    struct stat st;
    if (refstat(fd.get(), &st) != 0) {
        if (errno != EOVERFLOW) {
            elog_log(1, "fstat failed for '%s'\n", name);
            return nullptr;
        }
        // Beyond the 2 GB a 32-bit board's stat can tell.
        errno = EFBIG;
        elog_log(1, "Can't map file %s\n", name);
        return nullptr;
    }
    if (st.st_size == 0) {
        errno = 0;
        elog_log(1, "'%s' is empty\n", name);
        return nullptr;
    }
    // The size is handed out as an int.
    if (static_cast<std::int64_t>(st.st_size) > INT_MAX) {
        errno = EFBIG;
        elog_log(1, "Can't map file %s\n", name);
        return nullptr;
    }
    const auto size = static_cast<std::size_t>(st.st_size);
    const int prot = want == Want::write ? PROT_READ | PROT_WRITE : PROT_READ;
    void *data = mmap(nullptr, size, prot, MAP_SHARED, fd.get(), 0);
    int map_errno = errno;
    while (data == MAP_FAILED && evict && give_up_oldest(arr) == 0) {
        data = mmap(nullptr, size, prot, MAP_SHARED, fd.get(), 0);
        map_errno = errno;
    }
    if (data == MAP_FAILED) {
        errno = map_errno;
        elog_log(1, "Can't map file %s\n", name);
        return nullptr;
    }

    if (e == nullptr) {
        e = entry_of(new_Mapdata());
        setarr(arr, name, e);
    } else if (e->md.mmap_data != nullptr) {
        // The earlier mapping stays for the users who hold it.
        if (e->md.ref > 0) {
            auto *r = BASALT_NEW_RECORD(Retired, "retired mapping");
            r->data = e->md.mmap_data;
            r->size = static_cast<std::size_t>(e->md.mmap_size);
            r->next = e->retired;
            e->retired = r;
        } else {
            unmap(e->md.mmap_data, static_cast<std::size_t>(e->md.mmap_size), name);
        }
    }
    e->md.mmap_data = static_cast<char *>(data);
    e->md.mmap_size = static_cast<int>(size);
    e->writable = want == Want::write;
    e->decompressed = decompressed;
    if (!decompressed) {
        remember_file(e, st);
    } else if (named_known) {
        remember_file(e, named);
    } else {
        e->size = -1;
    }
    stamp(e);
    return e;
}

// The lookup shared by mapfile, wmapfile and vmapfile: the entry of name
// with a current mapping that serves `want`, mapped afresh when needed.
Mapentry *lookup(Arr *&arr, const char *name, Want want, bool evict) {
    if (arr == nullptr) arr = newarr(nullptr);
    auto *e = static_cast<Mapentry *>(getarr(arr, name));
    if (e != nullptr && e->md.mmap_data != nullptr && serves(e, want, name) &&
        still_current(e, name)) {
        stamp(e);
        return e;
    }
    return map_afresh(arr, name, want, e, evict);
}

int map_counted(const char *name, Arr **maparr, char **mmap_datap, Want want) noexcept {
    if (want == Want::read && mmap_datap != nullptr) *mmap_datap = kAllOnes;
    if (name == nullptr) {
        errno = EFAULT;
        elog_log(1, "Couldn't open %s\n", "(null)");
        return -1;
    }
    Cache cache(maparr);
    Mapentry *e = lookup(cache.arr(), name, want, false);
    if (e == nullptr) return -1;
    if (e->md.ref < INT_MAX) e->md.ref++;
    if (mmap_datap != nullptr) *mmap_datap = e->md.mmap_data;
    return e->md.mmap_size;
}

Mapdata *map_evictable(const char *name, Arr **maparr) noexcept {
    if (name == nullptr) {
        errno = EFAULT;
        elog_log(1, "Couldn't open %s\n", "(null)");
        return nullptr;
    }
    Cache cache(maparr);
    Mapentry *e = lookup(cache.arr(), name, Want::raw, true);
    return e != nullptr ? &e->md : nullptr;
}

int give_up(Arr **maparr) noexcept {
    Cache cache(maparr);
    return give_up_oldest(cache.arr());
}

int release(const char *name, Arr **maparr) noexcept {
    Cache cache(maparr);
    Arr *arr = cache.arr();
    if (arr == nullptr || name == nullptr) return -1;
    auto *e = static_cast<Mapentry *>(getarr(arr, name));
    if (e == nullptr) return -1;
    if (e->md.ref > 1) {
        e->md.ref--;
        return 0;
    }
    if (e->md.mmap_data != nullptr &&
        !unmap(e->md.mmap_data, static_cast<std::size_t>(e->md.mmap_size), name))
        return -1;
    e->md.mmap_data = nullptr;
    unmap_all(e, name);
    delarr(arr, name);
    std::free(e);
    return 0;
}

int release_all(Arr **maparr) noexcept {
    Cache cache(maparr);
    Arr *&arr = cache.arr();
    if (arr == nullptr) return 0;
    int failed = 0;
    Tbl *names = keysarr(arr);
    for (int i = 0, n = maxtbl(names); i < n; i++) {
        auto *name = static_cast<const char *>(gettbl(names, i));
        auto *e = static_cast<Mapentry *>(getarr(arr, name));
        if (e != nullptr) failed += unmap_all(e, name);
    }
    freetbl(names, nullptr);
    freearr(arr, std::free);
    arr = nullptr;
    return -failed;
}

}  // namespace

extern "C" {

Mapdata *new_Mapdata(void) { return &BASALT_NEW_RECORD(Mapentry, "mapdata")->md; }

int mapfile(const char *filename, Arr **maparr, char **mmap_datap) {
    return map_counted(filename, maparr, mmap_datap, Want::read);
}

int wmapfile(const char *filename, Arr **maparr, char **mmap_datap) {
    return map_counted(filename, maparr, mmap_datap, Want::write);
}

Mapdata *vmapfile(const char *filename, Arr **maparr) {
    return map_evictable(filename, maparr);
}

int vunmapfile(Arr **maparr) { return give_up(maparr); }

int unmapfile(const char *filename, Arr **maparr) { return release(filename, maparr); }

int unmaparr(Arr **maparr) { return release_all(maparr); }

}  // extern "C"
