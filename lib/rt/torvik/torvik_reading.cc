// Reading a handle packet by packet across segment files, and positioning
// it by code, packet id and time.
#include "_torvik.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "alloc_private.h"
#include "calendar.h"
#include "fdio.h"
#include "filetests.h"
#include "header_private.h"
#include "input_private.h"
#include "kitbag.h"

namespace {

using Owned = std::unique_ptr<char, torvik::FreeDeleter>;

bool same_path(const char *a, const char *b) {
    return a != nullptr && b != nullptr && std::strcmp(a, b) == 0;
}

TorvikPkt *index_entry(Torvikfile *atorvik, int slot) {
    if (slot < 0 || slot >= maxtbl(atorvik->index)) return nullptr;
    return static_cast<TorvikPkt *>(gettbl(atorvik->index, slot));
}

// Whether the current packet passes the selection; without expressions
// every packet does, and no call is made.
bool passes(Torvikfile *atorvik) {
    return (atorvik->select_pgm == nullptr && atorvik->reject_pgm == nullptr) ||
           selected(atorvik, atorvik->srcname) != 0;
}

}  // namespace

extern "C" {

int torviknext(Torvikfile *atorvik, int advance) {
    bool follows_files = atorvik->dirname != nullptr && advance != 0;
    long fpos = 0;
    char representation[16];
    torvik::SourceName srcname{};
    double time = 0.0;
    int nbytes = 0;
    for (;;) {
        int result = torvik::read_plain_header(atorvik, &fpos, representation, srcname, &time,
                                               &nbytes)
                         ? 0
                         : torvik_read_hdr(atorvik, &fpos, representation, srcname, &time,
                                           &nbytes);
        if (result != 0) {
            if (!follows_files) return -1;
            Owned next(nextfile(atorvik));
            if (same_path(next.get(), atorvik->filename)) return -1;
            // A newer file exists: the writer has finished this one, so
            // first take whatever it appended here since the last read.
            result = torvik_read_hdr(atorvik, &fpos, representation, srcname, &time, &nbytes);
            if (result != 0) {
                if (torvikopenfile(atorvik, next.get()) != 0) return -1;
                continue;
            }
        }
        if (torvik::is_marker(srcname)) {
            if (follows_files && advancefile(atorvik) == 0) continue;
            return -1;
        }
        break;
    }
    atorvik->pktid++;
    if (atorvik->flags.verbose > 0)
        std::fprintf(stderr, "#%d %s %.5f\n", atorvik->pktid, srcname, time);
    // A raw body that the input holds whole is taken here; any other body
    // is read_body's.
    int result;
    if (representation[0] == 'b' && nbytes > 0 && nbytes <= atorvik->bufsize &&
        torvik::Input::of(atorvik).take_held(atorvik->packet, nbytes)) {
        atorvik->nbytes = nbytes;
        result = 0;
    } else {
        result = torvik::read_body(atorvik, representation, srcname, time, nbytes);
    }

    torvik::store_entry(atorvik, fpos, time, srcname);

    if (atorvik->tdelta == 0.0) atorvik->tdelta = std_now() - time - 0.5;
    if (atorvik->flags.synchronous) {
        wait_for_time(time + atorvik->tdelta, 0);
        if (atorvik->flags.current) time += atorvik->tdelta;
    }
    atorvik->time = time;
    std::memcpy(atorvik->srcname, srcname, sizeof atorvik->srcname);
    atorvik->srcname[sizeof atorvik->srcname - 1] = '\0';
    return result;
}

int pktseek(Torvikfile *atorvik, int pktid) {
    long long wanted = static_cast<long long>(pktid) - atorvik->first_pktid;
    if (wanted == -1) wanted = 0;
    int entries = maxtbl(atorvik->index);
    if (wanted >= 0 && wanted < entries) {
        TorvikPkt *entry = index_entry(atorvik, static_cast<int>(wanted));
        if (torvik::Input::of(atorvik).seek(entry->fpos, false) < 0) return -1;
        atorvik->pktid = entry->pktid - 1;
        return torviknext(atorvik, 1);
    }
    if (wanted == 0 && entries == 0) return torviknext(atorvik, 1);
    return -1;
}

int advance2pktid(Torvikfile *atorvik, int pktid) {
    long long last = static_cast<long long>(atorvik->first_pktid) + maxtbl(atorvik->index) - 1;
    if (pktid >= 0 && pktid <= last) return pktseek(atorvik, pktid);
    while (atorvik->pktid != pktid)
        if (torviknext(atorvik, 0) != 0) return -1;
    return 0;
}

int torviknext_selected(Torvikfile *atorvik) {
    for (;;) {
        int result = torviknext(atorvik, 1);
        if (result != 0) return result;
        if (selected(atorvik, atorvik->srcname)) return 0;
    }
}

int torvikprev_selected(Torvikfile *atorvik) {
    for (;;) {
        if (atorvik->pktid > atorvik->first_pktid) {
            if (pktseek(atorvik, atorvik->pktid - 1) != 0) return -1;
            if (selected(atorvik, atorvik->srcname)) return 0;
            continue;
        }
        Owned earlier(filebypktid(atorvik, atorvik->first_pktid - 1));
        // No earlier file, or only this one again (a file never holds the
        // id before its own first).
        if (earlier == nullptr || same_path(earlier.get(), atorvik->filename)) {
            atorvik->pktid = atorvik->first_pktid - 1;
            return -1;
        }
        if (torvikopenfile(atorvik, earlier.get()) != 0) return -1;
        int newest = torvik_newest(atorvik);
        // Just after its newest packet; a file without one leads on to the
        // file before it.
        atorvik->pktid = newest >= atorvik->first_pktid ? newest + 1 : atorvik->first_pktid;
    }
}

int torvikseek(int orb, int which) {
    Torvikfile *atorvik = fd2torvik(orb, nullptr);
    if (atorvik == nullptr) return -1;
    int result;
    switch (which) {
    case ORBCURRENT:
        return atorvik->pktid;
    case ORBNEXT:
        if (atorvik->pktid == -1) {
            result = pktseek(atorvik, atorvik->first_pktid);
            if (result == 0 && !selected(atorvik, atorvik->srcname))
                result = torviknext_selected(atorvik);
        } else {
            result = torviknext_selected(atorvik);
        }
        break;
    case ORBPREV:
        result = torvikprev_selected(atorvik);
        break;
    case ORBOLDEST:
        atorvik->flags.verbose = verbose_exists() ? 1 : 0;
        if (atorvik->dirname != nullptr) {
            Owned oldest(filebytime(atorvik, 0.0));
            if (oldest == nullptr || torvikopenfile(atorvik, oldest.get()) != 0) return -1;
            result = maxtbl(atorvik->index) > 0 ? pktseek(atorvik, atorvik->first_pktid)
                                                : torviknext(atorvik, 1);
        } else {
            result = pktseek(atorvik, atorvik->first_pktid);
        }
        if (result == 0 && !selected(atorvik, atorvik->srcname))
            result = torviknext_selected(atorvik);
        break;
    case ORBNEWEST:
        if (atorvik->dirname != nullptr) {
            Owned newest(filebytime(atorvik, 1.0e35));
            if (newest == nullptr || torvikopenfile(atorvik, newest.get()) != 0) return -1;
            atorvik->pktid = torvik_newest(atorvik);
            result = pktseek(atorvik, atorvik->pktid);
        } else {
            result = pktseek(atorvik, atorvik->first_pktid + maxtbl(atorvik->index) - 1);
        }
        if (result == 0 && !selected(atorvik, atorvik->srcname))
            result = torvikprev_selected(atorvik);
        break;
    default: {
        if (which < 0) return -1;
        Owned path(filebypktid(atorvik, which));
        if (path == nullptr || torvikopenfile(atorvik, path.get()) != 0) return -1;
        result = advance2pktid(atorvik, which);
        break;
    }
    }
    return result == 0 ? atorvik->pktid : -1;
}

int torvikafter(int orb, double time) {
    Torvikfile *atorvik = fd2torvik(orb, nullptr);
    if (atorvik == nullptr) return -1;
    Owned path(filebytime(atorvik, time));
    if (path == nullptr || torvikopenfile(atorvik, path.get()) != 0) return -1;
    for (int slot = 0; slot < maxtbl(atorvik->index); slot++) {
        TorvikPkt *entry = index_entry(atorvik, slot);
        if (entry->time > time && selected(atorvik, entry->srcname))
            return pktseek(atorvik, entry->pktid) == 0 ? atorvik->pktid : -1;
    }
    for (;;) {
        if (torviknext(atorvik, 1) != 0) return -1;
        if (atorvik->time > time && selected(atorvik, atorvik->srcname)) return atorvik->pktid;
    }
}

int torvik_copy_packet(Torvikfile *atorvik, int *pktid, char *srcname, double *time,
                       char **packet, int *nbytes, int *bufsize) {
    *pktid = atorvik->pktid;
    // A name of a few characters, just stored: copied in place rather
    // than by a call (whose wide loads would wait for those stores).
    for (std::size_t i = 0; (srcname[i] = atorvik->srcname[i]) != '\0'; i++) {
    }
    *time = atorvik->time;
    int length = atorvik->nbytes > 0 ? atorvik->nbytes : 0;
    if (length > *bufsize) {
        if (*bufsize != 0) std::free(*packet);
        *packet = static_cast<char *>(TORVIK_MALLOC(static_cast<std::size_t>(length), "*packet"));
        *bufsize = length;
    }
    if (length > 0) std::memcpy(*packet, atorvik->packet, static_cast<std::size_t>(length));
    *nbytes = length;
    return 0;
}

int torvikget(int orb, int which, int *pktid, char *srcname, double *time, char **packet,
              int *nbytes, int *bufsize) {
    Torvikfile *atorvik = fd2torvik(orb, nullptr);
    if (atorvik == nullptr) {
        *pktid = -1;
        return -1;
    }
    if (which == ORBCURRENT) {
        if (atorvik->pktid < 0) {
            *pktid = -1;
            return -1;
        }
    } else if (torvikseek(orb, which) < 0) {
        *pktid = -1;
        return -1;
    }
    return torvik_copy_packet(atorvik, pktid, srcname, time, packet, nbytes, bufsize);
}

int torvikreap(int orb, int *pktid, char *srcname, double *time, char **packet, int *nbytes,
               int *bufsize) {
    Torvikfile *atorvik = fd2torvik(orb, nullptr);
    if (atorvik == nullptr) return -1;
    int result;
    for (;;) {
        result = torviknext(atorvik, 1);
        if (result != 0) break;
        if (passes(atorvik)) {
            torvik_copy_packet(atorvik, pktid, srcname, time, packet, nbytes, bufsize);
            break;
        }
    }
    *pktid = atorvik->pktid;
    return result;
}

}  // extern "C"
