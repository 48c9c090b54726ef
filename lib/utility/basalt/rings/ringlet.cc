// Ringlet files: a ring of fixed-size entries, the last pushed first.
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>

#include "alloc.h"
#include "elog.h"
#include "pathtools.h"
#include "ringfile_private.h"
#include "rings.h"

namespace {

using namespace basalt::rings;

// The magic: seven letters and a NUL.
constexpr char kMagic[8] = {'r', 'i', 'n', 'g', 'l', 'e', 't', '\0'};
constexpr std::size_t kHeaderSize = 28;

struct RgHdr {
    char magic[8];
    int p;         // slot of entry 0
    int cnt;       // entries held, 0..max
    int max;       // capacity in entries
    int entrysize; // bytes per entry
    int flags;     // 0
};
static_assert(sizeof(RgHdr) == kHeaderSize);

struct Ringlet {
    RgHdr *info;   // start of the mapping
    char *data;    // the slots, directly after the header
    std::size_t size;
    int readonly;
};

const OpenTexts kTexts = {
    "ringlet buffer file '%s' does not exist",
    "Can't open ringlet %s.",
    "failed to mmap ringlet %s",
    "Bad magic number while trying to read ringlet.\n",
};

bool header_fits(const char *start, std::size_t size, const char *filename) {
    RgHdr h{};
    if (size >= kHeaderSize) std::memcpy(&h, start, kHeaderSize);
    return header_agrees(filename, "ringlet file", size, kHeaderSize, h.entrysize, h.p, h.cnt,
                         h.max);
}

Ringlet *as_ringlet(void *vrb) { return static_cast<Ringlet *>(vrb); }

}  // namespace

extern "C" {

int newringlet(const char *filename, int max, int entrysize) {
    if (file_size(kHeaderSize, entrysize, max) == 0) {
        elog_log(0, "Can't make ringlet %s with room for %d entries of %d bytes\n", filename, max,
                 entrysize);
        return -1;
    }
    RgHdr h;
    std::memset(&h, 0, sizeof h);
    std::memcpy(h.magic, kMagic, 8);
    h.max = max;
    h.entrysize = entrysize;
    return create_file(filename, &h, kHeaderSize, 1,
                       static_cast<std::size_t>(max) * static_cast<std::size_t>(entrysize));
}

void *openringlet(const char *filename, int max, int entrysize) {
    struct stat st;
    for (;;) {
        make_pathdirs(filename);
        if (restat(filename, &st) == 0) break;
        if (errno != ENOENT) {
            elog_log(1, kTexts.missing, filename);
            return nullptr;
        }
        if (newringlet(filename, max, entrysize) != 0) return nullptr;
    }
    if (static_cast<std::uintmax_t>(st.st_size) > std::numeric_limits<std::size_t>::max()) {
        header_fits(nullptr, 0, filename);
        return nullptr;
    }
    Lock lock = Lock::granted;
    Mapped mapped = map_file(filename, static_cast<std::size_t>(st.st_size), false, kMagic, kTexts,
                             header_fits, &lock);
    if (mapped.start == nullptr) return nullptr;
    int readonly = 0;
    if (lock == Lock::refused_remote) {
        elog_complain(1, "Can't lock '%s': it is on an nfs filesystem: proceeding anyway\n",
                      filename);
    } else if (lock == Lock::refused_local) {
        elog_log(1, "Can't lock '%s' for exclusive use\n", filename);
        readonly = 1;
    }
    Ringlet *rg = BASALT_NEW_RECORD(Ringlet, "rb");
    rg->info = reinterpret_cast<RgHdr *>(mapped.start);
    rg->data = mapped.start + kHeaderSize;
    rg->size = mapped.size;
    rg->readonly = readonly;
    return rg;
}

void closeringlet(void *vrb) {
    Ringlet *rg = as_ringlet(vrb);
    if (rg == nullptr) return;
    unmap(reinterpret_cast<char *>(rg->info), rg->size);
    std::free(rg);
}

int pushringlet(void *vrb, char *entry) {
    Ringlet *rg = as_ringlet(vrb);
    if (rg->readonly) return -1;
    RgHdr *h = rg->info;
    int p = h->p - 1;
    if (p < 0) p += h->max;
    h->p = p;
    std::memcpy(rg->data + static_cast<std::size_t>(p) * static_cast<std::size_t>(h->entrysize),
                entry, static_cast<std::size_t>(h->entrysize));
    if (h->cnt < h->max) h->cnt++;
    return 0;
}

int countringlet(void *vrb) { return as_ringlet(vrb)->info->cnt; }

int getringlet(void *vrb, int i, char **entry) {
    Ringlet *rg = as_ringlet(vrb);
    const RgHdr *h = rg->info;
    if (i < 0 || i >= h->cnt) return -1;
    auto slot = static_cast<std::size_t>((static_cast<std::int64_t>(h->p) + i) % h->max);
    *entry = rg->data + slot * static_cast<std::size_t>(h->entrysize);
    return 0;
}

}  // extern "C"
