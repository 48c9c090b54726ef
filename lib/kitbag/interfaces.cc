// The host's own IPv4 addresses, read from the interface listing of
// "/sbin/ifconfig -a".
//
// Two listing formats are read: older net-tools print "inet addr:a.b.c.d",
// current ones (Debian's) print "inet a.b.c.d".
#include <pthread.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "elog.h"
#include "host_private.h"
#include "kitbag.h"
#include "strtools.h"

namespace {

constexpr char kDefaultListingProgram[] = "/sbin/ifconfig";
constexpr int kLineBuffer = 1024;
constexpr int kMaxOwnAddresses = 31;
constexpr double kCacheSeconds = 60.0;
constexpr std::uint32_t kLoopback = 0x7f000001u;

// The listing program; guarded by its own lock so that a test may change it
// while other threads list.
pthread_mutex_t program_lock = PTHREAD_MUTEX_INITIALIZER;
char listing_program[4096] = "/sbin/ifconfig";

void current_program(char *out, std::size_t size) {
    kitbag::HostLock hold(&program_lock);
    kitbag::copy_bounded(out, listing_program, size);
}

// The own-address cache of my_ips, guarded by own_lock.
pthread_mutex_t own_lock = PTHREAD_MUTEX_INITIALIZER;
int own_ips[kMaxOwnAddresses + 1];
int own_count = 0;
bool own_filled = false;
double own_filled_at = 0.0;

// Reads one number of a dotted address (1 to 3 digits, at most 255) ended
// by `end`, or by a blank, a tab, a newline or the end of the text when
// `end` is ' '. Advances *p past the terminator.
bool dotted_part(const char **p, char end, std::uint32_t *value) {
    const char *s = *p;
    std::uint32_t v = 0;
    int digits = 0;
    while (*s >= '0' && *s <= '9') {
        if (++digits > 3) return false;
        v = v * 10 + static_cast<std::uint32_t>(*s - '0');
        ++s;
    }
    if (digits == 0 || v > 255) return false;
    if (end == ' ') {
        if (*s != ' ' && *s != '\t' && *s != '\n' && *s != '\0') return false;
    } else {
        if (*s != end) return false;
        ++s;
    }
    *p = s;
    *value = v;
    return true;
}

bool dotted_address(const char *s, std::uint32_t *addr) {
    std::uint32_t a, b, c, d;
    if (!dotted_part(&s, '.', &a) || !dotted_part(&s, '.', &b) || !dotted_part(&s, '.', &c) ||
        !dotted_part(&s, ' ', &d))
        return false;
    *addr = (a << 24) | (b << 16) | (c << 8) | d;
    return true;
}

// Collects the addresses of my_ips line by line.
class OwnAddresses {
  public:
    void take(const char *line) {
        if (count_ >= kMaxOwnAddresses) return;
        std::uint32_t addr;
        if (!kitbag::listing_line_address(line, &addr) || addr == kLoopback) return;
        ips_[count_++] = static_cast<int>(addr);
    }
    int copy_to(int *ips) const {
        std::memcpy(ips, ips_, sizeof(int) * static_cast<std::size_t>(count_));
        ips[count_] = 0;
        return count_;
    }

  private:
    int ips_[kMaxOwnAddresses + 1] = {};
    int count_ = 0;
};

// Runs the listing through a line reader with "LANG=C" as its whole
// environment; false when it cannot be started.
bool run_listing(OwnAddresses *found) {
    char program[4096];
    current_program(program, sizeof program);
    char command[4096 + 4];
    std::snprintf(command, sizeof command, "%s -a", program);
    char lang[] = "LANG=C";
    char *envp[] = {lang, nullptr};
    int pipefd = -1;
    int handle = gxpipe(command, envp, &pipefd);
    if (handle < 0) return false;
    char line[kLineBuffer];
    bool line_start = true;
    int rc;
    while ((rc = gxline(handle, line, sizeof line)) != 0) {
        // Only the first piece of an overlong line is a line of its own.
        if (line_start) found->take(line);
        line_start = rc == 1;
    }
    gxclose(handle);
    return true;
}

}  // namespace

namespace kitbag {

bool listing_line_address(const char *line, std::uint32_t *addr) {
    if (const char *p = std::strstr(line, "inet addr:")) return dotted_address(p + 10, addr);
    for (const char *p = std::strstr(line, "inet "); p != nullptr; p = std::strstr(p + 1, "inet ")) {
        if (p[5] >= '0' && p[5] <= '9') return dotted_address(p + 5, addr);
    }
    return false;
}

namespace {

// Calls take(line) for each line of text, each cut to the reader's line
// size as gxline would hand it out.
template <typename Take>
void each_line(const char *text, Take take) {
    char line[kLineBuffer];
    while (*text != '\0') {
        const char *nl = std::strchr(text, '\n');
        std::size_t n = nl ? static_cast<std::size_t>(nl - text) : std::strlen(text);
        copy_bounded(line, text, n + 1 < sizeof line ? n + 1 : sizeof line);
        take(line);
        text += n + (nl ? 1 : 0);
    }
}

}  // namespace

int listing_addresses(const char *text, int *ips) {
    OwnAddresses found;
    each_line(text, [&](const char *line) { found.take(line); });
    return found.copy_to(ips);
}

int listing_first_address(const char *text) {
    std::uint32_t first = 0;
    bool seen = false;
    each_line(text, [&](const char *line) {
        if (!seen) seen = listing_line_address(line, &first);
    });
    return seen ? static_cast<int>(first) : 0;
}

void set_interface_program(const char *path) {
    kitbag::HostLock hold(&program_lock);
    copy_bounded(listing_program, path != nullptr ? path : kDefaultListingProgram,
                 sizeof listing_program);
}

void forget_own_addresses() {
    kitbag::HostLock hold(&own_lock);
    own_filled = false;
    own_count = 0;
}

}  // namespace kitbag

extern "C" int my_ipaddress(void) {
    char program[4096];
    current_program(program, sizeof program);
    char command[4096 + 16];
    std::snprintf(command, sizeof command, "LANG=C %s -a", program);
    // Give up a spare stream for the pipe's, and take it back afterwards.
    release_FILE();
    FILE *listing = popen(command, "r");
    if (listing == nullptr) {
        elog_log(1, "failed to open pipe for /sbin/ifconfig");
        reserve_FILE();
        return 0;
    }
    char line[kLineBuffer];
    std::uint32_t addr = 0;
    bool seen = false;
    while (getaline(listing, line, sizeof line) != nullptr) {
        if (!seen) seen = kitbag::listing_line_address(line, &addr);
    }
    pclose(listing);
    errno = 0;
    reserve_FILE();
    return seen ? static_cast<int>(addr) : 0;
}

extern "C" int my_ips(int *ips) {
    kitbag::HostLock hold(&own_lock);
    // An age below zero means the clock was set back since: read again.
    double age = std_now() - own_filled_at;
    if (!own_filled || age < 0.0 || age >= kCacheSeconds) {
        OwnAddresses found;
        if (!run_listing(&found)) elog_log(1, "failed to open ifconfig pipe");
        own_count = found.copy_to(own_ips);
        errno = 0;
        own_filled = true;
        own_filled_at = std_now();
    }
    std::memcpy(ips, own_ips, sizeof(int) * static_cast<std::size_t>(own_count));
    ips[own_count] = 0;
    return own_count;
}
