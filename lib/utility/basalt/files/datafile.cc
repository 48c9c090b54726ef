// Data files: the candidates for a file along a ":"-separated path list, the
// first of them, and the place where a new data file is to be written.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "alloc.h"
#include "elog.h"
#include "installroot.h"
#include "pathtools.h"
#include "strtools.h"
#include "tbl.h"

namespace {

// Paths composed here are at most 4095 characters; buffers hold 4096 bytes.
constexpr std::size_t kPathLimit = 4095;
constexpr std::size_t kPathSize = kPathLimit + 1;

// Text built in a 4096-byte buffer; `fits` turns false, and stays false,
// when an addition would make it longer than 4095 characters.
class PathText {
  public:
    void add(const char *s) { add(s, std::strlen(s)); }
    void add(const char *s, std::size_t n) {
        if (!fits_ || n > kPathLimit - length_) {
            fits_ = false;
            return;
        }
        std::memcpy(text_ + length_, s, n);
        length_ += n;
        text_[length_] = '\0';
    }
    bool fits() const { return fits_; }
    std::size_t length() const { return length_; }
    const char *c_str() const { return text_; }

  private:
    char text_[kPathSize] = "";
    std::size_t length_ = 0;
    bool fits_ = true;
};

// The path list to search: the caller's, else DATAPATH, else the root's
// "data" directory; expanded with flag 1. A new string.
char *path_list(const char *path, int flags) {
    PathText fallback;
    const char *list = path;
    if (list == nullptr || list[0] == '\0') {
        list = std::getenv("DATAPATH");
        if (list == nullptr) {
            fallback.add(getkorvanel());
            fallback.add("/data");
            // A root too long to compose a path below it gives no list.
            list = fallback.fits() ? fallback.c_str() : "";
        }
    }
    return (flags & 1) ? expand_env(list) : BASALT_STRDUP(list, "path");
}

// A path that cleaning reduced to nothing was the root directory.
char *root_if_empty(char *path, const char *original) {
    if (path[0] == '\0' && original[0] == '/') {
        std::free(path);
        return BASALT_STRDUP("/", "path");
    }
    return path;
}

// Adds a candidate (a new string, which the list then owns) when it can be
// read or flag 2 asks for every candidate; frees it otherwise.
void consider(Tbl *found, char *candidate, int flags) {
    if (candidate[0] != '\0' && ((flags & 2) || access(candidate, R_OK) == 0)) {
        pushtbl(found, candidate);
    } else {
        std::free(candidate);
    }
}

// Copies the last component of a file name (trailing "/" ignored) into a
// 4096-byte buffer; false when there is none.
bool last_component(const char *filename, char *component) {
    std::size_t end = std::strlen(filename);
    while (end > 0 && filename[end - 1] == '/') end--;
    std::size_t start = end;
    while (start > 0 && filename[start - 1] != '/') start--;
    if (end == start || end - start > kPathLimit) return false;
    std::memcpy(component, filename + start, end - start);
    component[end - start] = '\0';
    return true;
}

// The candidates one element of the path list gives.
void search_element(const char *element, const char *dirname, const char *filename, int flags,
                    Tbl *found) {
    // Every path composed from the element must fit.
    if (std::strlen(element) + 1 + std::strlen(dirname) + 1 + std::strlen(filename) > kPathLimit)
        return;

    char home[kPathSize];
    if (element[0] == '~') {
        // "~" and "~user" name home directories; links are resolved.
        cleanpath(element, 1, home);
        if (home[0] == '\0') std::strcpy(home, "/");
        element = home;
    }

    char *examined = dirname[0] != '\0' ? root_if_empty(concatpaths(element, dirname, nullptr), element)
                                        : BASALT_STRDUP(element, "path");
    struct stat st;
    if (examined[0] == '\0' || restat(examined, &st) != 0) {
        std::free(examined);
        return;
    }
    if (!S_ISDIR(st.st_mode)) {
        // An element that is a file stands for itself, whatever the name.
        consider(found, examined, flags);
        return;
    }
    consider(found, root_if_empty(concatpaths(examined, filename, nullptr), examined), flags);
    if (std::strchr(filename, '/') != nullptr) {
        char component[kPathSize];
        if (last_component(filename, component))
            consider(found, root_if_empty(concatpaths(examined, component, nullptr), examined),
                     flags);
    }
    std::free(examined);
}

}  // namespace

extern "C" Tbl *datasearch(const char *path, const char *dirname, const char *filename,
                           int flags) {
    const int saved_errno = errno;
    if (dirname == nullptr) dirname = "";
    if (filename == nullptr) filename = "";

    Tbl *found = newtbl(0);
    char *list = path_list(path, flags);
    Tbl *elements = split(list, ':');
    for (int i = 0; i < maxtbl(elements); i++)
        search_element(static_cast<char *>(gettbl(elements, i)), dirname, filename, flags, found);
    freetbl(elements, nullptr);
    std::free(list);

    errno = saved_errno;
    return found;
}

extern "C" char *datapath(const char *envname, const char *dirname, const char *filename,
                          const char *suffix) {
    PathText name;
    name.add(filename ? filename : "");
    if (suffix != nullptr && suffix[0] != '\0') {
        name.add(".");
        name.add(suffix);
    }
    if (!name.fits()) return nullptr;

    // An unset (or unnamed) variable leaves the default list to datasearch.
    const char *list = (envname != nullptr && envname[0] != '\0') ? std::getenv(envname) : nullptr;
    Tbl *found = datasearch(list, dirname, name.c_str(), 1);
    char *first = maxtbl(found) > 0 ? static_cast<char *>(shifttbl(found)) : nullptr;
    freetbl(found, std::free);
    return first;
}

extern "C" char *datafile(const char *envname, const char *filename) {
    return datapath(envname, "", filename, "");
}

extern "C" int newdata(char *returnpath, const char *envname, const char *dirname,
                       const char *filename, const char *suffix) {
    if (returnpath == nullptr) return -1;
    returnpath[0] = '\0';

    PathText path;
    const char *value = (envname != nullptr && envname[0] != '\0') ? std::getenv(envname) : nullptr;
    if (value != nullptr) {
        // The first directory of the list; the variable is left as it is.
        const char *colon = std::strchr(value, ':');
        const std::size_t n = colon ? static_cast<std::size_t>(colon - value) : std::strlen(value);
        path.add(value, n);
        if (n == 0 || value[n - 1] != '/') path.add("/");
    } else {
        path.add(getkorvanel());
        path.add("/data/");
    }
    if (dirname != nullptr && dirname[0] != '\0') {
        path.add(dirname);
        path.add("/");
    }
    if (filename != nullptr && filename[0] != '\0') path.add(filename);
    if (suffix != nullptr && suffix[0] != '\0') {
        path.add(".");
        path.add(suffix);
    }
    if (!path.fits()) {
        elog_log(0, "newdata: the path for %s is longer than %d characters\n",
                 filename ? filename : "", static_cast<int>(kPathLimit));
        return -1;
    }
    std::memcpy(returnpath, path.c_str(), path.length() + 1);

    // The file's directory, parents included.
    char directory[kPathSize];
    std::memcpy(directory, path.c_str(), path.length() + 1);
    char *slash = std::strrchr(directory, '/');
    if (slash != nullptr) {
        *slash = '\0';
        if (directory[0] == '\0') std::strcpy(directory, "/");
        if (makedir(directory) != 0) return -1;
    }

    if (access(returnpath, R_OK) != 0) return 0;
    return access(returnpath, W_OK) == 0 ? 1 : -1;
}
