// Fuzz target for opening crafted ring buffer and ringlet files: whatever
// bytes a file holds, opening it read-only and read-write, reading every
// record or entry, the window queries and a push must neither crash nor read
// or write outside the file.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "elog.h"
#include "rings.h"

namespace {

std::string scratch;

void setup_once() {
    if (!scratch.empty()) return;
    elog_init(0, nullptr);
    elog_set(ELOG_MAXMSG, 0, nullptr);
    elog_set(ELOG_DELIVER, 2, const_cast<char *>("/dev/null"));
    char dir[] = "/tmp/ring_fuzz_XXXXXX";
    if (mkdtemp(dir) == nullptr) std::abort();
    scratch = dir;
}

bool write_file(const std::string &path, const uint8_t *data, size_t size) {
    FILE *f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

void exercise_ring(const std::string &path, int flags) {
    char id[64];
    RingBuffer *rb = openring(path.c_str(), id, 4, flags);
    if (rb == nullptr) return;
    double t = 0, v = 0, sum = getring(rb, -1, &t, &v);
    for (int i = 0; getring(rb, i, &t, &v) == 0; i++) sum += t + v;
    int index;
    for (double deltat : {-1.0, 0.0, 1.0, 1e300}) {
        sum += findring(rb, 0, deltat) + maxring(rb, deltat, &index) + minring(rb, deltat, &index) +
               avgring(rb, deltat) + changedring(rb, deltat);
    }
    pushring(rb, sum, 1);
    pushring(rb, -1e300, 2);
    closering(rb);
}

void exercise_ringlet(const std::string &path) {
    void *r = openringlet(path.c_str(), 2, 8);
    if (r == nullptr) return;
    char *entry;
    unsigned sum = static_cast<unsigned>(getringlet(r, -1, &entry));
    for (int i = 0; getringlet(r, i, &entry) == 0; i++) sum += static_cast<unsigned char>(entry[0]);
    char push[64] = {static_cast<char>(sum)};
    if (countringlet(r) >= 0) pushringlet(r, push);
    closeringlet(r);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    setup_once();
    std::string ring = scratch + "/ring", ringlet = scratch + "/ringlet";
    if (write_file(ring, data, size)) {
        exercise_ring(ring, 1);
        exercise_ring(ring, 0);
    }
    // A push copies the entry size the file declares from the caller's
    // buffer (64 bytes here).
    if (size >= 24) {
        int32_t entrysize;
        std::memcpy(&entrysize, data + 20, 4);
        if (entrysize <= 64 && write_file(ringlet, data, size)) exercise_ringlet(ringlet);
    }
    elog_clear();
    return 0;
}
