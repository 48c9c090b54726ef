// spillway: copies packets from a ring-buffer server into a segment
// directory on local disk.
//
//   spillway [-b secs] [-m match] [-n count] [-N pkts] [-p period]
//            [-r reject] [-s size] [-v] [-V] ring directory [start-time [stop]]
//
// The position of the last packet written is kept in the state file
// "state" of the target directory, so that a restart goes on after it.
// Single-threaded; the state file's signal handling saves the position
// when a termination signal finds the program waiting for a packet.
#include "spillway.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "basalt.h"
#include "gannet.h"
#include "kestrel.h"
#include "kitbag.h"
#include "torvik.h"

int Decent_interval = 1;

namespace {

constexpr char kRevision[] = "$Revision: 1.9 $";
constexpr char kStartNote[] = "%s : $Revision: 1.9 $ $Date: 2006/09/13 04:56:33 $\n";
constexpr double kDefaultSize = 1000000000.0;
constexpr int kDefaultPeriod = 3600;
constexpr double kMostReserve = 100000000.0;
// Seconds a signalled program has to finish before its state is saved for it.
constexpr int kSignalGrace = 1;
// How far before the first packet to copy the saved position stands until a
// packet is written: a restart then finds that packet again by its time.
constexpr double kBeforeFirst = 0.01;
constexpr int kShowMode = 4;

Ringhold Ring;
Orbdisk Disk;

// The position the state file keeps: the last packet actually written to
// the directory. A packet received but not written is never saved as
// copied, so a restart copies it again.
struct Written {
    int pktid;
    double time;
};
Written Copied = {-1, 0.0};

// The stop flag is set from the state file's signal handling.
int quit_now() { return std::atomic_ref<int>(Ring.quit).load(std::memory_order_relaxed); }
void set_quit(int value) { std::atomic_ref<int>(Ring.quit).store(value, std::memory_order_relaxed); }

// Time texts of the formatters, freed after use.
struct Text {
    explicit Text(char *s) : s(s) {}
    ~Text() { std::free(s); }
    Text(const Text &) = delete;
    Text &operator=(const Text &) = delete;
    const char *c_str() const { return s != nullptr ? s : ""; }
    char *s;
};

// The id at which a copy with "last" ends: the newest packet id present now
// or, with a selection or rejection, the newest of those that pass it at or
// before that id (so that the end is reached even when the newest packet
// itself is left out). -1 when the ring has no packet now; *nothing is set
// when packets are present but none passes the selection.
int last_pktid(const Ringhold *ring, int *second, bool *nothing) {
    *nothing = false;
    *second = orbopen(ring->orbname, const_cast<char *>("r"));
    if (*second < 0) return -1;
    const int newest = orbseek(*second, ORBNEWEST);
    if (newest < 0 || (ring->match == nullptr && ring->reject == nullptr)) return newest;
    if ((ring->match != nullptr && orbselect(*second, ring->match) < 0) ||
        (ring->reject != nullptr && orbreject(*second, ring->reject) < 0))
        return newest;
    int end = orbseek(*second, ORBNEWEST);
    while (end > newest) end = orbseek(*second, ORBPREV);
    if (end < 0) *nothing = true;
    return end;
}

double elapsed_rate(double amount, double seconds) { return seconds > 0 ? amount / seconds : 0.0; }

}  // namespace

extern "C" {

void usage(void) {
    banner(Program_Name, const_cast<char *>(kRevision));
    std::fprintf(stderr,
                 "Usage: %s [-b bury-interval] [-m match] [-r reject] [-p period] [-s size] "
                 "orb directory [start-time [stop]]\n",
                 Program_Name);
    std::exit(1);
}

Ringhold *open_ringhold(char *orbname, char *statefile, char *match, char *reject, double after) {
    Ringhold *ring = &Ring;
    std::memset(ring, 0, sizeof *ring);
    ring->orbname = strdup(orbname);
    ring->orb = orbopen(orbname, const_cast<char *>("r&"));
    if (ring->orb < 0) elog_die(0, "Can't open input '%s'\n", orbname);

    bool positioned = false;
    bool resurrected = false;
    if (statefile != nullptr) {
        ring->statefile = strdup(statefile);
        const int found = exhume(statefile, &ring->quit, kSignalGrace, nullptr);
        if (found == 1 || found == 2) elog_notify(0, "read old state file\n");
        if (found < 0) elog_complain(1, "can't open state file '%s'\n", statefile);
        if (orbresurrect(ring->orb, &Copied.pktid, &Copied.time) == 0) {
            Text when(strtime(Copied.time));
            elog_notify(0, "resurrection successful: repositioned to pktid #%d @ %s\n",
                        Copied.pktid, when.c_str());
            positioned = resurrected = true;
        } else {
            elog_complain(0, "resurrection unsuccessful\n");
        }
    }
    if (after != 0.0) {
        if (positioned) {
            Text when(strydtime(after));
            elog_complain(0, "ignoring time '%s' from command line", when.c_str());
        } else if (orbafter(ring->orb, after) < 0) {
            Text when(strtime(after));
            elog_complain(1, "seek to %s failed\n", when.c_str());
        } else {
            positioned = true;
        }
    }
    if (!positioned) orbseek(ring->orb, ORBOLDEST);
    if (match != nullptr) {
        ring->match = strdup(match);
        const int result = orbselect(ring->orb, ring->match);
        if (result < 0) elog_complain(1, "select '%s' returned %d\n", match, result);
    }
    if (reject != nullptr) {
        ring->reject = strdup(reject);
        const int result = orbreject(ring->orb, ring->reject);
        if (result < 0) elog_complain(1, "select '%s' returned %d\n", reject, result);
    }
    const bool current = orbget(ring->orb, ORBCURRENT, &ring->pktid, ring->srcname, &ring->time,
                                &ring->packet, &ring->nbytes, &ring->bufsize) == 0;
    Text when(strtime(ring->time));
    std::printf("starting pktid is #%d %s %s\n", ring->pktid, ring->srcname, when.c_str());
    std::fflush(stdout);
    if (!resurrected) {
        // Nothing written yet: a save before the first packet is written
        // must bring a restart back to this starting packet, never past it.
        Copied.pktid = -1;
        Copied.time = current ? ring->time - kBeforeFirst : std::max(after - kBeforeFirst, 0.0);
    }
    return ring;
}

Orbdisk *open_orbdisk(char *directory, double maxsize, int period, Flags flags) {
    Orbdisk *disk = &Disk;
    std::memset(disk, 0, sizeof *disk);
    disk->directory = strdup(directory);
    disk->period = period;
    if (!is_present(directory) && makedir(directory) != 0)
        elog_die(1, "Failed to create directory '%s'", directory);
    if (!is_dir(directory)) elog_die(0, "no directory '%s'", directory);
    disk->out = torvikopen(directory, const_cast<char *>("b"));
    if (disk->out < 0) elog_die(0, "Can't open orb disk directory %s", directory);
    if (torvikcorrect(disk->out) != 0) elog_complain(0, "Some problems in %s disk buffers", directory);

    InfoPath *info = infopath(directory);
    if (info == nullptr) elog_die(1, "couldn't get filesystem size for %s", directory);
    const double available = info->avail;
    std::free(info);
    const double reserve = std::min(available / 10.0, kMostReserve);
    disk->maxtotal = maxsize != 0.0 ? maxsize : available - reserve;

    Tbl *files = nullptr;
    torvikstat(disk->out, &files, &disk->total);
    const long nfiles = files != nullptr ? maxtbl(files) : 0;
    if (files != nullptr) freetbl(files, std::free);
    torvikset(disk->out, TORVIK_SEGMENT_PERIOD, disk->period, TORVIK_MAXSIZE, disk->maxtotal,
              TORVIK_VERBOSE, static_cast<int>(flags.verbose), 0);
    elog_notify(0,
                "\nDisk files\n  %s  (%d segment files currently)\n"
                "   Current size      = %8.1f Mbytes\n   Max size          = %8.1f Mbytes\n"
                "   Available         = %8.1f Mbytes\n",
                directory, static_cast<int>(nfiles), mbytes(disk->total), mbytes(disk->maxtotal),
                mbytes(available));
    if (disk->maxtotal - disk->total > available)
        elog_die(0, "need %.3f more Mbytes space than is available",
                 mbytes(disk->maxtotal - disk->total - available));
    return disk;
}

int copy_packets(Ringhold *ring, Orbdisk *disk, double until, Flags flags) {
    const double started = std_now();
    int second = -1;
    int end = -1;
    if (flags.to_lastpkt) {
        bool nothing = false;
        end = last_pktid(ring, &second, &nothing);
        // The connection stands on a packet it is about to deliver, or just
        // after the saved one: past the end already means nothing to copy.
        const bool after_current = ring->pktid == Copied.pktid;
        if (nothing || (end >= 0 && (ring->pktid > end || (after_current && ring->pktid >= end))))
            set_quit(1);
    }

    double npkts = 0, nbytes = 0;
    double last_save = 0.0;
    int failed = 0;
    while (quit_now() == 0) {
        if (ring->maxpkts > 0 && npkts >= ring->maxpkts) {
            set_quit(1);
            break;
        }
        if (ring->time - last_save > Decent_interval) {
            bury();
            last_save = std::min(std_now(), ring->time);
        }
        const int got = orbreap(ring->orb, &ring->pktid, ring->srcname, &ring->time, &ring->packet,
                                &ring->nbytes, &ring->bufsize);
        if (got == -1) {
            set_quit(-1);
        } else if (got == 0) {
            if (torvikput(disk->out, ring->srcname, ring->time, ring->packet, ring->nbytes) != 0) {
                elog_complain(1, "Couldn't write packet\n");
                set_quit(1);
                failed = 1;
            } else {
                Copied.pktid = ring->pktid;
                Copied.time = ring->time;
                npkts++;
                nbytes += ring->nbytes;
                if (flags.verbose)
                    showPkt(ring->pktid, ring->srcname, ring->time, ring->packet, ring->nbytes,
                            stderr, kShowMode);
            }
        }
        if (until > 0.0 && ring->time >= until) set_quit(1);
        if (end >= 0 && ring->pktid >= end) set_quit(1);
    }
    bury();
    const double ended = std_now();
    if (second >= 0) orbclose(second);

    const double seconds = ended - started;
    if (npkts > 0) {
        const double kb = nbytes / 1024.0;
        std::printf("\n%.0f %.0f byte packets (%.0f kbytes) in %.3f seconds\n\t%10.3f kbytes/s\n"
                    "\t%10.3f kbaud\n\t %10.3f pkts/s\n",
                    npkts, nbytes / npkts, kb, seconds, elapsed_rate(kb, seconds),
                    elapsed_rate(kb, seconds) * 8.0, elapsed_rate(npkts, seconds));
    } else {
        std::printf("\nno packets copied\n");
    }
    std::fflush(stdout);
    if (orbclose(ring->orb) != 0) elog_complain(1, "error closing read orb\n");
    if (torvikclose(disk->out) != 0) elog_complain(1, "error closing output write torvik\n");
    return failed;
}

}  // extern "C"

int main(int argc, char **argv) {
    elog_init(argc, argv);
    elog_notify(0, kStartNote, argv[0]);
    // A file-size limit makes a write fail, which is reported, rather than
    // end the program.
    signal(SIGXFSZ, SIG_IGN);

    char *match = nullptr;
    char *reject = nullptr;
    int maxpkts = 0;
    int segment_pkts = 0;
    int period = kDefaultPeriod;
    double size = kDefaultSize;
    Flags flags = {0, 0};
    int c;
    while ((c = getopt(argc, argv, "+b:m:n:N:p:r:s:vV")) != -1) {
        switch (c) {
            case 'b': Decent_interval = std::atoi(optarg); break;
            case 'm': match = optarg; break;
            case 'n': maxpkts = std::atoi(optarg); break;
            case 'N': segment_pkts = std::atoi(optarg); break;
            case 'p': period = std::atoi(optarg); break;
            case 'r': reject = optarg; break;
            case 's': size = sz2dbl(optarg); break;
            case 'v': flags.verbose = (flags.verbose + 1) & 0xf; break;
            case 'V':
            default: usage();
        }
    }
    const int operands = argc - optind;
    if (operands < 2 || operands > 4) usage();
    char *orbname = argv[optind];
    char *directory = argv[optind + 1];
    double after = 0.0, until = 0.0;
    if (operands > 2) after = str2epoch(argv[optind + 2]);
    if (operands > 3) {
        if (std::strcmp(argv[optind + 3], "last") == 0) {
            flags.to_lastpkt = 1;
        } else {
            until = str2epoch(argv[optind + 3]);
            if (until < after) until += after;
        }
    }
    char *statefile = concatpaths(directory, "state", nullptr);

    Ringhold *ring = open_ringhold(orbname, statefile, match, reject, after);
    Orbdisk *disk = open_orbdisk(directory, size, period, flags);
    if (segment_pkts > 0) torvikset(disk->out, TORVIK_MAXPKTS, segment_pkts, 0);
    if (maxpkts > 0) ring->maxpkts = maxpkts;
    if (until > 0.0) {
        Text when(strydtime(until));
        std::printf("Collecting packets until %s", when.c_str());
        std::fflush(stdout);
    }
    const int failed = copy_packets(ring, disk, until, flags);
    std::free(statefile);
    return failed;
}
