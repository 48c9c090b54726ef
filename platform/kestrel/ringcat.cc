// ringcat: reads packets from a ring-buffer server and prints one line per
// packet: its id, source name, time (epoch seconds) and size in bytes.
//
//   ringcat [-o | -N | -a time] [-s select] [-r reject] [-n count] [-l]
//           [-S signer] ring
//
// -o starts at the oldest packet (the default), -N at the newest, -a at the
// first packet after the time; -s and -r select and reject sources; -n
// stops after that many packets, -l after the newest packet present at the
// start; -S opens the ring signed by the signing daemon under the signer.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "basalt.h"
#include "kestrel.h"
#include "kitbag.h"

namespace {

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "Usage: %s [-o | -N | -a time] [-s select] [-r reject] [-n count] [-l] "
                 "[-S signer] ring\n",
                 Program_Name);
    std::exit(1);
}

}  // namespace

int main(int argc, char **argv) {
    elog_init(argc, argv);
    int start = ORBOLDEST;
    char *after = nullptr;
    char *select = nullptr;
    char *reject = nullptr;
    char *signer = nullptr;
    long count = 0;
    bool last = false;
    int c;
    while ((c = getopt(argc, argv, "+oNa:s:r:n:lS:")) != -1) {
        switch (c) {
            case 'o': start = ORBOLDEST; break;
            case 'N': start = ORBNEWEST; break;
            case 'a': after = optarg; break;
            case 's': select = optarg; break;
            case 'r': reject = optarg; break;
            case 'n': count = std::atol(optarg); break;
            case 'l': last = true; break;
            case 'S': signer = optarg; break;
            default: usage();
        }
    }
    if (argc - optind != 1) usage();
    char *ring = argv[optind];

    const int orb = signer != nullptr ? orbsignedopen(ring, const_cast<char *>("r"), signer)
                                      : orbopen(ring, const_cast<char *>("r"));
    if (orb < 0) elog_die(0, "Can't open ring '%s'\n", ring);

    if (select != nullptr && orbselect(orb, select) < 0)
        elog_die(0, "select '%s' refused\n", select);
    if (reject != nullptr && orbreject(orb, reject) < 0)
        elog_die(0, "reject '%s' refused\n", reject);
    // With -l the end is the newest packet that passes the selection.
    const int newest = last ? orbseek(orb, ORBNEWEST) : 0;
    const int landed = after != nullptr ? orbafter(orb, str2epoch(after)) : orbseek(orb, start);
    if (newest < 0 || landed < 0) {
        orbclose(orb);
        return 0;
    }

    int pktid = 0, nbytes = 0, bufsize = 0;
    char srcname[64];
    double time = 0.0;
    char *packet = nullptr;
    long seen = 0;
    while ((count <= 0 || seen < count) &&
           orbreap(orb, &pktid, srcname, &time, &packet, &nbytes, &bufsize) == 0) {
        std::printf("%d %s %.5f %d\n", pktid, srcname, time, nbytes);
        std::fflush(stdout);
        seen++;
        if (last && pktid >= newest) break;
    }
    std::free(packet);
    orbclose(orb);
    return 0;
}
