// Lists: the Tbl record, its growth at both ends (in memory and in a mapped
// list file) and the operations on entries.
#include "tbl.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "alloc.h"
#include "elog.h"
#include "sort.h"

namespace {

constexpr int32_t kDefaultStep = 10;

// Bytes taken by `slots` slots of `entry_size` bytes. A size that cannot be
// represented (negative, or beyond what an address can span) is treated as
// running out of memory for `what`.
std::size_t slot_bytes(int64_t slots, int64_t entry_size, const char *what) {
    if (slots < 0 || entry_size < 0 || slots > INT32_MAX || entry_size > INT32_MAX)
        basalt::out_of_memory(__FILE__, __LINE__, SIZE_MAX, what);
    uint64_t bytes = static_cast<uint64_t>(slots) * static_cast<uint64_t>(entry_size);
    if (bytes > static_cast<uint64_t>(PTRDIFF_MAX)) {
        std::size_t shown = bytes > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(bytes);
        basalt::out_of_memory(__FILE__, __LINE__, shown, what);
    }
    return static_cast<std::size_t>(bytes);
}

// A slot count that no longer fits the record's 32-bit words.
[[noreturn]] void too_many_slots(const char *what) {
    basalt::out_of_memory(__FILE__, __LINE__, SIZE_MAX, what);
}

int32_t doubled(int32_t step) { return step > INT32_MAX / 2 ? INT32_MAX : step * 2; }

inline char *slot(const Tbl *tbl, int64_t index) {
    return tbl->base.cp + static_cast<std::ptrdiff_t>(index) * tbl->entry_size;
}

// Start of the storage block of a list in memory.
inline char *block_of(const Tbl *tbl) { return slot(tbl, tbl->left); }

inline bool file_backed(const Tbl *tbl) { return tbl->mapped != nullptr; }

// Writes the counts and growth steps through to the record image of a
// writable list file.
inline void sync_image(Tbl *tbl) {
    if (int32_t *image = tbl->image) [[unlikely]] {
        image[0] = tbl->left;
        image[1] = tbl->active_right;
        image[2] = tbl->right;
        image[9] = tbl->left_grow;
        image[10] = tbl->right_grow;
    }
}

// 1 when any of the size bytes at s is non-zero, else 0.
int not_all_zero(const char *s, int size) {
    for (int i = 0; i < size; i++)
        if (s[i] != 0) return 1;
    return 0;
}

// Fills n slots from p with the null value (zero bytes without one).
void fill_null(const Tbl *tbl, char *p, int64_t n) {
    if (n <= 0) return;
    std::size_t es = static_cast<std::size_t>(tbl->entry_size);
    if (tbl->null == nullptr) {
        std::memset(p, 0, static_cast<std::size_t>(n) * es);
        return;
    }
    for (int64_t i = 0; i < n; i++, p += es) std::memcpy(p, tbl->null, es);
}

// Whether the entry in the slot at p equals the null value.
bool equals_null(const Tbl *tbl, const char *p) {
    if (!tbl->direct) {
        void *v;
        std::memcpy(&v, p, sizeof v);
        return v == static_cast<void *>(tbl->null);
    }
    if (tbl->null != nullptr)
        return std::memcmp(p, tbl->null, static_cast<std::size_t>(tbl->entry_size)) == 0;
    return !not_all_zero(p, tbl->entry_size);
}

// What gettbl returns for the live slot at p.
inline void *entry_of(const Tbl *tbl, char *p) {
    if (tbl->direct) return p;
    void *v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Stores value into the slot at p: a pointer list stores the pointer, a
// direct list copies entry_size bytes (the null value when value is null).
inline void store(const Tbl *tbl, char *p, void *value) {
    if (!tbl->direct) {
        std::memcpy(p, &value, sizeof value);
    } else if (value != nullptr) {
        std::memcpy(p, value, static_cast<std::size_t>(tbl->entry_size));
    } else {
        fill_null(tbl, p, 1);
    }
}

// Grows the file of a writable file-backed list by n slots and maps it
// again wherever the system places it.
void extend(Tbl *tbl, int64_t n, const char *what) {
    if ((tbl->prot & 2) == 0) elog_die(0, "Can't extend read-only list.\n");

    char *old_map = tbl->mapped;
    int32_t old_size = tbl->mapped_size;
    auto in_map = [&](const void *p) {
        auto *c = static_cast<const char *>(p);
        return c != nullptr && c >= old_map && c < old_map + old_size;
    };
    // The null value and the record image move with the mapping when they
    // lie inside it.
    bool has_null = in_map(tbl->null);
    bool has_image = in_map(tbl->image);
    std::ptrdiff_t base_offset = tbl->base.cp - old_map;
    std::ptrdiff_t null_offset = has_null ? tbl->null - old_map : 0;
    std::ptrdiff_t image_offset = has_image ? reinterpret_cast<char *>(tbl->image) - old_map : 0;
    int fd = tbl->fd;

    std::size_t bytes = slot_bytes(n, tbl->entry_size, what);
    int64_t new_size = static_cast<int64_t>(old_size) + static_cast<int64_t>(bytes);
    if (new_size > INT32_MAX) too_many_slots(what);
    int nbytes = static_cast<int>(bytes);

    if (bytes > 0) {
        if (lseek(fd, static_cast<off_t>(bytes) - 1, SEEK_END) < 0)
            elog_die(1, "Couldn't lseek %d bytes beyond end of file", nbytes);
        ssize_t w;
        do {
            w = write(fd, "", 1);
        } while (w < 0 && errno == EINTR);
        if (w != 1)
            elog_die(1, "Couldn't write 1 byte to extend file by %d bytes", nbytes);
    }

    if (munmap(old_map, static_cast<std::size_t>(old_size)) != 0)
        elog_complain(1, "munmap (%lx, %d) fails",
                      static_cast<unsigned long>(reinterpret_cast<uintptr_t>(old_map)),
                      old_size);
    int prot = ((tbl->prot & 1) ? PROT_READ : 0) | ((tbl->prot & 2) ? PROT_WRITE : 0);
    void *map = mmap(nullptr, static_cast<std::size_t>(new_size), prot, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) elog_die(1, "Couldn't remap tbl.\n");

    tbl->mapped = static_cast<char *>(map);
    tbl->mapped_size = static_cast<int32_t>(new_size);
    tbl->base.cp = tbl->mapped + base_offset;
    if (has_null) tbl->null = tbl->mapped + null_offset;
    if (has_image) tbl->image = reinterpret_cast<int32_t *>(tbl->mapped + image_offset);
}

// Makes room for at least incr more slots at the right end.
void grow_right(Tbl *tbl, int64_t incr) {
    if (tbl->right_grow <= 0) tbl->right_grow = kDefaultStep;
    if (incr > tbl->right_grow) {
        if (incr > INT32_MAX) too_many_slots(tbl->base.cp ? "prev" : "tbl->base.cp");
        tbl->right_grow = static_cast<int32_t>(incr);
    }
    int32_t step = tbl->right_grow;
    int32_t free_left = -tbl->left;

    if (tbl->base.cp == nullptr) {
        std::size_t bytes = slot_bytes(step, tbl->entry_size, "tbl->base.cp");
        tbl->base.cp = static_cast<char *>(BASALT_MALLOC(bytes, "tbl->base.cp"));
        tbl->left = 0;
        tbl->right = step;
        tbl->right_grow = doubled(step);
    } else if (free_left > step / 2 && free_left >= incr) {
        // Reuse the free slots at the left: move the live entries down.
        char *block = block_of(tbl);
        std::memmove(block, tbl->base.cp,
                     slot_bytes(tbl->active_right, tbl->entry_size, "prev"));
        tbl->base.cp = block;
        tbl->right += free_left;
        tbl->left = 0;
    } else {
        int64_t total = static_cast<int64_t>(tbl->right) - tbl->left + step;
        if (total > INT32_MAX) too_many_slots("prev");
        if (file_backed(tbl)) {
            extend(tbl, step, "prev");
        } else {
            std::size_t bytes = slot_bytes(total, tbl->entry_size, "prev");
            char *block = static_cast<char *>(BASALT_REALLOC(block_of(tbl), bytes, "prev"));
            tbl->base.cp = block - static_cast<std::ptrdiff_t>(tbl->left) * tbl->entry_size;
        }
        tbl->right += step;
        tbl->right_grow = doubled(step);
    }
    fill_null(tbl, slot(tbl, tbl->active_right),
              static_cast<int64_t>(tbl->right) - tbl->active_right);
    sync_image(tbl);
}

// Makes free slots at the left end; called when left is 0.
void left_growtbl(Tbl *tbl) {
    if (tbl->left_grow <= 0) tbl->left_grow = kDefaultStep;
    int32_t step = tbl->left_grow;
    int32_t spare = tbl->right - tbl->active_right;

    if (tbl->base.cp == nullptr) {
        std::size_t bytes = slot_bytes(step, tbl->entry_size, "tbl->base.cp");
        char *block = static_cast<char *>(BASALT_CALLOC(bytes, "tbl->base.cp"));
        tbl->base.cp = block + bytes;
        tbl->left = -step;
        tbl->left_grow = doubled(step);
    } else if (spare > step / 2) {
        // Reuse the spare slots at the right: move the live entries up.
        std::memmove(slot(tbl, spare), tbl->base.cp,
                     slot_bytes(tbl->active_right, tbl->entry_size, "tbl->base.cp"));
        tbl->base.cp = slot(tbl, spare);
        tbl->left = -spare;
        tbl->right = tbl->active_right;
    } else {
        int64_t total = static_cast<int64_t>(tbl->right) - tbl->left + step;
        if (total > INT32_MAX) too_many_slots("tbl->base.cp");
        char *block;
        if (file_backed(tbl)) {
            extend(tbl, step, "tbl->base.cp");
            block = block_of(tbl);
        } else {
            std::size_t bytes = slot_bytes(total, tbl->entry_size, "tbl->base.cp");
            block = static_cast<char *>(
                BASALT_REALLOC(block_of(tbl), bytes, "tbl->base.cp"));
        }
        std::size_t shift = slot_bytes(step, tbl->entry_size, "tbl->base.cp");
        if (tbl->right > 0)
            std::memmove(block + shift, block,
                         slot_bytes(tbl->right, tbl->entry_size, "tbl->base.cp"));
        tbl->base.cp = block + shift;
        tbl->left = -step;
        tbl->left_grow = doubled(step);
    }
    sync_image(tbl);
}

// pushtbl when the list is full, direct or file-backed.
[[gnu::noinline]] int push_slow(Tbl *tbl, void *value) {
    int32_t n = tbl->active_right;
    if (n == tbl->right) grow_right(tbl, 1);
    if (tbl->direct)
        std::memcpy(slot(tbl, n), value, static_cast<std::size_t>(tbl->entry_size));
    else
        tbl->base.pp[n] = value;
    tbl->active_right = n + 1;
    sync_image(tbl);
    return n;
}

bool same_null(const Tbl *a, const Tbl *b) {
    if (a->null == nullptr || b->null == nullptr) return a->null == b->null;
    return std::memcmp(a->null, b->null, static_cast<std::size_t>(a->entry_size)) == 0;
}

}  // namespace

extern "C" {

Tbl *inittbl(int left_grow, int right_grow, int direct, void *null, int entry_size) {
    Tbl *tbl = BASALT_NEW_RECORD(Tbl, "tbl");
    // A pointer list reads and writes its slots as pointers.
    if (!direct) entry_size = static_cast<int>(sizeof(void *));
    tbl->entry_size = entry_size;
    tbl->direct = direct ? 1 : 0;
    tbl->left_grow = left_grow > 0 ? left_grow : kDefaultStep;
    tbl->right_grow = right_grow > 0 ? right_grow : kDefaultStep;
    tbl->fd = 0;
    if (null != nullptr) {
        std::size_t bytes = slot_bytes(1, entry_size, "null_value");
        tbl->null = static_cast<char *>(BASALT_MALLOC(bytes, "null_value"));
        std::memcpy(tbl->null, null, bytes);
    }
    return tbl;
}

Tbl *newtbl(int size) {
    return inittbl(0, size, 0, nullptr, static_cast<int>(sizeof(void *)));
}

void *gettbl(Tbl *tbl, int index) {
    if (static_cast<uint32_t>(index) >= static_cast<uint32_t>(tbl->active_right))
        return tbl->null;
    if (tbl->direct) return slot(tbl, index);
    return tbl->base.pp[index];
}

void *addrtbl(Tbl *tbl, int index) {
    if (static_cast<uint32_t>(index) >= static_cast<uint32_t>(tbl->active_right))
        return nullptr;
    return slot(tbl, index);
}

void right_growtbl(Tbl *tbl, int incr) { grow_right(tbl, incr); }

int settbl(Tbl *tbl, int index, void *value) {
    if (index < 0) index = tbl->active_right;
    if (index >= tbl->right) grow_right(tbl, static_cast<int64_t>(index) - tbl->right + 1);
    store(tbl, slot(tbl, index), value);
    if (index >= tbl->active_right) tbl->active_right = index + 1;
    sync_image(tbl);
    return index;
}

int pushtbl(Tbl *tbl, void *value) {
    int32_t n = tbl->active_right;
    // The common case, a pointer list in memory with room at the right,
    // touches nothing else.
    if (n != tbl->right && !tbl->direct && tbl->image == nullptr) [[likely]] {
        tbl->base.pp[n] = value;
        tbl->active_right = n + 1;
        return n;
    }
    return push_slow(tbl, value);
}

int unshifttbl(Tbl *tbl, void *value) {
    if (tbl->left == 0) left_growtbl(tbl);
    tbl->left++;
    tbl->active_right++;
    tbl->right++;
    tbl->base.cp -= tbl->entry_size;
    if (tbl->direct)
        std::memcpy(tbl->base.cp, value, static_cast<std::size_t>(tbl->entry_size));
    else
        tbl->base.pp[0] = value;
    sync_image(tbl);
    return 0;
}

int instbl(Tbl *tbl, int index, void *value) {
    if (index < 0) return unshifttbl(tbl, value);
    if (index >= tbl->active_right) return pushtbl(tbl, value);
    if (tbl->active_right == tbl->right) grow_right(tbl, 1);
    std::memmove(slot(tbl, index + 1), slot(tbl, index),
                 slot_bytes(tbl->active_right - index, tbl->entry_size, "prev"));
    if (tbl->direct)
        std::memcpy(slot(tbl, index), value, static_cast<std::size_t>(tbl->entry_size));
    else
        tbl->base.pp[index] = value;
    tbl->active_right++;
    sync_image(tbl);
    return index;
}

int cattbl(Tbl *tbldest, Tbl *tblsrc) {
    if (tbldest->entry_size != tblsrc->entry_size) {
        elog_log(0, "tbl lists have different entry sizes: %d %d\n",
                 tbldest->entry_size, tblsrc->entry_size);
        return 1;
    }
    if ((tbldest->direct != 0) != (tblsrc->direct != 0)) {
        elog_log(0, "tbl lists are not both direct or indirect.\n");
        return 1;
    }
    if (!same_null(tbldest, tblsrc)) {
        elog_log(0, "tbl lists have different null values.\n");
        return 1;
    }
    int32_t n = tblsrc->active_right;
    if (n <= 0) return 0;
    tbldest->left_grow = std::max(tbldest->left_grow, tblsrc->left_grow);
    tbldest->right_grow = std::max(tbldest->right_grow, tblsrc->right_grow);
    if (tbldest->right - tbldest->active_right < n) grow_right(tbldest, n);
    if (static_cast<int64_t>(tbldest->active_right) + n > tbldest->right)
        too_many_slots("prev");  // not reached: the growth made the room
    // The source may be the destination itself; its entries then still lie
    // at slots 0 to n - 1 after the growth.
    std::memmove(slot(tbldest, tbldest->active_right), tblsrc->base.cp,
                 slot_bytes(n, tbldest->entry_size, "prev"));
    tbldest->active_right += n;
    sync_image(tbldest);
    return 0;
}

void *poptbl(Tbl *tbl) {
    if (tbl->active_right <= 0) return tbl->null;
    int32_t n = --tbl->active_right;
    sync_image(tbl);
    if (tbl->direct) return slot(tbl, n);
    return tbl->base.pp[n];
}

void *shifttbl(Tbl *tbl) {
    int32_t n = tbl->active_right;
    if (n <= 0) return tbl->null;
    char *p = tbl->base.cp;
    tbl->base.cp = p + tbl->entry_size;
    tbl->active_right = n - 1;
    tbl->right--;
    tbl->left--;
    if (tbl->image != nullptr) [[unlikely]]
        sync_image(tbl);
    if (tbl->direct) return p;
    return *reinterpret_cast<void **>(p);
}

void *deltbl(Tbl *tbl, int index) {
    if (static_cast<uint32_t>(index) >= static_cast<uint32_t>(tbl->active_right))
        return tbl->null;
    std::size_t es = static_cast<std::size_t>(tbl->entry_size);
    char *p = slot(tbl, index);
    void *result;
    if (tbl->direct) {
        if (tbl->deleted == nullptr)
            tbl->deleted = static_cast<char *>(BASALT_MALLOC(es, "tbl->deleted"));
        std::memcpy(tbl->deleted, p, es);
        result = tbl->deleted;
    } else {
        result = tbl->base.pp[index];
    }
    int32_t last = tbl->active_right - 1;
    if (index < last)
        std::memmove(p, p + es, slot_bytes(last - index, tbl->entry_size, "prev"));
    tbl->active_right = last;
    fill_null(tbl, slot(tbl, last), 1);
    sync_image(tbl);
    return result;
}

void trunctbl(Tbl *tbl, int last, void (*free_tblval)(void *)) {
    if (last < 0) last = 0;
    if (free_tblval != nullptr) {
        for (int32_t i = last; i < tbl->active_right; i++) {
            char *p = slot(tbl, i);
            if (equals_null(tbl, p)) continue;
            free_tblval(entry_of(tbl, p));
            // The freed entry must not come back through a later settbl
            // beyond the count, in a pointer list as in a direct one.
            fill_null(tbl, p, 1);
        }
    }
    if (last < tbl->active_right) tbl->active_right = last;
    sync_image(tbl);
}

void clrtbl(Tbl *tbl, void (*free_tblval)(void *)) { trunctbl(tbl, 0, free_tblval); }

void freetbl(Tbl *tbl, void (*free_tblval)(void *)) {
    if (tbl == nullptr) return;
    if (!file_backed(tbl)) {
        if (free_tblval != nullptr) {
            for (int32_t i = 0; i < tbl->active_right; i++) {
                char *p = slot(tbl, i);
                if (!equals_null(tbl, p)) free_tblval(entry_of(tbl, p));
            }
        }
        if (tbl->base.cp != nullptr) std::free(block_of(tbl));
        std::free(tbl->null);
        std::free(tbl->deleted);
        std::free(tbl);
        return;
    }
    char *map = tbl->mapped;
    int32_t size = tbl->mapped_size;
    int fd = tbl->fd;
    std::free(tbl->deleted);
    // A record that lies inside the mapping goes with it; one kept beside
    // the mapping is ours to free.
    char *record = reinterpret_cast<char *>(tbl);
    bool inside = record >= map && record < map + size;
    if (!inside) std::free(tbl);
    close(fd);
    if (munmap(map, static_cast<std::size_t>(size)) != 0)
        elog_complain(1, "munmap (%lx, %d) fails",
                      static_cast<unsigned long>(reinterpret_cast<uintptr_t>(map)), size);
}

int applytbl(Tbl *tbl, int (*function)(void *entry, void *pvt), void *pvt) {
    // Summed with wrap-around: a sum beyond int is the caller's, not undefined.
    uint32_t sum = 0;
    for (int32_t i = 0; i < tbl->active_right; i++) {
        void *entry = gettbl(tbl, i);
        if (entry != nullptr) sum += static_cast<uint32_t>(function(entry, pvt));
    }
    return static_cast<int>(sum);
}

Tbl *duptbl(Tbl *old, void *(*dup_tblval)(void *)) {
    Tbl *tbl = inittbl(old->left_grow, old->right_grow, old->direct, old->null,
                       old->entry_size);
    cattbl(tbl, old);
    if (dup_tblval != nullptr) {
        for (int32_t i = 0; i < tbl->active_right; i++) {
            char *p = slot(tbl, i);
            if (equals_null(tbl, p)) continue;
            if (tbl->direct)
                dup_tblval(p);
            else
                settbl(tbl, i, dup_tblval(tbl->base.pp[i]));
        }
    }
    return tbl;
}

int cmptbl(Tbl *tbl1, Tbl *tbl2) {
    if (tbl1->active_right != tbl2->active_right || tbl1->entry_size != tbl2->entry_size)
        return 1;
    if (tbl1->active_right <= 0) return 0;
    int c = std::memcmp(tbl1->base.cp, tbl2->base.cp,
                        slot_bytes(tbl1->active_right, tbl1->entry_size, "prev"));
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

void sorttbl(Tbl *tbl, int (*compare)(void *a, void *b, void *pvt), void *pvt) {
    if (tbl->active_right < 2) return;
    shellsort(tbl->base.cp, tbl->active_right, tbl->entry_size, compare, pvt);
}

int searchtbl(void *key, Tbl *tbl, int (*compare)(void *key, void *slot, void *pvt),
              void *pvt, int *ns, int *ne) {
    return ssearch(key, tbl->entry_size, tbl->base.cp, tbl->active_right, 0, compare,
                   pvt, ns, ne);
}

}  // extern "C"
