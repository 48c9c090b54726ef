// ringcompare: lists the packets of a copy of a ring the way ringcat lists
// a ring (id, source, time, bytes) and says whether they are byte for byte
// the packets of the source, for the demo and the installation check.
//
//   ringcompare source-dir copy-dir
//
// Exits 0 when the copy holds every packet of the source once, in order,
// with the same source name, time and bytes; 1 when it does not; 2 when a
// directory can't be read.
#include <cstdio>
#include <string>
#include <vector>

#include "basalt.h"
#include "torvik_testing.h"

namespace {

// Every packet of a packet file or segment directory, in order; false when
// it can't be opened.
bool read_packets(const char *path, std::vector<torvik_testing::Got> *packets) {
    torvik_testing::Reader reader(path);
    if (reader.id() < 0) return false;
    for (;;) {
        torvik_testing::Got got = reader.reap();
        if (got.result != 0) return true;
        packets->push_back(std::move(got));
    }
}

}  // namespace

int main(int argc, char **argv) {
    elog_init(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "Usage: ringcompare source-dir copy-dir\n");
        return 2;
    }
    std::vector<torvik_testing::Got> source, copy;
    for (int i = 1; i <= 2; i++)
        if (!read_packets(argv[i], i == 1 ? &source : &copy)) {
            std::fprintf(stderr, "ringcompare: can't read '%s'\n", argv[i]);
            return 2;
        }
    for (const torvik_testing::Got &p : copy)
        std::printf("%d %s %.5f %zu\n", p.pktid, p.src.c_str(), p.time, p.body.size());

    for (std::size_t i = 0; i < source.size() && i < copy.size(); i++) {
        const torvik_testing::Got &s = source[i], &c = copy[i];
        if (s.src != c.src || s.time != c.time || s.body != c.body) {
            std::printf("the copy differs from the source at its packet %zu: %s %.5f %zu bytes "
                        "in the source, %s %.5f %zu bytes in the copy\n",
                        i + 1, s.src.c_str(), s.time, s.body.size(), c.src.c_str(), c.time,
                        c.body.size());
            return 1;
        }
    }
    if (source.size() != copy.size()) {
        std::printf("the copy differs from the source: %zu packets in the source, %zu in the copy\n",
                    source.size(), copy.size());
        return 1;
    }
    std::printf("the copy's %zu packets are byte for byte the source's\n", copy.size());
    return 0;
}
