// Zone switching shared by time formatting and the time-string parser.
// Not part of the public interface (hidden visibility).
//
// Every conversion that depends on the process's zone (localtime_r,
// mktime, tzname) runs under one process-wide lock, recursive for the
// thread that holds it; a switch to a named zone happens only under it.
#ifndef BASALT_TIMEZONE_PRIVATE_H
#define BASALT_TIMEZONE_PRIVATE_H

namespace basalt::tz_detail {

void lock_zone();
void unlock_zone();

// Under the lock: switch to `zone` ("" the system default zone). Returns
// false when the zone cannot be loaded (errno then nonzero); the switch
// stays in force until restore_zone, which puts the process's own zone
// back exactly as it was.
bool switch_zone(const char *zone);
void restore_zone();

// Is `zone` null or "UTC": UTC, for which no switch is needed.
bool is_utc(const char *zone);
// Is `zone` "" or "LOCAL": the process's own zone, no switch.
bool is_local(const char *zone);

// Runs fn(recognised) with the process switched to `zone` under the lock.
// A null, "" or "LOCAL" zone means the process's own zone (still under the
// lock, recognised = true). An unrecognised zone runs fn(false) in the
// process's own zone. The switch is undone before returning.
template <typename F>
decltype(auto) with_zone(const char *zone, F &&fn) {
    struct Held {
        bool switched = false;
        Held() { lock_zone(); }
        ~Held() {
            if (switched) restore_zone();
            unlock_zone();
        }
    } held;
    bool recognised = true;
    if (zone != nullptr && !is_local(zone)) {
        held.switched = true;
        recognised = switch_zone(zone);
        if (!recognised) {
            restore_zone();
            held.switched = false;
        }
    }
    return fn(recognised);
}

}  // namespace basalt::tz_detail

#endif
