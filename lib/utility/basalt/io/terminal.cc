// Terminal modes, questions on the controlling terminal, the usage banner
// and deprecation notices.
//
// The questions always go to "/dev/tty", never to the standard streams, so
// they keep working while standard input and output are redirected.
#include "terminal.h"

#include <sys/stat.h>
#include <sys/utsname.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "alloc.h"
#include "elog.h"
#include "kitbag.h"
#include "pathtools.h"
#include "values.h"

namespace {

// ---- Terminal state ----

// The setting the terminal had before the process first changed a mode.
struct SavedSetting {
    std::mutex lock;
    struct termios save {};
    int saved = 0;
};

SavedSetting &saved_setting() {
    static SavedSetting s;
    return s;
}

enum class Mode { NoEcho, Echo, Immediate, ByLine };

int switch_mode(int fd, Mode mode) {
    SavedSetting &s = saved_setting();
    std::lock_guard<std::mutex> guard(s.lock);
    struct termios t;
    if (tcgetattr(fd, &t) != 0) {
        elog_log(1, "Can't read terminal attributes\n");
        return -1;
    }
    if (!s.saved) {
        s.save = t;
        s.saved = 1;
    }
    switch (mode) {
    case Mode::NoEcho:
        t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        break;
    case Mode::Echo:
        t.c_lflag |= ECHO;
        break;
    case Mode::Immediate:
        t.c_lflag &= ~static_cast<tcflag_t>(ICANON);
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        break;
    case Mode::ByLine:
        t.c_lflag |= ICANON;
        t.c_cc[VMIN] = s.save.c_cc[VMIN];
        t.c_cc[VTIME] = s.save.c_cc[VTIME];
        break;
    }
    if (tcsetattr(fd, TCSAFLUSH, &t) != 0) {
        elog_log(1, "Can't set terminal attributes\n");
        return -2;
    }
    return 0;
}

// ---- Questions ----

// Longest answer read, in characters.
constexpr int kMaxAnswer = 1023;

FILE *open_tty(const char *mode) {
    FILE *f = std::fopen("/dev/tty", mode);
    if (f == nullptr) elog_die(1, "Can't open /dev/tty.\n");
    return f;
}

// Writes "<program>: " and the question (a newline for no question).
void write_prompt(FILE *tty, const char *fmt, va_list args) {
    std::fprintf(tty, "%s: ", Program_Name != nullptr ? Program_Name : "");
    if (fmt == nullptr || *fmt == '\0')
        std::fputs("\n", tty);
    else
        std::vfprintf(tty, fmt, args);
    std::fflush(tty);
}

// Reads one line into buf (kMaxAnswer + 1 bytes) and removes its last
// character (the newline, for a line that fitted). False at end of input
// or on a read error: then buf is empty, nothing having been typed.
bool read_answer(FILE *tty, char *buf) {
    buf[0] = '\0';
    if (std::fgets(buf, kMaxAnswer + 1, tty) == nullptr) {
        buf[0] = '\0';
        return false;
    }
    std::size_t n = std::strlen(buf);
    if (n > 0) buf[n - 1] = '\0';
    return true;
}

// The classification shared by askyn and askynaq: 1 yes, 0 no, 2 all,
// 3 quit; with_all_quit false leaves only yes and no.
int ask_choice(bool with_all_quit, const char *fmt, va_list args) {
    FILE *tty = open_tty("r+");
    char answer[kMaxAnswer + 1];
    int result;
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        write_prompt(tty, fmt, copy);
        va_end(copy);
        if (!read_answer(tty, answer)) {
            // No answer will come: take it as no rather than ask forever.
            result = 0;
            break;
        }
        int word = yesno(answer);
        if (word == -1) {
            result = 1;
            break;
        }
        if (word == 0) {
            result = 0;
            break;
        }
        if (with_all_quit) {
            if (std::strcmp(answer, "a") == 0 || std::strcmp(answer, "all") == 0) {
                result = 2;
                break;
            }
            if (std::strcmp(answer, "q") == 0 || std::strcmp(answer, "quit") == 0) {
                result = 3;
                break;
            }
        }
        std::fputs("\007Please answer 'yes' or 'no'\n", tty);
        std::fflush(tty);
    }
    std::fclose(tty);
    return result;
}

// ---- Banner ----

const char *printable(const char *s) {
    return (s != nullptr && std::isprint(static_cast<unsigned char>(s[0]))) ? s
                                                                          : nullptr;
}

// The build date as yyyy-mm-dd, from the compiler's "Mmm dd yyyy".
void build_date(char *out, std::size_t size) {
    static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const char *d = __DATE__;
    int month = 0;
    for (int i = 0; i < 12; i++)
        if (std::strncmp(months + 3 * i, d, 3) == 0) month = i + 1;
    int day = std::atoi(d + 4);
    int year = std::atoi(d + 7);
    std::snprintf(out, size, "%04d-%02d-%02d", year, month, day);
}

// Copies the value of `key` from an os-release line ("KEY=value" or
// KEY="value") into out; false when the line holds another key.
bool os_release_value(const char *line, const char *key, char *out,
                      std::size_t size) {
    std::size_t klen = std::strlen(key);
    if (std::strncmp(line, key, klen) != 0 || line[klen] != '=') return false;
    const char *v = line + klen + 1;
    if (*v == '"' || *v == '\'') v++;
    std::size_t n = std::strcspn(v, "\"'\n");
    if (n >= size) n = size - 1;
    std::memcpy(out, v, n);
    out[n] = '\0';
    return true;
}

// The name and version of the distribution the board runs.
void distribution(char *out, std::size_t size) {
    char name[128] = "";
    char version[64] = "";
    if (FILE *f = std::fopen("/etc/os-release", "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, f) != nullptr) {
            os_release_value(line, "NAME", name, sizeof name);
            os_release_value(line, "VERSION_ID", version, sizeof version);
        }
        std::fclose(f);
    }
    if (name[0] == '\0') std::snprintf(name, sizeof name, "unknown");
    if (version[0] == '\0')
        std::snprintf(out, size, "%s", name);
    else
        std::snprintf(out, size, "%s %s", name, version);
}

constexpr const char kProduct[] = "Korvanel";
constexpr const char kRelease[] = "3.0";

const char kDeprecated[] =
    "\n\n*** Please note: This program is deprecated, ***\n"
    "*** and may disappear from future releases.  ***\n\n";

}  // namespace

extern "C" {

int is_tty(int fd) {
    struct termios t;
    return tcgetattr(fd, &t) == 0 ? 1 : 0;
}

int tty_noecho(int fd) { return switch_mode(fd, Mode::NoEcho); }
int tty_echo(int fd) { return switch_mode(fd, Mode::Echo); }
int tty_immediate(int fd) { return switch_mode(fd, Mode::Immediate); }
int tty_byline(int fd) { return switch_mode(fd, Mode::ByLine); }

int tty_reset(int fd) {
    SavedSetting &s = saved_setting();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.saved) return 0;  // nothing was ever changed
    if (tcsetattr(fd, TCSAFLUSH, &s.save) != 0) {
        elog_log(1, "Can't set terminal attributes\n");
        return -2;
    }
    return 0;
}

char *ask(char *fmt, ...) {
    FILE *tty = open_tty("r+");
    va_list args;
    va_start(args, fmt);
    write_prompt(tty, fmt, args);
    va_end(args);
    char answer[kMaxAnswer + 1];
    read_answer(tty, answer);
    std::fclose(tty);
    return BASALT_STRDUP(answer, "answer");
}

char *asknoecho(char *fmt, ...) {
    FILE *out = open_tty("w");
    va_list args;
    va_start(args, fmt);
    write_prompt(out, fmt, args);
    va_end(args);
    FILE *in = open_tty("r");
    char answer[kMaxAnswer + 1];
    tty_noecho(fileno(in));
    read_answer(in, answer);
    tty_reset(fileno(in));
    std::fclose(in);
    std::fputs("\n", out);
    std::fclose(out);
    return BASALT_STRDUP(answer, "answer");
}

int askyn(char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int result = ask_choice(false, fmt, args);
    va_end(args);
    return result;
}

int askynaq(char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int result = ask_choice(true, fmt, args);
    va_end(args);
    return result;
}

void cbanner(char *version, char *usage, char *author, char *location,
             char *email) {
    const char *path = getexecname();
    if (path == nullptr || *path == '\0') path = "** unknown **";
    const char *slash = std::strrchr(path, '/');
    const char *name = slash != nullptr ? slash + 1 : path;

    if (const char *v = printable(version)) std::fprintf(stderr, "%s %s\n", name, v);
    struct stat st;
    if (restat(path, &st) == 0) {
        char when[64];
        time_t mtime = st.st_mtime;
        if (ctime_r(&mtime, when) != nullptr) std::fprintf(stderr, "    %s\n", when);
    }
    if (const char *u = printable(usage))
        std::fprintf(stderr, "  Usage: %s %s\n\n", name, u);

    struct utsname uts;
    const char *sysname = "unknown";
    const char *kernel = "unknown";
    if (uname(&uts) == 0) {
        sysname = uts.sysname;
        kernel = uts.release;
    }
    char distro[256];
    distribution(distro, sizeof distro);
    char date[32];
    build_date(date, sizeof date);
    std::fprintf(stderr, "    %s (contributed software)\n\tRelease %s %s %s %s %s \n\n",
                 kProduct, kRelease, sysname, distro, kernel, date);

    if (const char *a = printable(author)) std::fprintf(stderr, "    %s\n", a);
    if (const char *l = printable(location)) std::fprintf(stderr, "    %s\n\n", l);
    if (const char *e = printable(email))
        std::fprintf(stderr, "    Please report problems to %s\n\n", e);
    std::fflush(stderr);
}

void deprecate(char *alternates) {
    if (printable(alternates) != nullptr)
        elog_complain(0, "%s*** %s ***\n\n", kDeprecated, alternates);
    else
        elog_complain(0, "%s", kDeprecated);
}

}  // extern "C"
