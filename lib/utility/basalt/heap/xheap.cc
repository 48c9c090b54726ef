// Named blocks in a mapped file: blocks that tile the file, a first-fit free
// list with splitting, merging of neighbours on delete, and growth or
// compaction of the file when no free block fits.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "alloc.h"
#include "crc.h"
#include "dumps.h"
#include "elog.h"
#include "filetests.h"
#include "kitbag_byteorder.h"
#include "pathtools.h"
#include "xheap.h"

namespace {

constexpr int kHeader = 16;

// The 32-bit form of a block's address, as the messages show it.
inline unsigned shown(const void *p) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}

void hdr2host(const char *block, Xhdr *h) {
    int v[4];
    auto *cursor = reinterpret_cast<unsigned char *>(const_cast<char *>(block));
    mi2hi(&cursor, v, 4);
    *h = Xhdr{v[0], v[1], v[2], v[3]};
}

void host2hdr(const Xhdr &h, char *block) {
    const int v[4] = {h.size, h.slen, h.ndata, h.crc};
    auto *cursor = reinterpret_cast<unsigned char *>(block);
    hi2mi(v, &cursor, 4);
}

// Rewrites the size field of a block's header.
void set_size(char *block, int size) {
    auto *cursor = reinterpret_cast<unsigned char *>(block);
    hi2mi(&size, &cursor, 1);
}

void set_slen(char *block, int slen) {
    auto *cursor = reinterpret_cast<unsigned char *>(block + 4);
    hi2mi(&slen, &cursor, 1);
}

// Writes the header of a free block of `size` bytes and a 0 byte where a
// name would start.
void free_header(char *block, int size) {
    host2hdr(Xhdr{size, 0, 0, 0}, block);
    if (size > kHeader) block[kHeader] = 0;
}

int block_crc(const char *name, int slen, const char *data, int ndata) {
    int r = 0;
    bt_crc32(&r, reinterpret_cast<unsigned char *>(const_cast<char *>(name)), slen);
    bt_crc32(&r, reinterpret_cast<unsigned char *>(const_cast<char *>(data)), ndata);
    return r;
}

int64_t reqx(const char *name, int64_t ndata) {
    return static_cast<int64_t>(std::strlen(name)) + ndata + 17;
}

Xentry *new_entry(char *block, int size) {
    Xentry *e = BASALT_NEW_RECORD(Xentry, "entry");
    e->block = block;
    e->size = size;
    return e;
}

void free_entry(void *e) { std::free(e); }

int byaddress(void *a, void *b, void *) {
    const Xentry *ea = *static_cast<Xentry **>(a), *eb = *static_cast<Xentry **>(b);
    return ea->block < eb->block ? -1 : ea->block > eb->block ? 1 : 0;
}

Xheap *newx() {
    Xheap *x = BASALT_NEW_RECORD(Xheap, "x");
    x->heap = newarr(nullptr);
    x->free = newtbl(0);
    return x;
}

// Forgets every block record (the file is left alone).
void forget_blocks(Xheap *x) {
    freearr(x->heap, free_entry);
    freetbl(x->free, free_entry);
    x->heap = newarr(nullptr);
    x->free = newtbl(0);
}

// Every block, used and free, in address order.
std::vector<Xentry *> all_blocks(Xheap *x) {
    std::vector<Xentry *> v;
    Tbl *used = valsarr(x->heap);
    for (int i = 0; i < maxtbl(used); i++) v.push_back(static_cast<Xentry *>(gettbl(used, i)));
    freetbl(used, nullptr);
    for (int i = 0; i < maxtbl(x->free); i++)
        v.push_back(static_cast<Xentry *>(gettbl(x->free, i)));
    std::sort(v.begin(), v.end(), [](Xentry *a, Xentry *b) { return a->block < b->block; });
    return v;
}

__attribute__((format(printf, 1, 2))) std::string format(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string s(static_cast<std::size_t>(n > 0 ? n : 0) + 1, '\0');
    va_start(ap, fmt);
    std::vsnprintf(s.data(), s.size(), fmt, ap);
    va_end(ap);
    s.pop_back();
    return s;
}

// One line per block; with no stream through the error log, any hex dump
// then on standard error.
void show_entry(FILE *stream, Xentry *e, int flag) {
    std::string line;
    if (e->name != nullptr) {
        if (flag & 1) {
            std::size_t room = static_cast<std::size_t>(e->block + e->size - e->data);
            int text = static_cast<int>(strnlen(e->data, room));
            line = format("%8x %8d %8d %-10s => %.*s\n", shown(e->block), e->size, e->ndata,
                          e->name, text, e->data);
        } else {
            line = format("%8x %8d %8d %s\n", shown(e->block), e->size, e->ndata, e->name);
        }
    } else {
        line = format("%8x %8d **free**\n", shown(e->block), e->size);
    }
    if (stream != nullptr)
        std::fputs(line.c_str(), stream);
    else
        elog_log(0, "%s", line.c_str());
    if (e->name != nullptr && !(flag & 1) && (flag & 2))
        hexdump(stream != nullptr ? stream : stderr, e->data, e->ndata);
}

// Indexes the blocks of the mapping. A header that does not fit the
// mapping, or whose name and data do not fit its block, ends the scan: the
// file is refused (false).
bool assimilatex(Xheap *x) {
    if (x == nullptr) elog_die(0, "heap pointer is null");
    int64_t off = 0;
    while (off < x->size) {
        char *block = x->data + off;
        Xhdr h{};
        bool sound = x->size - off >= kHeader;
        if (sound) {
            hdr2host(block, &h);
            sound = h.size >= kHeader && h.size <= x->size - off && h.slen >= 0 &&
                    h.ndata >= 0 &&
                    int64_t{kHeader} + h.slen + h.ndata <= h.size &&
                    (h.slen == 0 || std::memchr(block + kHeader, 0, h.slen) != nullptr);
        }
        if (!sound) {
            elog_complain(0, "corrupt block at %x\n", shown(block));
            return false;
        }
        Xentry *e = new_entry(block, h.size);
        if (h.slen == 0) {
            pushtbl(x->free, e);
        } else {
            e->name = block + kHeader;
            e->data = e->name + h.slen;
            e->ndata = h.ndata;
            int crc = block_crc(e->name, h.slen, e->data, h.ndata);
            if (crc != h.crc) {
                elog_complain(0, "crc failed: '%s' %d bytes %x != %x\n", e->name, h.ndata,
                              static_cast<unsigned>(crc), static_cast<unsigned>(h.crc));
                hexdump(stderr, block, kHeader);
                hexdump(stderr, e->data, std::min(h.ndata, 64));
            }
            if (auto *earlier = static_cast<Xentry *>(setarr(x->heap, e->name, e))) {
                earlier->name[0] = 0;
                set_slen(earlier->block, 0);
                earlier->name = earlier->data = nullptr;
                earlier->ndata = 0;
                pushtbl(x->free, earlier);
            }
        }
        off += h.size;
    }
    return true;
}

// Opens or creates the file and maps it whole, reserving its disk space.
Xheap *mapx(const char *filename, int size) {
    struct stat st;
    if (restat(filename, &st) != 0 || st.st_size == 0) {
        if (size < 17) {
            errno = EINVAL;
            elog_log(1, "Can't create new file '%s'\n", filename);
            return nullptr;
        }
        char init[kHeader];
        host2hdr(Xhdr{size, 0, 0, 0}, init);
        if (mkfile(filename, static_cast<unsigned>(size), init, kHeader) != 0) return nullptr;
    }
    int fd = open(filename, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        elog_log(1, "Couldn't open %s\n", filename);
        return nullptr;
    }
    void *p = MAP_FAILED;
    int64_t length = 0;
    if (fstat(fd, &st) == 0) {
        length = st.st_size;
        int err = length > INT32_MAX ? EFBIG : posix_fallocate(fd, 0, length);
        if (err == 0)
            p = mmap(nullptr, static_cast<std::size_t>(length), PROT_READ | PROT_WRITE,
                     MAP_SHARED, fd, 0);
        else
            errno = err;
    }
    if (p == MAP_FAILED) {
        elog_log(1, "Can't map file %s\n", filename);
        close(fd);
        return nullptr;
    }
    close(fd);
    Xheap *x = newx();
    x->filename = BASALT_STRDUP(filename, "new");
    x->data = static_cast<char *>(p);
    x->size = static_cast<int>(length);
    return x;
}

// Removes entry e (already out of `heap`) as a used block: merges it with a
// free block before it and one after it, or enters it in the free list.
void release(Xheap *x, Xentry *e) {
    e->name = e->data = nullptr;
    e->ndata = 0;
    set_slen(e->block, 0);
    Xentry *cur = e;
    bool merged = false;
    for (int i = 0; i < maxtbl(x->free); i++) {
        auto *f = static_cast<Xentry *>(gettbl(x->free, i));
        if (f == cur) continue;
        if (cur == e && f->block + f->size == cur->block) {
            // The free block before absorbs this one; the search goes on
            // with the merged block.
            f->size += cur->size;
            set_size(f->block, f->size);
            std::free(cur);
            cur = f;
            merged = true;
            continue;
        }
        if (cur->block + cur->size == f->block) {
            cur->size += f->size;
            set_size(cur->block, cur->size);
            if (cur == e)
                settbl(x->free, i, e);
            else
                deltbl(x->free, i);
            std::free(f);
            merged = true;
            break;
        }
    }
    if (!merged) {
        pushtbl(x->free, e);
        sorttbl(x->free, byaddress, nullptr);
    }
}

// The size of the free block that deleting the used block e would make, as
// release would merge it.
int64_t merged_size(Xheap *x, const Xentry *e) {
    int64_t size = e->size;
    const char *begin = e->block, *end = e->block + e->size;
    for (int i = 0; i < maxtbl(x->free); i++) {
        auto *f = static_cast<Xentry *>(gettbl(x->free, i));
        if (begin == e->block && f->block + f->size == begin) {
            size += f->size;
            begin = f->block;
        } else if (f->block == end) {
            size += f->size;
            break;
        }
    }
    return size;
}

int64_t free_total(Xheap *x, int64_t *largest) {
    int64_t total = 0;
    *largest = 0;
    for (int i = 0; i < maxtbl(x->free); i++) {
        int size = static_cast<Xentry *>(gettbl(x->free, i))->size;
        total += size;
        *largest = std::max<int64_t>(*largest, size);
    }
    return total;
}

// Writes a used block: header, name and data; records them in the entry.
void write_block(Xentry *e, const char *name, const char *data, int ndata) {
    int slen = static_cast<int>(std::strlen(name)) + 1;
    char *n = e->block + kHeader;
    std::memmove(n, name, slen);
    std::memmove(n + slen, data, ndata);
    host2hdr(Xhdr{e->size, slen, ndata, block_crc(n, slen, n + slen, ndata)}, e->block);
    e->name = n;
    e->data = n + slen;
    e->ndata = ndata;
}

}  // namespace

extern "C" Xheap *openx(char *filename, int size) {
    Xheap *x = mapx(filename, size);
    if (x != nullptr && !assimilatex(x)) closex(&x);
    return x;
}

extern "C" int closex(Xheap **xp) {
    Xheap *x = *xp;
    if (x == nullptr) return 0;
    int result = x->data != nullptr ? munmap(x->data, static_cast<std::size_t>(x->size)) : 0;
    freearr(x->heap, free_entry);
    freetbl(x->free, free_entry);
    std::free(x->filename);
    std::free(x);
    *xp = nullptr;
    return result;
}

extern "C" int putx(Xheap *x, char *name_in, char *data_in, int ndata) {
    if (name_in == nullptr || ndata < 0 || (ndata > 0 && data_in == nullptr)) return -1;
    int64_t required64 = reqx(name_in, ndata);
    if (required64 > INT32_MAX) return -1;
    const int required = static_cast<int>(required64);
    // The name may be one lent by this heap and the data may lie in its
    // mapping: both can move or go away below.
    const std::string name(name_in);
    std::vector<char> held;
    const char *data = data_in;
    if (ndata > 0 && data_in >= x->data && data_in < x->data + x->size) {
        held.assign(data_in, data_in + ndata);
        data = held.data();
    }

    auto *old = static_cast<Xentry *>(getarr(x->heap, name.c_str()));
    if (old != nullptr && ndata <= old->size - required) {
        write_block(old, name.c_str(), data, ndata);
        return 0;
    }
    if (old != nullptr) {
        // The old value goes only once the new one is sure of a place: when
        // freeing it still leaves no fitting block and the file would grow,
        // the file is grown first.
        int64_t largest;
        int64_t total = free_total(x, &largest) + old->size;
        bool fits = largest >= required || merged_size(x, old) >= required;
        if (!fits && total <= 10 * static_cast<int64_t>(required)) {
            if (expandx(x, required) != 0) return -1;
            old = static_cast<Xentry *>(getarr(x->heap, name.c_str()));
        }
        delx(x, const_cast<char *>(name.c_str()));
    }
    Xentry *e = spacex(x, required);
    if (e == nullptr) return -1;
    write_block(e, name.c_str(), data, ndata);
    setarr(x->heap, e->name, e);
    return 0;
}

extern "C" int getx(Xheap *x, char *name, char **data, int *ndata, int *datasize) {
    auto *e = static_cast<Xentry *>(getarr(x->heap, name));
    if (e == nullptr) return -1;
    if (e->ndata > *datasize) {
        if (*datasize != 0) std::free(*data);
        *data = static_cast<char *>(BASALT_MALLOC(static_cast<std::size_t>(e->ndata), "*data"));
        *datasize = e->ndata;
    }
    if (e->ndata > 0) std::memcpy(*data, e->data, static_cast<std::size_t>(e->ndata));
    *ndata = e->ndata;
    return 0;
}

extern "C" void delx(Xheap *x, char *name) {
    auto *e = static_cast<Xentry *>(delarr(x->heap, name));
    if (e != nullptr) release(x, e);
}

extern "C" Tbl *namesx(Xheap *x) { return keysarr(x->heap); }

extern "C" Xentry *unusedx(Xheap *x, int required, int *freebytes) {
    int64_t total = 0;
    for (int i = 0; i < maxtbl(x->free); i++) {
        auto *f = static_cast<Xentry *>(gettbl(x->free, i));
        total += f->size;
        if (f->size < required) continue;
        if (f->size > required + kHeader) {
            Xentry *rest = new_entry(f->block + required, f->size - required);
            free_header(rest->block, rest->size);
            settbl(x->free, i, rest);
            f->size = required;
            host2hdr(Xhdr{required, 0, 0, 0}, f->block);
        } else {
            deltbl(x->free, i);
        }
        *freebytes = 0;
        return f;
    }
    *freebytes = static_cast<int>(std::min<int64_t>(total, INT32_MAX));
    return nullptr;
}

extern "C" Xentry *spacex(Xheap *x, int required) {
    int freebytes;
    if (Xentry *e = unusedx(x, required, &freebytes)) return e;
    if (freebytes <= 10 * static_cast<int64_t>(required)) {
        if (expandx(x, required) != 0) return nullptr;
    } else {
        collapsex(x);
    }
    return unusedx(x, required, &freebytes);
}

extern "C" void collapsex(Xheap *x) {
    Tbl *used = valsarr(x->heap);
    sorttbl(used, byaddress, nullptr);
    char *place = x->data;
    Xentry *last = nullptr;
    for (int i = 0; i < maxtbl(used); i++) {
        auto *e = static_cast<Xentry *>(gettbl(used, i));
        if (e->block > place) std::memmove(place, e->block, static_cast<std::size_t>(e->size));
        e->block = place;
        place += e->size;
        last = e;
    }
    freetbl(used, nullptr);
    int rest = static_cast<int>(x->data + x->size - place);
    if (rest >= kHeader) {
        free_header(place, rest);
    } else if (rest > 0 && last != nullptr) {
        // Too little for a header of its own: the last block keeps it.
        set_size(last->block, last->size + rest);
    }
    forget_blocks(x);
    assimilatex(x);
}

extern "C" int expandx(Xheap *x, int required) {
    const int64_t old = x->size;
    const int64_t grown = std::max(old + 2 * static_cast<int64_t>(required), 2 * old);
    if (grown > INT32_MAX) {
        errno = EFBIG;
        elog_log(1, "Failed to seek to end of new file '%s'\n", x->filename);
        return -1;
    }
    int fd = open(x->filename, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        elog_log(1, "Can't create new file '%s'\n", x->filename);
        return -1;
    }
    // The disk space is reserved before the mapping reaches it, so a full
    // disk is reported here and never met as a fault on a mapped page.
    int err = posix_fallocate(fd, old, grown - old);
    void *p = MAP_FAILED;
    if (err != 0) {
        errno = err;
        elog_log(1, "Failed to write byte at end of new file '%s'\n", x->filename);
    } else {
        p = mmap(nullptr, static_cast<std::size_t>(grown), PROT_READ | PROT_WRITE, MAP_SHARED,
                 fd, 0);
        if (p == MAP_FAILED) elog_log(1, "Can't map file %s\n", x->filename);
    }
    if (p == MAP_FAILED) {
        int saved = errno;
        if (ftruncate(fd, old) != 0) errno = saved;
        close(fd);
        return -1;
    }
    close(fd);
    free_header(static_cast<char *>(p) + old, static_cast<int>(grown - old));
    munmap(x->data, static_cast<std::size_t>(old));
    x->data = static_cast<char *>(p);
    x->size = static_cast<int>(grown);
    forget_blocks(x);
    assimilatex(x);
    return 0;
}

extern "C" int verifyx(Xheap *x, int flag) {
    int faults = 0;
    const char *end = x->data;
    int64_t total = 0;
    for (Xentry *e : all_blocks(x)) {
        if (flag) show_entry(nullptr, e, 1);
        if (e->block != end) {
            elog_log(0, "unreferenced space before %x\n", shown(e->block));
            faults++;
        }
        bool used = getarr(x->heap, e->name ? e->name : "") == e;
        if (used && (e->name == nullptr || *e->name == 0)) {
            elog_log(0, "no name for entry at %x", shown(e->block));
            faults++;
        }
        if (!used && e->name != nullptr && *e->name != 0) {
            elog_log(0, "free entry at %x has name", shown(e->block));
            faults++;
        }
        if (used && e->name != nullptr && reqx(e->name, e->ndata) > e->size)
            elog_log(0, "too much data (%d bytes) for size (%d bytes)", e->ndata, e->size);
        end = e->block + e->size;
        total += e->size;
    }
    if (total != x->size)
        elog_log(0, "sum of entry bytes (%d) != file size (%d)", static_cast<int>(total), x->size);
    return faults;
}

extern "C" void showx(FILE *file, Xheap *x, int flag) {
    int64_t total = 0;
    for (Xentry *e : all_blocks(x)) {
        show_entry(file, e, flag);
        total += e->size;
    }
    std::fprintf(file, "\nTotal = %d bytes\n\n", static_cast<int>(total));
}

extern "C" void showlist(char *msg, Tbl *list) {
    std::printf("\n%s\n", msg);
    for (int i = 0; i < maxtbl(list); i++)
        show_entry(stdout, static_cast<Xentry *>(gettbl(list, i)), 1);
    std::printf("\n");
}
