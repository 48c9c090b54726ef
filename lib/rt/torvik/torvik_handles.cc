// Handles: the process-wide table of open handles, opening and closing,
// and selection of packets by source name.
#include "_torvik.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "alloc_private.h"
#include "elog.h"
#include "fdio.h"
#include "filetests.h"

namespace {

// Records by handle id; ids start at 1 and are never given twice.
std::mutex Torviktbl_mutex;
Tbl *Torviktbl = nullptr;
int Id = 0;

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
    if (regcomp(compiled, text, REG_EXTENDED) != 0) {
        std::free(compiled);
        elog_log(0, selection ? "invalid selection expression '%s'"
                              : "invalid rejection expression '%s'",
                 text);
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
    std::lock_guard<std::mutex> lock(Torviktbl_mutex);
    if (Torviktbl == nullptr) Torviktbl = newtbl(10);
    if (atorvik == nullptr) {
        if (orb <= 0 || orb > Id) return nullptr;
        return static_cast<Torvikfile *>(gettbl(Torviktbl, orb));
    }
    if (atorvik == kRemove) {
        if (orb > 0 && orb <= Id && gettbl(Torviktbl, orb) != nullptr)
            settbl(Torviktbl, orb, nullptr);
        return atorvik;
    }
    atorvik->id = ++Id;
    settbl(Torviktbl, atorvik->id, atorvik);
    return atorvik;
}

Torvikfile *torviknew(void) {
    Torvikfile *atorvik =
        static_cast<Torvikfile *>(TORVIK_CALLOC(sizeof(Torvikfile), "atorvik"));
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
    std::free(atorvik);
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
        fdseek(atorvik->fd, 0, SEEK_END);
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
