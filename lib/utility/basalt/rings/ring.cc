// Ring buffer files of {time, value} records kept in order of time.
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "alloc.h"
#include "elog.h"
#include "pathtools.h"
#include "ringfile_private.h"
#include "rings.h"
#include "values.h"

namespace {

using namespace basalt::rings;

constexpr char kMagic[] = "ringbuff";
constexpr std::size_t kHeaderSize = 88;
static_assert(sizeof(RbInfo) == kHeaderSize && sizeof(RbData) == 16);

const OpenTexts kTexts = {
    "ring buffer file '%s' does not exist",
    "Can't open ringbuffer %s.",
    "failed to mmap ringbuffer %s",
    "Bad magic number while trying to read ring buffer.\n",
};

bool header_fits(const char *start, std::size_t size, const char *filename) {
    RbInfo info{};
    if (size >= kHeaderSize) std::memcpy(&info, start, kHeaderSize);
    return header_agrees(filename, "ring buffer file", size, kHeaderSize, sizeof(RbData), info.p,
                         info.cnt, info.max);
}

RbData &slot(RingBuffer *rb, int i) { return rb->data[i]; }

// Calls visit(i, record) for the records of the time window, that is those
// whose times t satisfy t0 - deltat < t <= t0, newest first, until visit
// returns false.
template <typename Visit>
void walk_window(RingBuffer *rb, double deltat, Visit visit) {
    const RbInfo *info = rb->info;
    double limit = slot(rb, info->p).t - deltat;
    for (int i = 0; i < info->cnt; i++) {
        const RbData &r = slot(rb, static_cast<int>((static_cast<int64_t>(info->p) + i) % info->max));
        if (!(r.t > limit)) return;
        if (!visit(i, r)) return;
    }
}

}  // namespace

extern "C" {

int newring(const char *filename, char *id, int max, int flags) {
    if (file_size(kHeaderSize, 16, max) == 0) {
        elog_log(0, "Can't make ring buffer %s with room for %d records\n", filename, max);
        return -1;
    }
    RbInfo info;
    std::memset(&info, 0, sizeof info);
    std::memcpy(info.magic, kMagic, 8);
    if (id != nullptr) std::memcpy(info.id, id, sizeof info.id);
    info.p = 0;
    info.cnt = 0;
    info.max = max;
    info.flags = flags & ~1;
    return create_file(filename, &info, kHeaderSize, sizeof(RbData), static_cast<std::size_t>(max));
}

RingBuffer *openring(const char *filename, char *id, int max, int flags) {
    bool readonly = (flags & 1) != 0;
    struct stat st;
    while (restat(filename, &st) != 0) {
        if (errno != ENOENT || readonly) {
            elog_log(1, kTexts.missing, filename);
            return nullptr;
        }
        if (newring(filename, id, max, flags) != 0) return nullptr;
    }
    if (static_cast<std::uintmax_t>(st.st_size) > std::numeric_limits<std::size_t>::max()) {
        header_fits(nullptr, 0, filename);
        return nullptr;
    }
    auto size = static_cast<std::size_t>(st.st_size);
    Lock lock = Lock::granted;
    Mapped mapped = map_file(filename, size, readonly, kMagic, kTexts, header_fits, &lock);
    if (mapped.start == nullptr) return nullptr;
    if (lock != Lock::granted) {
        unmap(mapped.start, mapped.size);
        if (lock == Lock::refused_remote)
            elog_complain(1, "Can't lock '%s': it is on an nfs filesystem\n", filename);
        else
            elog_complain(1, "Can't lock '%s' for exclusive use\n", filename);
        return nullptr;
    }
    RingBuffer *rb = BASALT_NEW_RECORD(RingBuffer, "rb");
    rb->info = reinterpret_cast<RbInfo *>(mapped.start);
    rb->data = reinterpret_cast<RbData *>(mapped.start + kHeaderSize);
    rb->size = mapped.size;
    rb->readonly = readonly ? 1 : 0;
    if (id != nullptr) std::memcpy(id, rb->info->id, sizeof rb->info->id);
    return rb;
}

void closering(RingBuffer *rb) {
    if (rb == nullptr) return;
    unmap(reinterpret_cast<char *>(rb->info), rb->size);
    std::free(rb);
}

int pushring(RingBuffer *rb, double time, double value) {
    if (rb->readonly) return -1;
    RbInfo *info = rb->info;
    int max = info->max;
    int old = info->p;
    int p = old - 1;
    if (p < 0) p += max;
    info->p = p;
    slot(rb, p) = RbData{time, value};
    if (info->cnt < max) info->cnt++;
    // Move the new record back until the one after it is not later.
    int newer = p, older = old;
    for (int k = 1; k < info->cnt; k++) {
        if (!(slot(rb, older).t > slot(rb, newer).t)) break;
        RbData swap = slot(rb, older);
        slot(rb, older) = slot(rb, newer);
        slot(rb, newer) = swap;
        newer = older;
        older = (older + 1) % max;
    }
    return 0;
}

int countring(RingBuffer *rb) { return rb->info->cnt; }

int getring(RingBuffer *rb, int i, double *time, double *value) {
    const RbInfo *info = rb->info;
    if (i < 0 || i >= info->cnt) return -1;
    const RbData &r = slot(rb, static_cast<int>((static_cast<int64_t>(info->p) + i) % info->max));
    *time = r.t;
    *value = r.v;
    return 0;
}

int findring(RingBuffer *rb, double value, double deltat) {
    int found = -1;
    walk_window(rb, deltat, [&](int i, const RbData &r) {
        if (r.v != value) return true;
        found = i;
        return false;
    });
    return found;
}

double maxring(RingBuffer *rb, double deltat, int *index) {
    double best = -an_infinity();
    *index = -1;
    walk_window(rb, deltat, [&](int i, const RbData &r) {
        if (r.v > best) {
            best = r.v;
            *index = i;
        }
        return true;
    });
    return best;
}

double minring(RingBuffer *rb, double deltat, int *index) {
    double best = an_infinity();
    *index = -1;
    walk_window(rb, deltat, [&](int i, const RbData &r) {
        if (r.v < best) {
            best = r.v;
            *index = i;
        }
        return true;
    });
    return best;
}

double avgring(RingBuffer *rb, double deltat) {
    double sum = 0.0;
    int n = 0;
    walk_window(rb, deltat, [&](int, const RbData &r) {
        sum += r.v;
        n++;
        return true;
    });
    return sum / static_cast<double>(n);  // an empty window gives a NaN
}

int changedring(RingBuffer *rb, double deltat) {
    double reference = slot(rb, rb->info->p).v;
    int changed = 0;
    walk_window(rb, deltat, [&](int i, const RbData &r) {
        if (i > 0 && r.v != reference) changed = 1;
        return changed == 0;
    });
    return changed;
}

}  // extern "C"
