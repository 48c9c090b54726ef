// ringfill: writes test packets into a segment directory (made when
// missing), for the tests and the demo.
//
//   ringfill [-n count] [-s size] [-t start] [-i interval] [-w seconds] dir source...
//
// Writes count packets (default 100) of size bytes (default 512), one
// source after the other in turn, their times start (default 1700000000)
// plus interval (default 1) seconds apart. With -w it waits that many
// seconds between packets (a live writer).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "basalt.h"
#include "torvik.h"

int main(int argc, char **argv) {
    elog_init(argc, argv);
    long count = 100;
    int size = 512;
    double start = 1700000000.0, interval = 1.0, wait = 0.0;
    int c;
    while ((c = getopt(argc, argv, "n:s:t:i:w:")) != -1) {
        switch (c) {
            case 'n': count = std::atol(optarg); break;
            case 's': size = std::atoi(optarg); break;
            case 't': start = std::atof(optarg); break;
            case 'i': interval = std::atof(optarg); break;
            case 'w': wait = std::atof(optarg); break;
            default:
                std::fprintf(stderr, "Usage: ringfill [-n count] [-s size] [-t start] [-i interval] "
                                     "[-w seconds] dir source...\n");
                return 1;
        }
    }
    if (argc - optind < 2 || size < 0) return 1;
    // A segment directory, made when missing (a path that is not a
    // directory would be written as a single packet file).
    if (makedir(argv[optind]) != 0) return 1;
    const int orb = torvikopen(argv[optind], const_cast<char *>("b"));
    if (orb < 0) return 1;
    std::vector<char> body(static_cast<size_t>(size));
    const int nsources = argc - optind - 1;
    for (long i = 0; i < count; i++) {
        for (int b = 0; b < size; b++) body[static_cast<size_t>(b)] = static_cast<char>(i * 31 + b);
        char *source = argv[optind + 1 + i % nsources];
        if (torvikput(orb, source, start + static_cast<double>(i) * interval, body.data(), size) != 0)
            return 1;
        if (wait > 0) usleep(static_cast<useconds_t>(wait * 1e6));
    }
    return torvikclose(orb) == 0 ? 0 : 1;
}
