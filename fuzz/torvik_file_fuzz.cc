// Fuzz target: any bytes as a packet file. Every line goes through the
// header parser, the file through the repair's marker test and the scan
// for the newest packet. No crash, leak or hang; the log is cleared after.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "elog.h"
#include "fdio.h"
#include "torvik.h"

namespace {

// One scratch file for the whole run, rewritten for every input.
const std::string &scratch_file() {
    static const std::string path = [] {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") +
                              "/torvik-fuzz-XXXXXX";
        int fd = mkstemp(pattern.data());
        if (fd < 0) std::abort();
        close(fd);
        return pattern;
    }();
    return path;
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
    parse_lines(data, size);

    const std::string &path = scratch_file();
    int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0) return 0;
    bool written = size == 0 || write(fd, data, size) == static_cast<ssize_t>(size);
    close(fd);
    if (!written) return 0;

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
