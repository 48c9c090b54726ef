// Switching the process to a named time zone and back. The zone is
// process-wide state (the TZ entry of the environment and the C library's
// zone), so every switch, and every conversion that reads the zone, runs
// under one recursive process-wide lock.
#include <pthread.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "alloc.h"
#include "elog.h"
#include "kitbag.h"
#include "timefmt.h"
#include "timezone_private.h"

namespace {

pthread_mutex_t zone_lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

// Switch state, only touched under zone_lock.
int ChangedTZ = 0;         // nonzero while a switch is in force
char *OldTZ = nullptr;     // the process's own "TZ=..." entry, or null
bool OldTZ_set = false;    // whether the process had a TZ entry at all
char *NewTZ = nullptr;     // the entry installed by the switch (owned)

// Whether this thread holds the lock through the public switchTZ.
thread_local bool holds_public_switch = false;

constexpr std::size_t kEntryBuffer = 64;
constexpr std::size_t kMaxZoneName = 61;

// The process's own TZ entry (the string of the environment beginning
// "TZ="), or null when TZ is unset. An empty TZ is kept as it is.
char *mygetTZ() {
    char *value = std::getenv("TZ");
    return value != nullptr ? value - 3 : nullptr;
}

}  // namespace

namespace basalt::tz_detail {

void lock_zone() { pthread_mutex_lock(&zone_lock); }
void unlock_zone() { pthread_mutex_unlock(&zone_lock); }

bool is_utc(const char *zone) { return zone == nullptr || std::strcmp(zone, "UTC") == 0; }

bool is_local(const char *zone) {
    return zone != nullptr && (zone[0] == '\0' || std::strcmp(zone, "LOCAL") == 0);
}

bool switch_zone(const char *zone) {
    if (!ChangedTZ) {
        ChangedTZ = 1;
        OldTZ = mygetTZ();
        OldTZ_set = OldTZ != nullptr;
    }
    if (zone == nullptr) zone = "";
    std::size_t length = std::strlen(zone);
    if (length > kMaxZoneName) {
        // Does not fit the entry: refused; the environment is left alone.
        errno = ENAMETOOLONG;
        return false;
    }
    if (length == 0) {
        unsetenv("TZ");
        std::free(NewTZ);
        NewTZ = nullptr;
    } else {
        char entry[kEntryBuffer];
        std::memcpy(entry, "TZ=", 3);
        std::memcpy(entry + 3, zone, length + 1);
        char *installed = BASALT_STRDUP(entry, "NewTZ");
        if (putenv(installed) != 0) {
            std::free(installed);
            elog_die(0, "Unexpected failure: file %s, line %d\n", "str2epoch", __LINE__);
        }
        std::free(NewTZ);
        NewTZ = installed;
    }
    errno = 0;
    tzset();
    // The C library falls back to UTC, sometimes without a trace in errno,
    // for a zone it cannot load: ask the zone database itself.
    bool recognised = length == 0 || is_timezone(const_cast<char *>(zone)) != 0;
    errno = recognised ? 0 : (errno != 0 ? errno : ENOENT);
    return recognised;
}

void restore_zone() {
    if (!ChangedTZ) return;
    if (OldTZ_set) {
        if (putenv(OldTZ) != 0)
            elog_die(0, "Unexpected failure: file %s, line %d\n", "str2epoch", __LINE__);
    } else {
        unsetenv("TZ");
    }
    OldTZ = nullptr;
    OldTZ_set = false;
    errno = 0;
    tzset();
    std::free(NewTZ);
    NewTZ = nullptr;
    ChangedTZ = 0;
}

}  // namespace basalt::tz_detail

extern "C" void switchTZ(const char *timezone) {
    if (!holds_public_switch) {
        basalt::tz_detail::lock_zone();
        holds_public_switch = true;
    }
    basalt::tz_detail::switch_zone(timezone);
}

extern "C" void restoreTZ(void) {
    if (!holds_public_switch) return;
    basalt::tz_detail::restore_zone();
    holds_public_switch = false;
    basalt::tz_detail::unlock_zone();
}
