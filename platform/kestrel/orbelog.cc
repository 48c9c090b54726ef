// The error log's relay to a ring: each delivery becomes log packets of the
// program, put on the ring through a connection opened for writing.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "client_private.h"
#include "kestrel.h"

namespace {

// Longest piece of text one log packet carries.
constexpr std::size_t kPieceBytes = 64 * 1024;

double now() {
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// "<program>/log", the program's base name cut to fit a source name.
void log_source(const char *program, char *srcname, std::size_t size) {
    const char *base = program != nullptr ? std::strrchr(program, '/') : nullptr;
    base = base != nullptr ? base + 1 : (program != nullptr ? program : "");
    static const char kSuffix[] = "/log";
    const int room = static_cast<int>(size - sizeof kSuffix);
    std::snprintf(srcname, size, "%.*s%s", room, base, kSuffix);
}

}  // namespace

extern "C" int orbelog(char *ring, char *program, char *text) {
    const char *t = text != nullptr ? text : "";
    int status = -1;
    const int orb = orbopen(ring, const_cast<char *>("w&"));
    if (orb >= 0) {
        char srcname[64];
        log_source(program, srcname, sizeof srcname);
        const double when = now();
        const std::size_t total = std::strlen(t);
        std::size_t sent = 0;
        status = 0;
        do {
            const std::size_t n = std::min(kPieceBytes, total - sent);
            if (kestrel::put_packet(orb, srcname, when, const_cast<char *>(t + sent),
                                    static_cast<int>(n)) != 0) {
                status = -1;
                break;
            }
            sent += n;
        } while (sent < total);
        orbclose(orb);
    }
    if (status != 0) {
        const std::size_t n = std::strlen(t);
        std::fprintf(stderr, "%s: %s%s", program != nullptr ? program : "", t,
                     n > 0 && t[n - 1] == '\n' ? "" : "\n");
    }
    return status;
}
