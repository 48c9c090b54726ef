// Path text: cleaning, joining, absolute and relative forms, splitting.
//
// The work is done on std::string; results go into the callers' 4096-byte
// buffers only when they fit. Out of memory is fatal, as everywhere in the
// library: an allocation failure inside the standard containers is turned
// into the library's out-of-memory death before it can leave a function.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "alloc.h"
#include "elog.h"
#include "pathtools.h"

namespace {

constexpr std::size_t kPathBuffer = 4096;  // bytes of every path buffer
constexpr std::size_t kPathMax = kPathBuffer - 1;
constexpr int kResolveLinks = 1;
constexpr int kMaxLinks = 10;  // the 12th link of one call is refused

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
using MallocChars = std::unique_ptr<char, FreeDeleter>;

// Runs body; a failure of the standard library to allocate ends the process
// with the library's out-of-memory message.
template <typename Body>
auto guarded(const char *what, Body &&body) -> decltype(body()) {
    try {
        return body();
    } catch (const std::exception &) {
        basalt::out_of_memory(__FILE__, __LINE__, 0, what);
    }
}

// The non-empty components of a path between "/" separators.
std::vector<std::string> components(std::string_view path) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < path.size()) {
        while (i < path.size() && path[i] == '/') ++i;
        std::size_t j = i;
        while (j < path.size() && path[j] != '/') ++j;
        if (j > i) out.emplace_back(path.substr(i, j - i));
        i = j;
    }
    return out;
}

// Copies text into a caller's 4096-byte buffer: 0; or -1 with the buffer
// emptied and errno ENAMETOOLONG when it does not fit.
int put_path(const std::string &text, char *buffer) {
    if (text.size() > kPathMax) {
        buffer[0] = '\0';
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return 0;
}

// The cleaning itself; see cleanpath. Never fails on length: out may be
// longer than a path buffer.
int clean(const std::string &path, int flags, std::string &out) {
    std::deque<std::string> queue;
    for (auto &c : components(path)) queue.push_back(std::move(c));

    int rc = 0;
    int links = 0;
    std::size_t floor_length = 0;
    bool link_seen = false;
    int level = 0;
    int floor_level = 0;
    // Link texts stay allocated until the end of the call.
    std::vector<MallocChars> link_buffers;

    std::string work;
    if (!path.empty() && path[0] == '/') {
        work.clear();
    } else if (!path.empty() && path[0] == '~') {
        std::string first = std::move(queue.front());
        queue.pop_front();
        const std::string user = first.substr(1);
        char *home = homedir(user.c_str());
        if (home != nullptr) {
            work = home;
            std::free(home);
        } else {
            work = first;
        }
    } else {
        work = ".";
    }

    bool stopped = false;
    while (!queue.empty()) {
        std::string component = std::move(queue.front());
        queue.pop_front();
        ++level;

        if (component == ".") continue;

        if (component == "..") {
            const std::size_t slash = work.rfind('/');
            if (slash != std::string::npos &&
                work.compare(slash, std::string::npos, "/..") != 0 &&
                slash > floor_length && level > floor_level) {
                work.resize(slash);
                continue;
            }
            --level;
            if (link_seen && level <= floor_level) rc = -1;
        }

        work += '/';
        work += component;

        struct stat st;
        if (relstat(work.c_str(), &st) != 0) {
            if (!queue.empty()) rc = -1;
            continue;
        }
        if (!(flags & kResolveLinks) || !S_ISLNK(st.st_mode)) continue;

        link_seen = true;
        floor_level = level;
        const bool too_many = links > kMaxLinks;
        ++links;
        if (too_many) {
            elog_log(0, "too many symbolic links (>%d) for %s", links,
                     work.c_str());
            rc = -1;
            stopped = true;
            break;
        }

        MallocChars link(
            static_cast<char *>(BASALT_MALLOC(kPathBuffer, "link")));
        const ssize_t n = readlink(work.c_str(), link.get(), kPathBuffer);
        if (n < 0 || static_cast<std::size_t>(n) >= kPathBuffer) {
            // A link text that fills the whole buffer may have been cut.
            if (n >= 0) errno = ENAMETOOLONG;
            elog_log(1, "can't read link for %s", work.c_str());
            rc = -1;
            stopped = true;
            break;
        }
        link.get()[n] = '\0';
        const std::string_view text(link.get(), static_cast<std::size_t>(n));
        std::vector<std::string> parts = components(text);

        if (!text.empty() && text[0] == '/') {
            work.clear();
            floor_length = 0;
            level = 0;
            floor_level = 0;
        } else {
            work.resize(work.rfind('/'));
            floor_length = work.size() + 1 + (parts.empty() ? 0 : parts[0].size());
            floor_level = level;
        }
        queue.insert(queue.begin(), parts.begin(), parts.end());
        link_buffers.push_back(std::move(link));
    }

    if (stopped) {
        for (const auto &component : queue) {
            work += '/';
            work += component;
        }
    }

    if (work.compare(0, 2, "./") == 0) {
        out = work.substr(2);
    } else if (work.compare(0, 2, "//") == 0) {
        out = work.substr(1);
    } else {
        out = std::move(work);
    }
    return rc;
}

// The absolute cleaned form of relp, of any length: relp as it is when it
// begins with "/" or "~", else the current directory, "/" and relp (without
// a leading "./"). Returns clean's result, or -1 after logging, with out
// holding relp, when the current directory cannot be read.
int absolute(const std::string &relp, std::string &out) {
    std::string text;
    if (!relp.empty() && (relp[0] == '/' || relp[0] == '~')) {
        text = relp;
    } else {
        char cwd[kPathBuffer];
        if (getcwd(cwd, sizeof cwd) == nullptr) {
            elog_log(1, "Can't discover current directory: getcwd(3) fails\n");
            out = relp;
            return -1;
        }
        text = cwd;
        text += '/';
        text += relp.compare(0, 2, "./") == 0 ? relp.substr(2) : relp;
    }
    return clean(text, 0, out);
}

}  // namespace

extern "C" {

int cleanpath(const char *path, int flags, char *cleaned) {
    return guarded("cleanpath", [&] {
        std::string out;
        int rc = clean(path != nullptr ? path : "", flags, out);
        if (put_path(out, cleaned) != 0) rc = -1;
        return rc;
    });
}

char *concatpaths(const char *piece, ...) {
    // Measure: the first piece (an empty one becomes "."), then each further
    // one with its "/".
    const char *first = piece != nullptr && *piece != '\0' ? piece : ".";
    std::size_t total = std::strlen(first);
    va_list ap;
    va_start(ap, piece);
    for (const char *p; (p = va_arg(ap, const char *)) != nullptr;) {
        const std::size_t add = std::strlen(p) + 1;
        if (total > SIZE_MAX - add - 1) basalt::out_of_memory(__FILE__, __LINE__, SIZE_MAX, "new");
        total += add;
    }
    va_end(ap);
    std::size_t size = total + 1 > kPathBuffer ? total + 1 : kPathBuffer;
    char *joined = static_cast<char *>(BASALT_MALLOC(size, "new"));

    // Join: a piece beginning with "/" starts over.
    std::size_t len = std::strlen(first);
    std::memcpy(joined, first, len + 1);
    va_start(ap, piece);
    for (const char *p; (p = va_arg(ap, const char *)) != nullptr;) {
        const std::size_t plen = std::strlen(p);
        if (p[0] == '/') {
            std::memcpy(joined, p, plen + 1);
            len = plen;
            continue;
        }
        if (len == 0 || joined[len - 1] != '/') joined[len++] = '/';
        std::memcpy(joined + len, p, plen + 1);
        len += plen;
    }
    va_end(ap);

    // Clean; a home directory may make the text longer than the buffer.
    guarded("concatpaths", [&] {
        std::string out;
        clean(joined, 0, out);
        if (out.size() + 1 > size) {
            size = out.size() + 1;
            joined = static_cast<char *>(BASALT_REALLOC(joined, size, "new"));
        }
        std::memcpy(joined, out.c_str(), out.size() + 1);
        return 0;
    });
    return joined;
}

int abspath(const char *relp, char *absp) {
    return guarded("abspath", [&] {
        const std::string rel = relp != nullptr ? relp : "";
        absp[0] = '\0';
        std::string out;
        int rc = absolute(rel, out);
        if (put_path(out, absp) != 0) rc = -1;
        return rc;
    });
}

int relpath(const char *from, const char *to, char *relp) {
    return guarded("relpath", [&] {
        int rc = 0;
        std::string f;
        absolute(from != nullptr ? from : "", f);
        // The root cleans to ""; it is still a directory to examine.
        struct stat st;
        if (restat(f.empty() ? "/" : f.c_str(), &st) != 0) {
            rc = -1;
        } else if (!S_ISDIR(st.st_mode)) {
            rc = -1;
            const std::size_t slash = f.rfind('/');
            if (slash != std::string::npos) f.resize(slash);
        }

        std::string t;
        absolute(to != nullptr ? to : "", t);

        std::size_t common = 0;
        while (common < f.size() && common < t.size() && f[common] == t[common])
            ++common;
        long i = static_cast<long>(common);
        const bool f_ends = common == f.size() || f[common] == '/';
        const bool t_ends = common == t.size() || t[common] == '/';
        if (!f_ends || !t_ends) {
            const std::size_t slash = common == 0 ? std::string::npos : f.rfind('/', common - 1);
            i = slash == std::string::npos ? -1 : static_cast<long>(slash);
        }

        std::string out;
        for (std::size_t p = i > 0 ? static_cast<std::size_t>(i) : 0; p < f.size(); ++p)
            if (f[p] == '/') out += "../";
        if (i + 1 < static_cast<long>(t.size())) {
            out += t.substr(static_cast<std::size_t>(i + 1));
        } else if (!out.empty() && out.back() == '/') {
            out.pop_back();
        }
        if (out.empty()) out = ".";

        if (put_path(out, relp) != 0) rc = -1;
        return rc;
    });
}

int absdir(const char *dir, char *abs) {
    char saved[kPathBuffer];
    abs[0] = '\0';
    if (getcwd(saved, sizeof saved) == nullptr) return -1;
    if (chdir(dir) != 0) return -1;
    int rc = 0;
    if (getcwd(abs, kPathBuffer) == nullptr) {
        abs[0] = '\0';
        rc = -1;
    }
    if (chdir(saved) != 0)
        elog_die(0, "chdir to return to %s failed, absdir giving up", saved);
    return rc;
}

void dirbase(const char *path, char *dir, char *base) {
    guarded("dirbase", [&] {
        const std::string p = path != nullptr ? path : "";
        if (p.size() > kPathMax) {
            dir[0] = base[0] = '\0';
            errno = ENAMETOOLONG;
            return 0;
        }
        const std::size_t slash = p.rfind('/');
        if (slash == std::string::npos) {
            put_path(".", dir);
            put_path(p, base);
        } else {
            put_path(p.substr(slash + 1), base);
            put_path(slash == 0 ? std::string("/") : p.substr(0, slash), dir);
        }
        return 0;
    });
}

void parsepath(const char *path, char *dir, char *base, char *suffix) {
    guarded("parsepath", [&] {
        const std::string p = path != nullptr ? path : "";
        if (p.size() > kPathMax) {
            dir[0] = base[0] = '\0';
            if (suffix != nullptr) suffix[0] = '\0';
            errno = ENAMETOOLONG;
            return 0;
        }
        const std::size_t slash = p.rfind('/');
        std::string d, b;
        if (slash == std::string::npos) {
            d = ".";
            b = p;
        } else {
            d = p.substr(0, slash);
            b = p.substr(slash + 1);
        }
        if (suffix != nullptr) {
            const std::size_t dot = b.rfind('.');
            if (dot == std::string::npos) {
                put_path("", suffix);
            } else {
                put_path(b.substr(dot + 1), suffix);
                b.resize(dot);
            }
        }
        put_path(d, dir);
        put_path(b, base);
        return 0;
    });
}

int samepath(const char *path1, const char *path2) {
    return guarded("samepath", [&] {
        std::string a, b;
        absolute(path1 != nullptr ? path1 : "", a);
        absolute(path2 != nullptr ? path2 : "", b);
        return a == b ? 1 : 0;
    });
}

}  // extern "C"
