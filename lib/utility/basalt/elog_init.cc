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

// Whether a parameter-file parse is under way in the process (`Pf_busy`).
// The parameter-file reader does not exist yet, so none ever is.
bool parameter_file_busy() { return false; }

// Reads the parameter file "elog" and applies it: ELOG_MAXMSG, ELOG_WAIT,
// ELOG_SIGNALS and the arrays ELOG_DELIVER, ELOG_TAG and ELOG_DEBUG.
//
// PARAMETER FILE: this is the one place where the "elog" parameter file is
// read, once the parameter-file reader (pfread) is part of the library:
// pfread("elog"), then Max_msg and Elog_wait from the scalars, the file's
// signal list (an empty text when the key is absent) into `file.signals`,
// and for each array present every severity set to a copy of its value or
// to its default; the tree is freed whether the read worked or not. Until
// then no file is read and the built-in defaults apply.
void read_parameter_file(FileSettings &file) {
    if (parameter_file_busy()) return;
    file.read = false;
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
