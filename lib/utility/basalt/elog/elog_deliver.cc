// The error log: delivery of the register to its targets, the printers
// (text layout for streams and strings, file layout for descriptors), the
// failure path of the log's own work and the log relay to a ring.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "alloc.h"
#include "elog.h"
#include "elog_private.h"
#include "kitbag.h"
#include "tbl.h"

using namespace basalt::elog_detail;

namespace {

// The file writer's buffer, shared by every file delivery; it only grows.
std::mutex file_buffer_mutex;
char *file_buffer = nullptr;
std::size_t file_buffer_size = 0;

// The log relay: libkestrel and its orbelog, once found, for good.
using Orbelog = int (*)(char *ring, char *program, char *text);
std::mutex relay_mutex;
void *relay_handle = nullptr;
Orbelog relay_function = nullptr;
bool relay_failure_reported = false;
constexpr char kRelayLibrary[] = "kestrel";
constexpr char kRelayFunction[] = "orbelog";

bool register_usable() {
    return (initialised.load(std::memory_order_acquire) || holding_register) &&
           register_tbl != nullptr;
}

Elog_msg *entry(int i) { return static_cast<Elog_msg *>(gettbl(register_tbl, i)); }

bool has_tag(const Elog_msg *m) { return m->tag != nullptr && m->tag[0] != '\0'; }

const char *text_of(const Elog_msg *m) { return m->msg ? m->msg : ""; }

std::size_t repeat_length(int n) {
    return static_cast<std::size_t>(std::snprintf(nullptr, 0, "\t** repeated %d times\n", n));
}

// Length of one message in the text layout.
std::size_t text_length(const Elog_msg *m) {
    std::size_t len = std::strlen(text_of(m));
    if (has_tag(m)) len += std::strlen(m->tag) + 2;
    if (m->sys != nullptr) len += std::strlen(m->sys) + 2;
    if (m->n > 1) len += repeat_length(m->n);
    return len;
}

// Writes one message in the text layout; returns what snprintf returns.
int format_text(char *out, std::size_t size, const Elog_msg *m) {
    int n = std::snprintf(out, size, "%s%s%s%s%s%s", has_tag(m) ? m->tag : "",
                          has_tag(m) ? ": " : "", text_of(m), m->sys ? "\t" : "",
                          m->sys ? m->sys : "", m->sys ? "\n" : "");
    if (n < 0 || m->n <= 1) return n;
    std::size_t used = static_cast<std::size_t>(n);
    int r = std::snprintf(used < size ? out + used : nullptr, used < size ? size - used : 0,
                          "\t** repeated %d times\n", m->n);
    return r < 0 ? r : n + r;
}

void print_text(FILE *file, const Elog_msg *m) {
    if (has_tag(m)) std::fprintf(file, "%s: ", m->tag);
    std::fputs(text_of(m), file);
    if (m->sys != nullptr) std::fprintf(file, "\t%s\n", m->sys);
    if (m->n > 1) std::fprintf(file, "\t** repeated %d times\n", m->n);
}

// Writes one message in the file layout with one write call.
void write_file_layout(int fd, const Elog_msg *m) {
    std::lock_guard<std::mutex> hold(file_buffer_mutex);
    const std::size_t need = (m->tag ? std::strlen(m->tag) : 0) + std::strlen(text_of(m)) +
                             (m->sys ? std::strlen(m->sys) : 0) + 100;
    if (need > file_buffer_size) {
        std::size_t size = std::max<std::size_t>(2 * need, 1024);
        file_buffer = static_cast<char *>(BASALT_REALLOC(file_buffer, size, "buf"));
        file_buffer_size = size;
    }
    int n;
    if (has_tag(m)) {
        n = std::snprintf(file_buffer, file_buffer_size, "%s: %s", m->tag, text_of(m));
    } else {
        n = std::snprintf(file_buffer, file_buffer_size, "%s", text_of(m));
    }
    if (n < 0) return;
    std::size_t used = static_cast<std::size_t>(n);
    if (m->sys != nullptr && used < file_buffer_size) {
        n = std::snprintf(file_buffer + used, file_buffer_size - used, "\t##=> %s\n", m->sys);
        if (n > 0) used += static_cast<std::size_t>(n);
    }
    if (m->n > 1 && used < file_buffer_size) {
        n = std::snprintf(file_buffer + used, file_buffer_size - used,
                          "\t** repeated %d times\n", m->n);
        if (n > 0) used += static_cast<std::size_t>(n);
    }
    used = std::min(used, file_buffer_size - 1);
    errno = 0;
    while (::write(fd, file_buffer, used) < 0 && errno == EINTR) {
    }
}

void deliver_to_file(const char *path, int first) {
    int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_NOCTTY, 0664);
    if (fd < 0) {
        report_failure("Can't open error file '%s'\n", path);
        return;
    }
    elog_printfd(fd, first);
    if (::close(fd) != 0) report_failure("Can't close error file '%s'\n", path);
}

const char *base_name(const char *path) {
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

}  // namespace

namespace basalt::elog_detail {

void report_failure(const char *format, ...) {
    const int err = errno;
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    if (err != 0) {
        errno = err;
        std::perror("\t");
    }
    {
        RegisterLock lock;
        elog_print(stderr, 0);
        truncate_register(0);
    }
    errno = 0;
}

}  // namespace basalt::elog_detail

// Delivery holds the register lock from the first message it prints until
// it has dropped the delivered messages, so nothing that another thread
// logs in between is dropped without having been printed.
extern "C" void elog_deliver(char *delivery, int first) {
    if (delivery == nullptr) return;
    char *words = BASALT_STRDUP(delivery, "delivery");
    RegisterLock lock;
    bool delivered = false;
    char *save = nullptr;
    for (char *word = strtok_r(words, " \t", &save); word != nullptr;
         word = strtok_r(nullptr, " \t", &save)) {
        if (std::strcmp(word, "log") == 0) continue;
        if (word[0] == '/' || word[0] == '.') {
            deliver_to_file(word, first);
        } else if (std::strncmp(word, "orb:", 4) == 0) {
            char *text = elog_string(first);
            call_orbelog(word + 4, Program_Name, text);
            std::free(text);
        } else if (std::strcmp(word, "stderr") == 0) {
            elog_print(stderr, first);
        } else if (std::strcmp(word, "stdout") == 0) {
            elog_print(stdout, first);
        } else if (word[0] == 'o') {
            continue;
        } else {
            report_failure("unrecognized delivery '%s'\n", word);
        }
        delivered = true;
    }
    if (delivered) truncate_register(first);
    std::free(words);
}

char *elog_string(int first) {
    RegisterLock lock;
    if (!register_usable()) return static_cast<char *>(BASALT_CALLOC(1, "s"));
    if (first < 0) first = 0;
    const int count = maxtbl(register_tbl);
    std::size_t length = 0;
    for (int i = first; i < count; i++) length += text_length(entry(i));
    char *s = static_cast<char *>(BASALT_MALLOC(length + 1, "s"));
    std::size_t used = 0;
    s[0] = '\0';
    for (int i = first; i < count; i++) {
        int n = format_text(s + used, length + 1 - used, entry(i));
        if (n < 0 || used + static_cast<std::size_t>(n) > length) {
            elog_die(0, "Unexpected failure: file %s, line %d\n", base_name(__FILE__),
                     __LINE__);
        }
        used += static_cast<std::size_t>(n);
    }
    return s;
}

void elog_print(FILE *file, int first) {
    if (file == nullptr) return;
    if (file == stderr) {
        int rc = std::fflush(stdout);
        if (rc != 0) {
            char sys[256];
            system_error_text(errno, sys, sizeof sys);
            std::fprintf(stderr, "fflush(stdout) failed: %d : %s\n", rc, sys);
            errno = 0;
        }
    }
    {
        RegisterLock lock;
        if (register_usable()) {
            if (first < 0) first = 0;
            const int count = maxtbl(register_tbl);
            for (int i = first; i < count; i++) print_text(file, entry(i));
        }
    }
    int rc = std::fflush(file);
    if (rc != 0) {
        char sys[256];
        system_error_text(errno, sys, sizeof sys);
        std::fprintf(stderr, "fflush() failed: %d : %s\n", rc, sys);
        errno = 0;
    }
}

void elog_printfd(int fd, int first) {
    if (fd < 0) return;
    RegisterLock lock;
    if (!register_usable()) return;
    if (first < 0) first = 0;
    const int count = maxtbl(register_tbl);
    for (int i = first; i < count; i++) write_file_layout(fd, entry(i));
}

void call_orbelog(char *ring, char *program, char *text) {
    Orbelog function;
    {
        std::lock_guard<std::mutex> hold(relay_mutex);
        if (relay_handle == nullptr) {
            relay_handle = std_dlopen(const_cast<char *>(kRelayLibrary));
            if (relay_handle == nullptr && !relay_failure_reported) {
                std::fprintf(stderr,
                             "Can't dynamically load library %s, error messages "
                             "will be written to stderr.\n",
                             kRelayLibrary);
                relay_failure_reported = true;
            }
        }
        if (relay_function == nullptr) {
            // A null handle searches what the process has loaded already.
            relay_function = reinterpret_cast<Orbelog>(dlsym(relay_handle, kRelayFunction));
            if (relay_function == nullptr && !relay_failure_reported) {
                std::fprintf(stderr,
                             "Can't find %s in library %s, error messages will "
                             "be written to stderr.\n",
                             kRelayFunction, kRelayLibrary);
                relay_failure_reported = true;
            }
        }
        function = relay_function;
    }
    if (function != nullptr) {
        function(ring, program, text);
        return;
    }
    std::fprintf(stderr, "%s: %s\n", program ? program : "", text ? text : "");
}
