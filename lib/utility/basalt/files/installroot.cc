// The installation root and the process environment: finding the root once
// per process, expanding "$NAME" references, and setting, loading and
// printing environment variables.
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "alloc.h"
#include "elog.h"
#include "installroot.h"
#include "kitbag.h"
#include "pathtools.h"

extern char **environ;

namespace {

// Path buffers hold 4096 bytes: paths are at most 4095 characters.
constexpr std::size_t kPathSize = 4096;
// Names in references are cut to this many characters.
constexpr std::size_t kNameLimit = 1023;
// Longest line of an env file, and longest entry it composes.
constexpr std::size_t kEnvLineLimit = 1023;

// Where releases are installed side by side, and the names they take: a
// digit 1 to 9, a point, a digit, a lower-case letter, then anything.
constexpr const char *kReleasePattern = "/opt/korvanel/[1-9].[0-9][a-z]*";

// The root, written once under root_mutex; root_stored is set (with release
// ordering) after the text is complete, so readers need no lock.
char root_text[kPathSize];
std::atomic<bool> root_stored{false};
std::mutex root_mutex;

// Set while this thread looks for (or stores) the root. A request for the
// root made on the way (a message logged meanwhile that reads its
// configuration, a search that falls back on the data directory) gets the
// empty root instead of starting the search again or waiting on itself.
thread_local bool finding_root = false;
char no_root[1] = "";

bool is_directory(const char *path) {
    struct stat st;
    return restat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Copies at most 4095 characters of src into a 4096-byte buffer.
void copy_path(char *dst, const char *src) {
    std::size_t n = strnlen(src, kPathSize - 1);
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

// The parent of the "bin" directory that holds the running executable.
bool root_from_executable(char *root) {
    const char *exec = getexecname();
    if (exec == nullptr || exec[0] == '\0') return false;

    char resolved[kPathSize];
    if (std::strchr(exec, '/') != nullptr) {
        abspath(exec, resolved);
    } else {
        // A bare name is looked up along PATH. Without PATH and DATAPATH the
        // search would fall back on the data directory of the very root
        // being looked for: the step finds nothing then.
        if (std::getenv("PATH") == nullptr && std::getenv("DATAPATH") == nullptr) return false;
        char *found = datapath("PATH", "", exec, "");
        if (found == nullptr) return false;
        const bool fits = std::strlen(found) < kPathSize;
        if (fits) std::strcpy(resolved, found);
        std::free(found);
        if (!fits) return false;
    }

    char *slash = std::strrchr(resolved, '/');
    if (slash == nullptr) return false;
    *slash = '\0';
    const std::size_t n = static_cast<std::size_t>(slash - resolved);
    if (n <= 4 || std::strcmp(resolved + n - 4, "/bin") != 0) return false;
    resolved[n - 4] = '\0';
    copy_path(root, resolved);
    return true;
}

// The newest release directory: the last name, in sorted order, of those
// matching the release pattern that is a directory.
bool newest_release(char *root) {
    glob_t matches;
    std::memset(&matches, 0, sizeof matches);
    bool found = false;
    if (glob(kReleasePattern, 0, nullptr, &matches) == 0) {
        for (std::size_t i = matches.gl_pathc; i > 0 && !found; i--) {
            const char *candidate = matches.gl_pathv[i - 1];
            if (is_directory(candidate)) {
                copy_path(root, candidate);
                found = true;
            }
        }
    }
    globfree(&matches);
    return found;
}

void find_root(char *root) {
    root[0] = '\0';
    {
        // The entry another thread's store_root puts into the environment
        // is read under the mutex it is written under.
        std::lock_guard<std::mutex> lock(root_mutex);
        if (const char *env = std::getenv("KORVANEL")) {
            copy_path(root, env);
            return;
        }
    }
    if (is_directory(KORVANEL_DEFAULT_ROOT)) {
        copy_path(root, KORVANEL_DEFAULT_ROOT);
        return;
    }
    if (root_from_executable(root)) return;
    if (newest_release(root)) return;
    root[0] = '\0';
}

// Stores the first root found and puts it into the environment; a root
// stored meanwhile by another thread wins.
void store_root(const char *found) {
    std::lock_guard<std::mutex> lock(root_mutex);
    if (root_stored.load(std::memory_order_relaxed)) return;
    copy_path(root_text, found);
    const std::size_t n = std::strlen(root_text);
    static const char kPrefix[] = "KORVANEL=";
    auto *entry = static_cast<char *>(BASALT_MALLOC(sizeof kPrefix + n, "Setenv"));
    std::memcpy(entry, kPrefix, sizeof kPrefix - 1);
    std::memcpy(entry + sizeof kPrefix - 1, root_text, n + 1);
    // The entry becomes part of the environment and stays for the life of
    // the process.
    putenv(entry);
    root_stored.store(true, std::memory_order_release);
}

// A growing text in malloc'd memory; running out of memory is fatal,
// naming `what`.
class Text {
  public:
    Text(std::size_t capacity, const char *what) : what_(what) {
        capacity_ = capacity > 0 ? capacity : 1;
        text_ = static_cast<char *>(BASALT_MALLOC(capacity_, what_));
        text_[0] = '\0';
    }
    ~Text() { std::free(text_); }
    Text(const Text &) = delete;
    Text &operator=(const Text &) = delete;

    void add(const char *s, std::size_t n) {
        if (n > SIZE_MAX - length_ - 1) basalt::out_of_memory(__FILE__, __LINE__, SIZE_MAX, what_);
        const std::size_t need = length_ + n + 1;
        if (need > capacity_) {
            std::size_t grown = capacity_ <= SIZE_MAX / 2 ? capacity_ * 2 : SIZE_MAX;
            if (grown < need) grown = need;
            text_ = static_cast<char *>(BASALT_REALLOC(text_, grown, what_));
            capacity_ = grown;
        }
        std::memcpy(text_ + length_, s, n);
        length_ += n;
        text_[length_] = '\0';
    }
    void add(const char *s) { add(s, std::strlen(s)); }

    std::size_t length() const { return length_; }
    // Hands the text over to the caller.
    char *release() {
        char *t = text_;
        text_ = nullptr;
        return t;
    }

  private:
    const char *what_;
    char *text_ = nullptr;
    std::size_t length_ = 0;
    std::size_t capacity_ = 0;
};

bool is_letter_or_digit(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Puts a copy of name=value (the copy stays for the life of the process)
// into the environment; putenv's result.
int put_entry(const char *name, const char *value1, const char *value2) {
    const std::size_t n1 = std::strlen(name), n2 = std::strlen(value1),
                      n3 = value2 ? std::strlen(value2) : 0;
    auto *entry = static_cast<char *>(BASALT_MALLOC(n1 + n2 + n3 + 2, "Setenv"));
    std::memcpy(entry, name, n1);
    entry[n1] = '=';
    std::memcpy(entry + n1 + 1, value1, n2);
    if (n3) std::memcpy(entry + n1 + 1 + n2, value2, n3);
    entry[n1 + 1 + n2 + n3] = '\0';
    return putenv(entry);
}

bool is_blank_or_tab(char c) { return c == ' ' || c == '\t'; }

// One line of an env file (without its newline).
void env_line(char *line, const char *path, int lineno) {
    char *p = line;
    while (is_blank_or_tab(*p)) p++;
    char *name = p;
    while (*p != '\0' && !is_blank_or_tab(*p) && *p != '\n') p++;
    if (p == name || name[0] == '#') return;
    char *name_end = p;
    while (is_blank_or_tab(*p)) p++;
    char *value = p;
    while (*p != '\0' && !is_blank_or_tab(*p) && *p != '\n' && *p != '#') p++;
    *p = '\0';
    *name_end = '\0';

    char *expanded = expand_env(value);
    const std::size_t length = std::strlen(name) + 1 + std::strlen(expanded);
    if (length > kEnvLineLimit) {
        elog_log(0, "envfile: the entry for %s at line %d of %s is longer than %d characters; skipped\n",
                 name, lineno, path, static_cast<int>(kEnvLineLimit));
    } else {
        put_entry(name, expanded, nullptr);
    }
    std::free(expanded);
}

}  // namespace

extern "C" char *getkorvanel(void) {
    if (root_stored.load(std::memory_order_acquire)) return root_text;
    if (finding_root) return no_root;
    finding_root = true;
    char found[kPathSize];
    find_root(found);
    store_root(found);
    finding_root = false;
    return root_text;
}

extern "C" char *expand_env(const char *s) {
    if (s == nullptr) s = "";
    if (std::strchr(s, '$') == nullptr) return BASALT_STRDUP(s, "result");

    const std::size_t length = std::strlen(s);
    std::size_t start = length <= SIZE_MAX / 2 ? 2 * length : length + 1;
    if (start < 1024) start = 1024;
    Text result(start, "result");

    const char *p = s;
    while (*p != '\0') {
        if (*p != '$') {
            const char *dollar = std::strchr(p, '$');
            const std::size_t n = dollar ? static_cast<std::size_t>(dollar - p) : std::strlen(p);
            result.add(p, n);
            p += n;
            continue;
        }
        const char *reference = p;
        const char *name;
        std::size_t name_length;
        const char *end;
        if (p[1] == '{') {
            name = p + 2;
            const char *close = std::strchr(name, '}');
            name_length = close ? static_cast<std::size_t>(close - name) : std::strlen(name);
            end = close ? close + 1 : name + name_length;
        } else {
            name = p + 1;
            const char *q = name;
            while (is_letter_or_digit(*q)) q++;
            name_length = static_cast<std::size_t>(q - name);
            end = q;
        }
        const char *value = nullptr;
        if (name_length > 0) {
            char key[kNameLimit + 1];
            const std::size_t k = std::min(name_length, kNameLimit);
            std::memcpy(key, name, k);
            key[k] = '\0';
            value = std::getenv(key);
        }
        if (value != nullptr) {
            result.add(value);
        } else {
            result.add(reference, static_cast<std::size_t>(end - reference));
        }
        p = end;
    }
    return result.release();
}

extern "C" int fixup_env(char *envsetup[][2], int nenv, int force) {
    int result = 0;
    if (envsetup == nullptr) return 0;
    for (int i = 0; i < nenv; i++) {
        const char *name = envsetup[i][0];
        const char *relative = envsetup[i][1] ? envsetup[i][1] : "";
        if (name == nullptr || name[0] == '\0') {
            result--;
            continue;
        }
        if (force || std::getenv(name) == nullptr) {
            const char *root = getkorvanel();
            const std::size_t n = std::strlen(root);
            // root "/" relative
            auto *value = static_cast<char *>(BASALT_MALLOC(n + std::strlen(relative) + 2, "Setenv"));
            std::memcpy(value, root, n);
            value[n] = '/';
            std::strcpy(value + n + 1, relative);
            result += put_entry(name, value, nullptr) == 0 ? 0 : -1;
            std::free(value);
        }
    }
    return result;
}

extern "C" int envfile(const char *filename) {
    char *path = datapath("", "env", filename, "env");
    if (path == nullptr) return 0;
    FILE *file = std::fopen(path, "r");
    if (file == nullptr) {
        std::free(path);
        return 0;
    }
    char *line = nullptr;
    std::size_t size = 0;
    ssize_t got;
    int lineno = 0;
    for (;;) {
        errno = 0;
        got = getline(&line, &size, file);
        if (got < 0) {
            if (errno == ENOMEM) basalt::out_of_memory(__FILE__, __LINE__, size, "line");
            break;
        }
        lineno++;
        std::size_t n = static_cast<std::size_t>(got);
        if (n > 0 && line[n - 1] == '\n') n--;
        if (n > kEnvLineLimit) {
            elog_log(0, "envfile: line %d of %s is longer than %d characters; skipped\n", lineno,
                     path, static_cast<int>(kEnvLineLimit));
            continue;
        }
        env_line(line, path, lineno);
    }
    std::free(line);
    std::fclose(file);
    std::free(path);
    return 0;
}

extern "C" void showenv(FILE *file) {
    if (file == nullptr) file = stdout;
    std::size_t n = 0;
    while (environ != nullptr && environ[n] != nullptr) n++;
    auto **entries = static_cast<char **>(BASALT_MALLOC((n ? n : 1) * sizeof(char *), "environ"));
    for (std::size_t i = 0; i < n; i++) entries[i] = environ[i];
    std::sort(entries, entries + n,
              [](const char *a, const char *b) { return std::strcmp(a, b) < 0; });
    for (std::size_t i = 0; i < n; i++) std::fprintf(file, "%s\n", entries[i]);
    std::free(entries);
}
