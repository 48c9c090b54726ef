// Fuzz target: any bytes as a packet file. Every line goes through the
// header parser, the file through the repair's marker test and the scan
// for the newest packet. No crash, leak or hang; the log is cleared after.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "elog.h"
#include "fdio.h"
#include "quiet_log.h"
#include "torvik.h"

namespace {

// One scratch file for the whole run, in memory (no file system to wait
// for), rewritten for every input and reached through its /proc path.
struct Scratch {
    int fd = -1;
    std::string path;
};

const Scratch &scratch() {
    static const Scratch file = [] {
        Scratch s;
        s.fd = memfd_create("torvik_file_fuzz", MFD_CLOEXEC);
        if (s.fd < 0) std::abort();
        s.path = "/proc/self/fd/" + std::to_string(s.fd);
        return s;
    }();
    return file;
}

void parse_lines(const uint8_t *data, size_t size) {
    char line[1024];
    size_t start = 0;
    while (start < size) {
        size_t end = start;
        while (end < size && data[end] != '\n') end++;
        size_t n = end - start < sizeof line - 1 ? end - start : sizeof line - 1;
        std::memcpy(line, data + start, n);
        line[n] = '\0';
        char representation[16], srcname[64];
        double time;
        int nbytes;
        if (n > 4 && std::strncmp(line, "#orb", 4) == 0)
            (void)torvik_parse_line(line, representation, srcname, &time, &nbytes);
        start = end + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzing::quiet_log();
    parse_lines(data, size);

    const Scratch &file = scratch();
    const std::string &path = file.path;
    if (ftruncate(file.fd, 0) != 0) return 0;
    if (size > 0 && pwrite(file.fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;

    int mark = elog_mark();
    int addbytes = 0;
    (void)has_last_packet(const_cast<char *>(path.c_str()), &addbytes);
    Torvikfile *atorvik = torviknew();
    if (torvikopenfile(atorvik, const_cast<char *>(path.c_str())) == 0) {
        (void)torvik_newest(atorvik);
        fdclose(atorvik->fd);
    }
    torvikfree(atorvik);
    elog_flush(0, mark);
    elog_clear();
    return 0;
}
