// Start-up settings and the server status: the "dir[:port]" operand, the
// status record's fixed fields, and the figures of the served directory.
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "torvik.h"
#include "vaultkeep.h"
#include "vaultkeep_private.h"

namespace {

constexpr char kLoopbackName[] = "localhost";
constexpr int kExtraSize = 64;
constexpr int kSrcnameSize = 64;
// Time the ring buffer was last initialised, as the status reports it:
// 1995-03-08 11:30:00 UTC.
constexpr double kOrbStart = 794662200.0;
// Added to the id span when the newest packet is not later than the oldest.
constexpr int64_t kPktidLimit = 2147483000;

pthread_mutex_t names_mutex = PTHREAD_MUTEX_INITIALIZER;
Pf *ringhold_names = nullptr;  // read once, kept for the process

pthread_mutex_t refresh_mutex = PTHREAD_MUTEX_INITIALIZER;

// The port of a name in "ringhold_names" (its leading number) and what
// follows the number; 0 when the name gives none.
int named_port(const char *name, char *extra) {
    vaultkeep::MutexLock hold(&names_mutex);
    if (ringhold_names == nullptr && pfread("ringhold_names", &ringhold_names) != 0) {
        pffree(ringhold_names);
        ringhold_names = nullptr;
    }
    void *value = nullptr;
    if (ringhold_names == nullptr || pfget(ringhold_names, name, &value) != SCALAR_PF)
        return 0;
    char *rest = nullptr;
    const long port = std::strtol(static_cast<char *>(value), &rest, 10);
    if (port <= 0 || port > INT_MAX) return 0;
    std::snprintf(extra, kExtraSize + 1, "%s", rest);
    strtrim(extra);
    return static_cast<int>(port);
}

// Copies n characters of text into dir (4096 bytes); false, with a
// message, when they do not fit.
bool copy_dir(char *dir, const char *text, std::size_t n) {
    if (n >= sizeof Params.torvikdir) {
        elog_log(0, "directory name of %zu characters is longer than %zu", n,
                 sizeof Params.torvikdir - 1);
        return false;
    }
    std::memcpy(dir, text, n);
    dir[n] = '\0';
    return true;
}

// "yyyy-mm-dd" of this build.
void build_date(char *out, std::size_t size) {
    std::tm when;
    std::memset(&when, 0, sizeof when);
    if (strptime(__DATE__, "%b %d %Y", &when) == nullptr || std::strftime(out, size, "%Y-%m-%d", &when) == 0)
        std::snprintf(out, size, "unknown");
}

}  // namespace

extern "C" {

Parameters Params = [] {
    Parameters p{};
    p.clients_mutex = PTHREAD_MUTEX_INITIALIZER;
    p.status_mutex = PTHREAD_MUTEX_INITIALIZER;
    return p;
}();

int torvikportnum(char *text, char *dir, int *port, char *extra) {
    extra[0] = '\0';
    if (text == nullptr || text[0] == '\0') {
        std::strcpy(dir, kLoopbackName);
        *port = ORB_DEFAULT_PORT;
        return 0;
    }
    const char *colon = std::strchr(text, ':');
    if (colon == nullptr) {
        *port = ORB_DEFAULT_PORT;
        return copy_dir(dir, text, std::strlen(text)) ? 0 : -1;
    }
    if (!copy_dir(dir, text, static_cast<std::size_t>(colon - text))) return -1;
    const char *port_text = colon + 1;
    if (port_text[0] == '\0') return 0;
    const int number = std::atoi(port_text);
    if (number != 0) {
        *port = number;
        return 0;
    }
    const int named = named_port(port_text, extra);
    if (named == 0) {
        elog_log(0, "Don't understand ringhold port '%s'", port_text);
        return -1;
    }
    *port = named;
    return 0;
}

void setup_status(int port) {
    Orbstat &s = Params.status;
    vaultkeep::MutexLock hold(&Params.status_mutex);
    s.started = vaultkeep::now();
    s.errors = 0;
    s.closes = 0;
    s.opens = 0;

    utsname host;
    if (uname(&host) != 0) {
        std::strcpy(host.sysname, "unknown");
        std::strcpy(host.machine, "unknown");
    }
    char date[32];
    build_date(date, sizeof date);
    std::snprintf(s.version, sizeof s.version, "* Release 7.2.3 %.40s %.40s %.16s", host.sysname,
                  host.machine, date);

    s.port = port;
    s.pid = static_cast<int>(getpid());
    char who[256] = "";
    my_username(who);
    std::snprintf(s.who, sizeof s.who, "%.*s", static_cast<int>(sizeof s.who - 1), who);

    char name[256] = "";
    char dotted[256] = "";
    int address = 0;
    my_ip(name, dotted, &address);
    std::memcpy(s.address, &address, sizeof s.address);
    // The host name, then ":" and the working directory, in 127 characters.
    std::snprintf(s.host, sizeof s.host, "%.*s", static_cast<int>(sizeof s.host - 1), name);
    const std::size_t used = std::strlen(s.host);
    char cwd[4096];
    if (used < sizeof s.host - 1 && getcwd(cwd, sizeof cwd) != nullptr)
        std::snprintf(s.host + used, sizeof s.host - used, ":%.*s",
                      static_cast<int>(sizeof s.host - used - 2), cwd);
}

int update_Params(double *oldest_time, double *newest_time) {
    vaultkeep::MutexLock hold(&refresh_mutex);
    const int handle = torvikopen(Params.torvikdir, const_cast<char *>("r"));
    if (handle < 0) return -1;

    Tbl *files = nullptr;
    double size = 0.0;
    const bool stat_ok = torvikstat(handle, &files, &size) == 0;

    char srcname[kSrcnameSize];
    char *packet = nullptr;
    int bufsize = 0, nbytes = 0, pktid = 0;
    double when = 0.0;
    if (torvikget(handle, ORBOLDEST, &pktid, srcname, &when, &packet, &nbytes, &bufsize) == 0) {
        Params.first_pktid = pktid;
        *oldest_time = when;
    }
    if (torvikget(handle, ORBNEWEST, &pktid, srcname, &when, &packet, &nbytes, &bufsize) == 0) {
        Params.latest_pktid = pktid;
        *newest_time = when;
    }
    std::free(packet);
    const double newest = std::clamp(*newest_time, static_cast<double>(INT_MIN),
                                     static_cast<double>(INT_MAX));
    Params.torvik_latest = static_cast<int>(newest);

    int64_t span = static_cast<int64_t>(Params.latest_pktid) - Params.first_pktid;
    if (!(*newest_time > *oldest_time)) span += kPktidLimit;
    {
        vaultkeep::MutexLock status(&Params.status_mutex);
        if (stat_ok) {
            Params.status.maxdata = static_cast<unsigned int>(std::clamp(size, 0.0, 4294967295.0));
            Params.status.maxsrc = maxtbl(files);
        }
        Params.status.maxpkts = static_cast<int>(std::clamp<int64_t>(span, INT_MIN, INT_MAX));
        Params.status.orb_start = kOrbStart;
    }
    if (files != nullptr) freetbl(files, std::free);
    torvikclose(handle);
    return 0;
}

void show_vaultkeep(void) {
    double oldest = 0.0, newest = 0.0;
    if (update_Params(&oldest, &newest) != 0)
        elog_die(0, "failed to open vaultkeep on %s", Params.torvikdir);
    unsigned int maxdata;
    int maxsrc;
    {
        vaultkeep::MutexLock hold(&Params.status_mutex);
        maxdata = Params.status.maxdata;
        maxsrc = Params.status.maxsrc;
    }
    char *first = strydtime(oldest);
    char *last = strydtime(newest);
    elog_notify(0, "%s   (%d segment files currently)\n   Current size      = %8.1f Mbytes\n",
                Params.torvikdir, maxsrc, mbytes(static_cast<double>(maxdata)));
    elog_notify(0, "   First segment file pktid #%d at %s\n", Params.first_pktid, first);
    elog_notify(0, "   Last segment file  pktid #%d at %s\n", Params.latest_pktid, last);
    std::free(first);
    std::free(last);
}

}  // extern "C"
