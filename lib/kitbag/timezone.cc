// Whether a name is a zone of the system's time-zone database.
#include <pthread.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "host_private.h"
#include "kitbag.h"

namespace {

constexpr std::size_t kPathBuffer = 4096;

// The zone database directory, taken once for the life of the process.
char zone_directory[kPathBuffer];
pthread_once_t zone_directory_once = PTHREAD_ONCE_INIT;

void take_zone_directory() {
    const char *dir = std::getenv("ZONEINFO");
    kitbag::copy_bounded(zone_directory, dir != nullptr ? dir : "/usr/share/zoneinfo",
                         sizeof zone_directory);
}

}  // namespace

extern "C" int is_timezone(char *name) {
    int saved = errno;
    pthread_once(&zone_directory_once, take_zone_directory);
    int result = 0;
    char path[kPathBuffer];
    int n = name != nullptr ? std::snprintf(path, sizeof path, "%s/%s", zone_directory, name) : -1;
    if (n >= 0 && static_cast<std::size_t>(n) < sizeof path) {
        struct stat st;
        int rc;
        do rc = stat(path, &st);
        while (rc < 0 && errno == EINTR);
        result = rc == 0 && S_ISREG(st.st_mode) ? 1 : 0;
    }
    errno = saved;
    return result;
}
