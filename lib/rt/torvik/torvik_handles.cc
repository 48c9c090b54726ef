// Handles: the process-wide table of open handles, opening and closing,
// and selection of packets by source name.
#include "_torvik.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "alloc_private.h"
#include "elog.h"
#include "fdio.h"
#include "filetests.h"
#include "input_private.h"
#include "pattern_cost_private.h"

namespace {

// Records by handle id; ids start at 1 and are never given twice.
//
// Every reading call looks its handle up, from as many threads as the
// disk ring server has clients, so a lookup takes no lock: the records
// stand in chunks of 256 slots found through a directory of chunk
// pointers. Chunks never move and are never freed; a directory that has
// to grow is replaced by a larger copy and the old one kept (chained from
// the new one), so a thread still reading it reads valid memory. Pointers
// are published with release stores and read with acquire loads. The
// mutex serialises registration and removal, and so growth.
constexpr unsigned kChunkBits = 8;
constexpr std::size_t kChunkSize = std::size_t{1} << kChunkBits;

struct Chunk {
    std::atomic<Torvikfile *> slot[kChunkSize];
};

struct Directory {
    std::size_t count;           // chunks it can point to
    std::atomic<Chunk *> *chunk; // count pointers, null where none yet
    Directory *older;            // the directory it replaced, kept
};

std::mutex Torviktbl_mutex;
std::atomic<Directory *> Torviktbl{nullptr};
std::atomic<int> Id{0};  // the last id given

// The record registered under id, or null; no lock.
Torvikfile *lookup(int id) {
    if (id <= 0 || id > Id.load(std::memory_order_acquire)) return nullptr;
    const Directory *d = Torviktbl.load(std::memory_order_acquire);
    const std::size_t c = static_cast<unsigned>(id) >> kChunkBits;
    if (d == nullptr || c >= d->count) return nullptr;
    Chunk *chunk = d->chunk[c].load(std::memory_order_acquire);
    if (chunk == nullptr) return nullptr;
    return chunk->slot[static_cast<unsigned>(id) & (kChunkSize - 1)].load(std::memory_order_acquire);
}

// The slot of id, made when missing. Only under the mutex.
std::atomic<Torvikfile *> &slot_of(int id) {
    const std::size_t c = static_cast<unsigned>(id) >> kChunkBits;
    Directory *d = Torviktbl.load(std::memory_order_relaxed);
    if (d == nullptr || c >= d->count) {
        std::size_t count = d != nullptr ? d->count : 4;
        while (count <= c) count *= 2;
        auto *bigger = static_cast<Directory *>(TORVIK_MALLOC(sizeof(Directory), "Torviktbl"));
        bigger->count = count;
        bigger->older = d;
        bigger->chunk = static_cast<std::atomic<Chunk *> *>(
            TORVIK_MALLOC(count * sizeof(std::atomic<Chunk *>), "Torviktbl"));
        for (std::size_t i = 0; i < count; i++) {
            Chunk *kept = d != nullptr && i < d->count ? d->chunk[i].load(std::memory_order_relaxed)
                                                       : nullptr;
            new (&bigger->chunk[i]) std::atomic<Chunk *>(kept);
        }
        Torviktbl.store(bigger, std::memory_order_release);
        d = bigger;
    }
    Chunk *chunk = d->chunk[c].load(std::memory_order_relaxed);
    if (chunk == nullptr) {
        chunk = new (TORVIK_MALLOC(sizeof(Chunk), "Torviktbl")) Chunk();
        d->chunk[c].store(chunk, std::memory_order_release);
    }
    return chunk->slot[static_cast<unsigned>(id) & (kChunkSize - 1)];
}

Torvikfile *const kRemove = reinterpret_cast<Torvikfile *>(-1);

// Replaces the expression of one kind: NULL or "" clears it.
int set_expression(int orb, char *text, bool selection) {
    Torvikfile *atorvik = fd2torvik(orb, nullptr);
    if (atorvik == nullptr) return -1;
    char *&source = selection ? atorvik->select : atorvik->reject;
    regex_t *&program = selection ? atorvik->select_pgm : atorvik->reject_pgm;
    std::free(source);
    source = nullptr;
    if (program != nullptr) {
        regfree(program);
        std::free(program);
        program = nullptr;
    }
    if (text == nullptr || *text == '\0') return 0;
    regex_t *compiled = static_cast<regex_t *>(TORVIK_MALLOC(
        sizeof(regex_t), selection ? "atorvik->select_pgm" : "atorvik->reject_pgm"));
    const char *why;
    if (basalt::regcomp_checked(compiled, text, REG_EXTENDED, &why) != 0) {
        std::free(compiled);
        const char *kind = selection ? "selection" : "rejection";
        if (why != nullptr)
            elog_log(0, "invalid %s expression '%s': %s", kind, text, why);
        else
            elog_log(0, "invalid %s expression '%s'", kind, text);
        return -1;
    }
    source = TORVIK_STRDUP(text, selection ? "atorvik->select" : "atorvik->reject");
    program = compiled;
    return 0;
}

// True when the leftmost match of the expression covers the whole name.
bool matches_whole(const regex_t *program, const char *name) {
    regmatch_t match;
    if (regexec(program, name, 1, &match, 0) != 0) return false;
    return match.rm_so == 0 &&
           static_cast<std::size_t>(match.rm_eo) == std::strlen(name);
}

}  // namespace

extern "C" {

Torvikfile *fd2torvik(int orb, Torvikfile *atorvik) {
    if (atorvik == nullptr) return lookup(orb);
    std::lock_guard<std::mutex> lock(Torviktbl_mutex);
    if (atorvik == kRemove) {
        if (lookup(orb) != nullptr) slot_of(orb).store(nullptr, std::memory_order_release);
        return atorvik;
    }
    const int id = Id.load(std::memory_order_relaxed) + 1;
    atorvik->id = id;
    slot_of(id).store(atorvik, std::memory_order_release);
    Id.store(id, std::memory_order_release);
    return atorvik;
}

Torvikfile *torviknew(void) {
    // The record comes with the input of its current file behind it.
    auto *handle = static_cast<torvik::Handle *>(TORVIK_CALLOC(sizeof(torvik::Handle), "atorvik"));
    new (&handle->input) torvik::Input();
    Torvikfile *atorvik = &handle->record;
    atorvik->id = -1;
    atorvik->fd = -1;
    std::strcpy(atorvik->representation, "x");
    atorvik->segment_period = 3600;
    atorvik->maxsize = 2.0e9;
    atorvik->maxpkts = 400000;
    atorvik->max_segment_size = 200000000;
    atorvik->max_time_gap = 31536000;
    atorvik->maxpktid = 2147483000;
    atorvik->maxskip = 648;
    atorvik->pktid = -1;
    atorvik->index = inittbl(0, 50, 1, nullptr, static_cast<int>(sizeof(TorvikPkt)));
    return atorvik;
}

void torvikfree(Torvikfile *atorvik) {
    if (atorvik == nullptr) return;
    std::free(atorvik->dirname);
    std::free(atorvik->filename);
    if (atorvik->index != nullptr) freetbl(atorvik->index, nullptr);
    std::free(atorvik->select);
    std::free(atorvik->reject);
    if (atorvik->select_pgm != nullptr) {
        regfree(atorvik->select_pgm);
        std::free(atorvik->select_pgm);
    }
    if (atorvik->reject_pgm != nullptr) {
        regfree(atorvik->reject_pgm);
        std::free(atorvik->reject_pgm);
    }
    std::free(atorvik->packet);
    auto *handle = reinterpret_cast<torvik::Handle *>(atorvik);
    handle->input.~Input();
    std::free(handle);
}

int torvikopen(char *filename, char *representation) {
    if (filename == nullptr || representation == nullptr) return -1;
    Torvikfile *atorvik = torviknew();
    char mode = representation[0];
    if (mode != 'r') atorvik->flags.write = 1;
    if (mode != '\0' && std::strchr("abfsx", mode) != nullptr)
        torvik::copy_cut(atorvik->representation, representation,
                         sizeof atorvik->representation);

    std::unique_ptr<char, torvik::FreeDeleter> first;
    if (is_dir(filename)) {
        atorvik->dirname = TORVIK_STRDUP(filename, "atorvik->dirname");
        if (!atorvik->flags.write) first.reset(filebytime(atorvik, 0.0));
        else atorvik->maxtime = maxtime(atorvik);
        if (first == nullptr) first.reset(TORVIK_STRDUP("/dev/null", "filename"));
    } else {
        first.reset(TORVIK_STRDUP(filename, "filename"));
    }
    torvikopenfile(atorvik, first.get());
    if (atorvik->fd < 0) {
        torvikfree(atorvik);
        return -1;
    }
    fd2torvik(0, atorvik);
    if (atorvik->flags.write) {
        torvikseek(atorvik->id, ORBNEWEST);
        // A segment file that holds no packet yet still names the id its
        // first packet takes.
        if (atorvik->dirname != nullptr && atorvik->pktid < atorvik->first_pktid - 1)
            atorvik->pktid = atorvik->first_pktid - 1;
        torvik::to_end(atorvik);
        atorvik->flags.newsegment = 1;
        atorvik->pktid++;
    }
    return atorvik->id;
}

int torvikclose(int orb) {
    Torvikfile *atorvik = fd2torvik(orb, nullptr);
    if (atorvik == nullptr) return -1;
    if (atorvik->dirname != nullptr && atorvik->flags.written) finish_segment(atorvik);
    fd2torvik(orb, kRemove);
    int fd = atorvik->fd;
    torvikfree(atorvik);
    return fd >= 0 ? fdclose(fd) : 0;
}

int torvikfd(int orb) {
    Torvikfile *atorvik = fd2torvik(orb, nullptr);
    return atorvik == nullptr ? -1 : atorvik->fd;
}

int torviktell(int orb) {
    Torvikfile *atorvik = fd2torvik(orb, nullptr);
    return atorvik == nullptr ? -1 : atorvik->pktid;
}

int torvikselect(int orb, char *select) { return set_expression(orb, select, true); }

int torvikreject(int orb, char *reject) { return set_expression(orb, reject, false); }

int selected(Torvikfile *atorvik, char *srcname) {
    if (atorvik->select_pgm != nullptr && !matches_whole(atorvik->select_pgm, srcname))
        return 0;
    if (atorvik->reject_pgm != nullptr && matches_whole(atorvik->reject_pgm, srcname))
        return 0;
    return 1;
}

}  // extern "C"
