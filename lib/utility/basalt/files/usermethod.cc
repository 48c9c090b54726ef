// The user plug-in library: functions looked up by name, with a cache of
// the answers, in a library that is loaded on first use and loaded anew
// when its file changes.
//
// A library whose file changed is let go of but never closed with dlclose:
// another thread may still be running one of its functions, or hold its
// address from an earlier lookup, and unmapping the code under it would
// crash the process. Its handle is deliberately leaked. (The dynamic loader
// hands back an object it still holds when the same file is opened again
// under the same name; a library replaced by a new file is loaded anew
// only where the loader tells the two apart.)
#include <dlfcn.h>
#include <sys/stat.h>
#include <time.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "alloc.h"
#include "arrays.h"
#include "installroot.h"
#include "pathtools.h"

namespace {

// Seconds between looks at the library's file.
constexpr double kRecheckSeconds = 10.0;

// Marks a name the library does not have.
char not_found_mark;

struct Plugin {
    std::mutex lock;          // guards everything below
    char *name = nullptr;     // Library_name, settled on first use
    void *handle = nullptr;   // the loaded library, or null
    dev_t device = 0;         // the file as it was when loaded
    ino_t inode = 0;
    struct timespec modified = {0, 0};
    double last_check = 0.0;  // monotonic seconds
    Arr *methods = nullptr;   // name -> address or &not_found_mark
};

Plugin plugin;

double monotonic_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool newer(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec > b.tv_nsec);
}

// USER_LIBRARY, else "libuser.so"; a name not beginning with "/" lies in
// the root's lib directory.
void settle_name() {
    const char *name = std::getenv("USER_LIBRARY");
    if (name == nullptr) name = "libuser.so";
    if (name[0] == '/') {
        plugin.name = BASALT_STRDUP(name, "Library_name");
        return;
    }
    const char *root = getkorvanel();
    const std::size_t r = std::strlen(root), n = std::strlen(name);
    static const char kLib[] = "/lib/";
    plugin.name = static_cast<char *>(BASALT_MALLOC(r + sizeof kLib + n, "Library_name"));
    std::memcpy(plugin.name, root, r);
    std::memcpy(plugin.name + r, kLib, sizeof kLib - 1);
    std::memcpy(plugin.name + r + sizeof kLib - 1, name, n + 1);
}

void new_cache() {
    if (plugin.methods != nullptr) freearr(plugin.methods, nullptr);
    plugin.methods = newarr(nullptr);
}

// Lets go of a loaded library whose file has changed since it was loaded.
void recheck() {
    const double now = monotonic_seconds();
    if (now - plugin.last_check <= kRecheckSeconds) return;
    plugin.last_check = now;
    struct stat st;
    if (restat(plugin.name, &st) != 0) return;  // unreadable: stays loaded
    if (newer(st.st_mtim, plugin.modified) || st.st_ino != plugin.inode ||
        st.st_dev != plugin.device) {
        // Not closed: see the note at the top of this file.
        plugin.handle = nullptr;
    }
}

void load() {
    struct stat st;
    if (restat(plugin.name, &st) != 0) return;
    if (plugin.name[0] == '/' && !S_ISREG(st.st_mode)) return;
    plugin.handle = dlopen(plugin.name, RTLD_LAZY);
    if (plugin.handle != nullptr) {
        plugin.last_check = monotonic_seconds();
        plugin.device = st.st_dev;
        plugin.inode = st.st_ino;
        plugin.modified = st.st_mtim;
    }
    new_cache();
}

}  // namespace

extern "C" void *usermethod(const char *methodname) {
    if (methodname == nullptr || methodname[0] == '\0') return nullptr;
    std::lock_guard<std::mutex> guard(plugin.lock);

    if (plugin.name == nullptr) settle_name();
    if (plugin.handle != nullptr) recheck();
    if (plugin.handle == nullptr) load();
    if (plugin.handle == nullptr) return nullptr;

    void *address = getarr(plugin.methods, methodname);
    if (address == nullptr) {
        address = dlsym(plugin.handle, methodname);
        if (address == nullptr) address = &not_found_mark;
        setarr(plugin.methods, methodname, address);
    }
    return address == &not_found_mark ? nullptr : address;
}
