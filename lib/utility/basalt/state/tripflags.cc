// Trip flags: bits of a small shared-mapped file, named through the
// parameter file "tripdebug".
#include "tripflags.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "arrays.h"
#include "elog.h"
#include "filetests.h"
#include "hooks.h"
#include "kitbag_process.h"
#include "mapfile.h"
#include "pf.h"
#include "pfaccess.h"
#include "tbl.h"

namespace {

constexpr int kTripFileBytes = 32;

// State of tripdebug.
pid_t pid = 0;
char pid_tripfile[256];
char app_tripfile[256];
char *tripdata = nullptr;
int tripsize = 0;
Arr *bits = nullptr;

// State shared by tripset, tripclr and triptst.
char *ext_tripdata = nullptr;
int ext_tripsize = 0;
Arr *ext_bits = nullptr;

// State of tripappname.
Hook *hook1 = nullptr;
Hook *hook2 = nullptr;
char pid_appname[4096];

// Stores atoi of every value of the array name of pf in table.
void add_bits(Pf *pf, const char *name, Arr *table) {
    Arr *arr = pfget_arr(pf, name);
    if (arr == nullptr) return;
    Tbl *keys = keysarr(arr);
    for (int i = 0; i < maxtbl(keys); i++) {
        char *key = static_cast<char *>(gettbl(keys, i));
        char *value = static_cast<char *>(getarr(arr, key));
        int n = value ? std::atoi(value) : 0;
        setarr(table, key, reinterpret_cast<void *>(static_cast<intptr_t>(n)));
    }
    freetbl(keys, nullptr);
    freearr(arr, nullptr);
}

// Builds the bit table of appname into *table unless it exists already.
void _trippfbits(char *appname, Arr **table) {
    if (*table != nullptr) return;
    Arr *made = newarr(nullptr);
    Pf *pf = nullptr;
    pfread("tripdebug", &pf);
    if (pf != nullptr) {
        add_bits(pf, "standard", made);
        if (appname != nullptr && *appname != '\0') add_bits(pf, appname, made);
        pffree(pf);
    }
    *table = made;
}

// Base name of the executable of process p, "noexecname" when unknown.
void exec_basename(int p, char *out, std::size_t size) {
    char *path = pidexecname(p);
    const char *name = "noexecname";
    if (path != nullptr && *path != '\0') {
        const char *slash = std::strrchr(path, '/');
        name = slash ? slash + 1 : path;
    }
    std::snprintf(out, size, "%s", name);
    std::free(path);
}

// Maps file read-write and shared; a file that exists but cannot be
// mapped (an empty one among them) ends the process.
char *map_tripfile(const char *file, int *size) {
    char *data = nullptr;
    int n = wmapfile(file, nullptr, &data);
    if (n <= 0 || data == nullptr) elog_die(0, "Couldn't mmap '%s'", file);
    *size = n;
    return data;
}

// Byte and mask of the flag name, or false when its bit lies outside a
// mapping of size bytes.
bool locate(Arr *table, char *name, int size, unsigned *byte,
            unsigned char *mask) {
    unsigned b = static_cast<unsigned>(reinterpret_cast<intptr_t>(
        name != nullptr ? getarr(table, name) : nullptr));
    if (b / 8 >= static_cast<unsigned>(size)) return false;
    *byte = b / 8;
    *mask = static_cast<unsigned char>(0x80u >> (b % 8));
    return true;
}

// Maps the file of the outside calls, creating it first when asked.
void map_outside(char *filename, char *appname, bool create) {
    if (ext_tripdata != nullptr) return;
    if (create && !is_file(filename)) {
        int fd = open(filename, O_WRONLY | O_CREAT, 0664);
        if (fd >= 0) {
            char zeros[kTripFileBytes] = {};
            ssize_t w = write(fd, zeros, sizeof zeros);
            (void)w;
            close(fd);
        } else {
            elog_log(1, "Couldn't open %s", filename);
        }
    }
    if (is_file(filename)) {
        ext_tripdata = map_tripfile(filename, &ext_tripsize);
        _trippfbits(appname, &ext_bits);
    }
}

unsigned char *byte_at(char *data, unsigned byte) {
    return reinterpret_cast<unsigned char *>(data) + byte;
}

}  // namespace

extern "C" int tripdebug(char *name) {
    if (pid == 0) {
        pid = getpid();
        std::snprintf(pid_tripfile, sizeof pid_tripfile, "tripdebug.%lu",
                      static_cast<unsigned long>(pid));
        char progname[4096];
        exec_basename(static_cast<int>(pid), progname, sizeof progname);
        std::snprintf(app_tripfile, sizeof app_tripfile, "tripdebug.%.245s",
                      progname);
        _trippfbits(progname, &bits);
    }
    if (tripdata == nullptr) {
        if (is_file(pid_tripfile)) {
            tripdata = map_tripfile(pid_tripfile, &tripsize);
        } else if (is_file(app_tripfile)) {
            tripdata = map_tripfile(app_tripfile, &tripsize);
        }
    }
    if (tripdata == nullptr) return 0;
    unsigned byte;
    unsigned char mask;
    if (!locate(bits, name, tripsize, &byte, &mask)) return 0;
    // Test and clear in one step: a tool may set other bits of this byte
    // from another process at the same time.
    unsigned char old = __atomic_fetch_and(byte_at(tripdata, byte),
                                           static_cast<unsigned char>(~mask),
                                           __ATOMIC_SEQ_CST);
    return (old & mask) ? 1 : 0;
}

extern "C" int tripset(char *filename, char *appname, char *name) {
    map_outside(filename, appname, true);
    if (ext_tripdata == nullptr) return -1;
    unsigned byte;
    unsigned char mask;
    if (!locate(ext_bits, name, ext_tripsize, &byte, &mask)) return -1;
    __atomic_fetch_or(byte_at(ext_tripdata, byte), mask, __ATOMIC_SEQ_CST);
    return 0;
}

extern "C" int tripclr(char *filename, char *appname, char *name) {
    map_outside(filename, appname, true);
    if (ext_tripdata == nullptr) return -1;
    unsigned byte;
    unsigned char mask;
    if (!locate(ext_bits, name, ext_tripsize, &byte, &mask)) return -1;
    __atomic_fetch_and(byte_at(ext_tripdata, byte),
                       static_cast<unsigned char>(~mask), __ATOMIC_SEQ_CST);
    return 0;
}

extern "C" int triptst(char *filename, char *appname, char *name) {
    map_outside(filename, appname, false);
    if (ext_tripdata == nullptr) return -1;
    unsigned byte;
    unsigned char mask;
    if (!locate(ext_bits, name, ext_tripsize, &byte, &mask)) return -1;
    unsigned char value = __atomic_load_n(byte_at(ext_tripdata, byte),
                                          __ATOMIC_SEQ_CST);
    return (value & mask) ? 1 : 0;
}

extern "C" char *tripappname(char *filename) {
    if (filename == nullptr) return nullptr;
    static char pattern1[] = "tripdebug\\.[0-9]+";
    static char pattern2[] = "tripdebug\\..*";
    if (strmatches(filename, pattern1, &hook1) == 1) {
        exec_basename(std::atoi(filename + 10), pid_appname,
                      sizeof pid_appname);
        return pid_appname;
    }
    if (strmatches(filename, pattern2, &hook2) == 1) return filename + 10;
    return nullptr;
}
