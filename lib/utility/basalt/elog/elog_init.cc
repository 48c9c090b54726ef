// The error log: initialisation. Copies the program's arguments, names the
// program and, once per process, configures the log from its built-in
// defaults, the "elog" parameter file and the environment.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "alloc.h"
#include "elog.h"
#include "elog_private.h"
#include "kitbag.h"
#include "pf.h"
#include "pf_private.h"
#include "tbl.h"

using namespace basalt::elog_detail;

namespace {

// Longest value of one item of the environment syntax.
constexpr int kMaxEnvValue = 1023;

// What the "elog" parameter file set.
struct FileSettings {
    bool read = false;     // the file was read
    char *signals = nullptr;  // its ELOG_SIGNALS ("" when absent)
};

// Whether a parameter-file parse (or path walk) is under way in this
// thread: Pf_busy counts them for the process, and the parser's helpers
// keep the share of the calling thread. Only a parse of this very thread
// keeps the log from reading its file (it would wait on the parser lock
// the thread holds); a parse in another thread is waited for (the parser
// logs only once it has let go of its lock), so "elog" is never missed.
bool parameter_file_busy() { return basalt::pf_detail::busy_here(); }

// The text of the scalar under key, or null.
const char *file_scalar(Pf *pf, const char *key) {
    void *value = nullptr;
    return pfget(pf, key, &value) == SCALAR_PF ? static_cast<const char *>(value) : nullptr;
}

// When the file has the array key, every severity takes a copy of the
// array's value under its name, or its default when the name is absent.
void file_array(Pf *pf, const char *key, Setting *settings, const char *const *defaults) {
    void *value = nullptr;
    if (pfget(pf, key, &value) != ARRAY_PF) return;
    Pf *array = static_cast<Pf *>(value);
    for (int s = 0; s < kSeverities; s++) {
        const char *text = file_scalar(array, kSeverityNames[s]);
        if (text != nullptr) {
            set_owned_copy(settings[s], text, true);
        } else {
            set_default(settings[s], defaults[s], true);
        }
    }
}

// Reads the parameter file "elog" and applies it: ELOG_MAXMSG, ELOG_WAIT,
// ELOG_SIGNALS and the arrays ELOG_DELIVER, ELOG_TAG and ELOG_DEBUG. The
// signal list (an empty text when the key is absent) is kept for the
// process: the fault-signal setup records it as it stands. The tree is
// freed whether the read worked or not.
void read_parameter_file(FileSettings &file) {
    file.read = false;
    if (parameter_file_busy()) return;
    const int saved_errno = errno;
    Pf *pf = nullptr;
    if (pfread("elog", &pf) == 0) {
        file.read = true;
        if (const char *text = file_scalar(pf, "ELOG_MAXMSG")) max_msg.store(std::atoi(text));
        if (const char *text = file_scalar(pf, "ELOG_WAIT")) elog_wait.store(std::atoi(text));
        const char *signals = file_scalar(pf, "ELOG_SIGNALS");
        // Read once per process; kept whether or not it is installed.
        static char *file_signals = nullptr;
        file_signals = BASALT_STRDUP(signals != nullptr ? signals : "", "Faults");
        file.signals = file_signals;
        file_array(pf, "ELOG_DELIVER", deliver_setting, kDefaultDeliver);
        file_array(pf, "ELOG_TAG", tag_setting, kDefaultTag);
        file_array(pf, "ELOG_DEBUG", debug_setting, kDefaultDebug);
    }
    pffree(pf);
    errno = saved_errno;
}

// Copies argv (up to argc entries or the first null one) into Argv. The
// entries are counted first, so that the array is sized by what is copied
// (a huge argc with a short argv cannot overflow the size on 32 bits).
void copy_arguments(int argc, char **argv) {
    int n = 0;
    if (argv != nullptr) {
        while (n < argc && argv[n] != nullptr) n++;
    }
    char **copy = static_cast<char **>(
        BASALT_MALLOC((static_cast<std::size_t>(n) + 1) * sizeof(char *), "Argv"));
    for (int i = 0; i < n; i++) copy[i] = BASALT_STRDUP(argv[i], "Argv");
    copy[n] = nullptr;
    // A previous copy may still be in use by another thread's %a or %r.
    retire(argv_copy.exchange(copy));
    argc_copy.store(n);
}

// Program_Name: the last path component of the executable, else argv[0].
void name_program(char **argv) {
    char name[kProgramNameSize];
    const char *path = getexecname();
    const char *last = path ? std::strrchr(path, '/') : nullptr;
    std::snprintf(name, sizeof name, "%s", last ? last + 1 : (path ? path : ""));
    if (name[0] == '\0' && argv != nullptr && argv[0] != nullptr)
        std::snprintf(name, sizeof name, "%s", argv[0]);
    // Written only when it changes: other threads read it without a lock.
    if (std::strcmp(name, Program_Name) != 0) std::memcpy(Program_Name, name, sizeof name);
}

int severity_of_letter(char c) {
    switch (c) {
        case 'l': return kLog;
        case 'n': return kNotify;
        case 'c': return kComplain;
        case 'd': return kDie;
        case 'f': return kFault;
        case 'D': return kDebug;
        case 'a': return kAlert;
        default: return -1;
    }
}

// Sets one severity to a value: a copy of it, or the default when empty.
void assign(Setting *settings, const char *const *defaults, int severity,
            const char *value) {
    if (value[0] == '\0') {
        set_default(settings[severity], defaults[severity], true);
    } else {
        set_owned_copy(settings[severity], value, true);
    }
}

void assign_all(Setting *settings, const char *const *defaults, const char *value) {
    for (int s = 0; s < kSeverities; s++) assign(settings, defaults, s, value);
}

// Applies the environment syntax: items of a value, then "@" and severity
// letters; an item without letters sets every severity.
void apply_environment(const char *text, Setting *settings, const char *const *defaults) {
    char value[kMaxEnvValue + 1];
    int length = 0;
    bool letter_mode = false;
    int letters = 0;
    value[0] = '\0';
    for (const char *p = text; *p != '\0'; p++) {
        const char c = *p;
        if (!letter_mode) {
            char take = c;
            if (c == '\\') {
                if (p[1] != '\0') take = *++p;
            } else if (c == '@') {
                letter_mode = true;
                letters = 0;
                continue;
            }
            if (length < kMaxEnvValue) {
                value[length++] = take;
                value[length] = '\0';
            }
            continue;
        }
        if (c == ' ' || c == '@') {
            if (letters == 0) assign_all(settings, defaults, value);
            length = 0;
            value[0] = '\0';
            letter_mode = false;
            continue;
        }
        letters++;
        int severity = severity_of_letter(c);
        if (severity < 0) {
            report_failure("Unrecognized severity '%s'\n", p);
        } else {
            assign(settings, defaults, severity, value);
        }
    }
    if (!letter_mode || letters == 0) assign_all(settings, defaults, value);
}

void fill_unset(Setting *settings, const char *const *defaults) {
    for (int s = 0; s < kSeverities; s++) {
        if (setting_value(settings[s]) == nullptr) set_default(settings[s], defaults[s], true);
    }
}

// Restores errno when it goes out of scope.
class SavedErrno {
  public:
    SavedErrno() : saved_(errno) { errno = 0; }
    ~SavedErrno() { errno = saved_; }
    SavedErrno(const SavedErrno &) = delete;
    SavedErrno &operator=(const SavedErrno &) = delete;

  private:
    int saved_;
};

}  // namespace

int elog_init(int argc, char **argv) {
    SavedErrno saved_errno;
    RegisterLock lock;

    if (argc > 0) copy_arguments(argc, argv);
    name_program(argv);

    if (initialised.load(std::memory_order_acquire)) return 0;

    FileSettings file;
    read_parameter_file(file);

    if (const char *env = std::getenv("ELOG_MAXMSG")) max_msg.store(std::atoi(env));

    if (register_tbl == nullptr)
        register_tbl = inittbl(0, max_msg.load(), 1, nullptr, sizeof(Elog_msg));

    if (char *env = std::getenv("ELOG_SIGNALS")) {
        elog_setup_fault_handler(env);
    } else if (file.read) {
        elog_setup_fault_handler(file.signals);
    } else {
        elog_setup_fault_handler(const_cast<char *>(kDefaultSignals));
    }

    if (const char *env = std::getenv("ELOG_DELIVER")) {
        apply_environment(env, deliver_setting, kDefaultDeliver);
    } else {
        fill_unset(deliver_setting, kDefaultDeliver);
    }
    if (const char *env = std::getenv("ELOG_TAG")) {
        apply_environment(env, tag_setting, kDefaultTag);
    } else {
        fill_unset(tag_setting, kDefaultTag);
    }
    if (const char *env = std::getenv("ELOG_DEBUG")) {
        apply_environment(env, debug_setting, kDefaultDebug);
    }

    if (const char *env = std::getenv("ELOG_WAIT")) elog_wait.store(std::atoi(env));

    initialised.store(true, std::memory_order_release);
    return 0;
}
