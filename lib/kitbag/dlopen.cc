// Loading one of the installation's shared libraries by its base name.
#include <dlfcn.h>

#include <cstdio>

#include "installroot.h"
#include "kitbag.h"

// The installation root comes from libbasalt (getkorvanel) at run time.
extern "C" void *std_dlopen(char *name) {
    if (name == nullptr) return nullptr;
    char path[4096];
    int n;
    if (name[0] == '/')
        n = std::snprintf(path, sizeof path, "%s", name);
    else
        n = std::snprintf(path, sizeof path, "%s/lib/lib%s.so.3", getkorvanel(), name);
    // A path cut short would name some other file.
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) return nullptr;
    return dlopen(path, RTLD_LAZY);
}
