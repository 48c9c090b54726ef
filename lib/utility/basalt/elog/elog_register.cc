// The error log: the register of messages, the logging entry points, the
// register operations and the query/set interface.
//
// Locking. The register lock guards the register; the logging path folds
// or appends under it, and delivery (elog_deliver) holds it from the first
// message it prints until it has dropped what it delivered, so that a
// message another thread appends meanwhile is either delivered by that
// delivery or stays in the register, never dropped unseen. A thread that
// logs while it already holds the lock, or from inside the logging path
// itself (an out-of-memory death while a message is being stored, a
// message of the callback or of the log relay), does not touch the register:
// its message goes straight to standard error. When that message is fatal,
// the message of the interrupted call is written first if it never reached
// the register, so the reason for the failure is not lost.
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "alloc.h"
#include "elog.h"
#include "elog_private.h"
#include "tbl.h"

namespace basalt::elog_detail {

const char *const kSeverityNames[kSeverities] = {
    "log", "notify", "complain", "die", "fault", "debug", "alert"};
const char *const kDefaultTag[kSeverities] = {
    "%P", "%P", "%P", "%P *fatal*", "%P *fault*", "%P *debug*", "%P *alert*"};
const char *const kDefaultDeliver[kSeverities] = {
    "", "stderr", "stderr", "stderr", "stderr", "stderr", "stderr"};
const char *const kDefaultDebug[kSeverities] = {
    nullptr, nullptr, nullptr, "ups %r %p &", "ups %r %p &", nullptr, nullptr};
const char kDefaultSignals[] = "ILL:TRAP:FPE:BUS:SEGV:SYS";

Setting tag_setting[kSeverities];
Setting deliver_setting[kSeverities];
Setting debug_setting[kSeverities];

std::mutex register_mutex;
Tbl *register_tbl = nullptr;
std::atomic<bool> initialised{false};
std::atomic<int> max_msg{50};
std::atomic<int> elog_wait{10};
std::atomic<char *> faults{nullptr};
std::atomic<Callback> callback{nullptr};
std::atomic<int> argc_copy{0};
std::atomic<char **> argv_copy{nullptr};

thread_local bool holding_register = false;

namespace {

// The limit test and the final delivery run under `Limit`.
std::mutex limit_mutex;

// Depth of the logging path in this thread (see the file comment).
thread_local int logging_depth = 0;

class LoggingDepth {
  public:
    LoggingDepth() { ++logging_depth; }
    ~LoggingDepth() { --logging_depth; }
    LoggingDepth(const LoggingDepth &) = delete;
    LoggingDepth &operator=(const LoggingDepth &) = delete;
};

// Strings and arrays replaced while other threads may still read them.
Tbl *retired = nullptr;

constexpr char kTruncated[] = "\n\t...  ** truncated by elog ***\n";
constexpr int kTruncateAt = 10207;
constexpr char kVersion[] = "$Revision: 1.84 $";

// Formats a message into text (kMessageBuffer bytes): at most 10237
// characters, cut with the truncation notice when the whole text would
// have been longer than the buffer, always ending in a newline.
void format_message(char *text, const char *format, va_list args) {
    int len = 0;
    text[0] = '\0';
    if (format != nullptr && format[0] != '\0') {
        len = std::vsnprintf(text, kMessageBuffer - 2, format, args);
        if (len < 0) {
            text[0] = '\0';
            len = 0;
        }
    }
    std::size_t used;
    if (len > kMessageBuffer) {
        std::memcpy(text + kTruncateAt, kTruncated, sizeof kTruncated);
        used = kTruncateAt + sizeof kTruncated - 1;
    } else {
        used = std::strlen(text);
    }
    if (used == 0 || text[used - 1] != '\n') {
        text[used++] = '\n';
        text[used] = '\0';
    }
}

// The message of the logging call under way in this thread, kept so that a
// fatal message raised inside that call before the message reached the
// register (running out of memory while the log initialises itself or
// stores the message, a fault signal) can show it before the process ends;
// otherwise the message that explains the failure would be lost.
struct PendingMessage {
    int severity;
    const char *format;
    va_list *args;     // a copy of the caller's arguments, not yet used
    const char *sys;   // system error text, or null
    const char *text;  // the formatted text, once there is one
    bool stored;       // it reached the register
    bool shown;
};

thread_local PendingMessage *pending = nullptr;

class PendingScope {
  public:
    explicit PendingScope(PendingMessage *message) : previous_(pending) { pending = message; }
    ~PendingScope() { pending = previous_; }
    PendingScope(const PendingScope &) = delete;
    PendingScope &operator=(const PendingScope &) = delete;

  private:
    PendingMessage *previous_;
};

// Writes one message to standard error in the text layout, with one write.
void write_to_stderr(int severity, const char *text, const char *sys) {
    char tag[kTagBuffer];
    expand_tag(severity, tag);
    char out[kMessageBuffer + kTagBuffer + 512];
    int n = std::snprintf(out, sizeof out, "%s%s%s%s%s%s", tag,
                          tag[0] != '\0' ? ": " : "", text, sys ? "\t" : "",
                          sys ? sys : "", sys ? "\n" : "");
    if (n < 0) return;
    std::size_t len = static_cast<std::size_t>(n) < sizeof out
                          ? static_cast<std::size_t>(n)
                          : sizeof out - 1;
    const char *p = out;
    while (len > 0) {
        ssize_t w = ::write(STDERR_FILENO, p, len);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        p += w;
        len -= static_cast<std::size_t>(w);
    }
}

// A message that must not go through the register: written to standard
// error at once. Before a fatal one, the interrupted message of this
// thread's logging call is shown too when it never reached the register; it
// is formatted here only for a death (a fault may have come from its
// arguments).
void emergency_message(int severity, const char *text, const char *sys) {
    std::fflush(stdout);
    PendingMessage *outer = pending;
    if ((severity == kDie || severity == kFault) && outer != nullptr && !outer->stored &&
        !outer->shown && (outer->text != nullptr || severity == kDie)) {
        outer->shown = true;
        if (outer->text != nullptr) {
            write_to_stderr(outer->severity, outer->text, outer->sys);
        } else {
            char outer_text[kMessageBuffer];
            va_list again;
            va_copy(again, *outer->args);
            format_message(outer_text, outer->format, again);
            va_end(again);
            write_to_stderr(outer->severity, outer_text, outer->sys);
        }
    }
    write_to_stderr(severity, text, sys);
}

char *dup_or_null(const char *s, const char *what) {
    return s ? BASALT_STRDUP(s, what) : nullptr;
}

// Stores a new message (or folds it into the last entry).
void store_message(int severity, const char *text, const char *sys) {
    {
        RegisterLock lock;
        Tbl *reg = register_tbl;
        if (reg != nullptr && maxtbl(reg) > 0) {
            auto *last = static_cast<Elog_msg *>(gettbl(reg, maxtbl(reg) - 1));
            if (last->msg != nullptr && std::strcmp(last->msg, text) == 0) {
                last->n++;
                return;
            }
        }
    }

    Elog_msg entry{};
    if (std::strcmp(text, "\n") == 0) {
        entry.msg = BASALT_STRDUP("\n", "msg");
    } else {
        char tag[kTagBuffer + 1];
        const bool tag_set = setting_value(tag_setting[severity]) != nullptr;
        if (text[0] == '\n') {
            tag[0] = '\n';
            expand_tag(severity, tag + 1);
            entry.tag = BASALT_STRDUP(tag, "tag");
            entry.msg = BASALT_STRDUP(text + 1, "msg");
        } else {
            expand_tag(severity, tag);
            entry.tag = tag_set ? BASALT_STRDUP(tag, "tag") : nullptr;
            entry.msg = BASALT_STRDUP(text, "msg");
        }
    }
    entry.sys = dup_or_null(sys, "sys");
    entry.severity = severity;
    entry.n = 1;

    RegisterLock lock;
    if (register_tbl != nullptr) {
        pushtbl(register_tbl, &entry);
    } else {
        elog_free_msg(&entry);
    }
}

// Hands the text of the messages from `first` on to the callback, under the
// register lock; a nonzero result drops them. With `only_when_waiting` the
// callback is called only when there are such messages.
void run_callback(int severity, int first, bool only_when_waiting) {
    Callback cb = callback.load();
    if (cb == nullptr) return;
    RegisterLock lock;
    if (register_tbl == nullptr) return;
    char *text = elog_string(first);
    if (!only_when_waiting || maxtbl(register_tbl) > first) {
        if (cb(severity, text, register_tbl) != 0) truncate_register(first);
    }
    std::free(text);
}

// Ends the process when the register has reached the message limit.
void check_limit() {
    const int limit = max_msg.load();
    if (limit <= 0) return;
    std::unique_lock<std::mutex> hold(limit_mutex);
    int count;
    {
        RegisterLock lock;
        count = register_tbl ? maxtbl(register_tbl) : 0;
    }
    if (count < limit) return;
    elog_deliver(setting_value(deliver_setting[kDie]), 0);
    char tag[kTagBuffer];
    expand_tag(kDie, tag);
    std::fprintf(stderr,
                 "%s: quitting because log has %d messages\n"
                 "   eliminate this limit with\n"
                 "      setenv ELOG_MAXMSG 0\n"
                 "   or by editing elog.pf.  See elog(3).\n",
                 tag, count);
    std::fflush(stderr);
    hold.unlock();
    std::exit(1);
}

Elog_msg *copy_msg(const Elog_msg *m) {
    Elog_msg *c = BASALT_NEW_RECORD(Elog_msg, "msg");
    c->tag = dup_or_null(m->tag, "tag");
    c->msg = dup_or_null(m->msg, "msg");
    c->sys = dup_or_null(m->sys, "sys");
    c->severity = m->severity;
    c->n = m->n;
    return c;
}

bool valid_severity(int severity) {
    return severity >= 0 && severity < kSeverities;
}

Setting *settings_for(Elog_code code) {
    switch (code) {
        case ELOG_TAG: return tag_setting;
        case ELOG_DELIVER: return deliver_setting;
        case ELOG_DEBUG: return debug_setting;
        default: return nullptr;
    }
}

void *int_value(int n) {
    return reinterpret_cast<void *>(static_cast<intptr_t>(n));
}

int value_int(void *value) {
    return static_cast<int>(reinterpret_cast<intptr_t>(value));
}

void ensure_initialised() {
    if (!initialised.load(std::memory_order_acquire)) elog_init(0, nullptr);
}

}  // namespace

void retire(void *p) {
    if (p == nullptr) return;
    RegisterLock lock;
    if (retired == nullptr) retired = newtbl(0);
    pushtbl(retired, p);
}

void set_owned_copy(Setting &s, const char *text, bool free_old) {
    char *old = s.value.load();
    bool old_owned = s.owned;
    s.value.store(BASALT_STRDUP(text, "value"));
    s.owned = true;
    if (old_owned) free_old ? std::free(old) : retire(old);
}

void set_default(Setting &s, const char *text, bool free_old) {
    char *old = s.value.load();
    bool old_owned = s.owned;
    s.value.store(const_cast<char *>(text));
    s.owned = false;
    if (old_owned) free_old ? std::free(old) : retire(old);
}

void set_callers(Setting &s, char *text) {
    char *old = s.value.load();
    bool old_owned = s.owned;
    s.value.store(text);
    s.owned = false;
    if (old_owned) retire(old);
}

void system_error_text(int err, char *buf, std::size_t size) {
    const char *text = nullptr;
#if defined(__GLIBC__) && __GLIBC_PREREQ(2, 32)
    text = strerrordesc_np(err);
#else
    char tmp[256];
    text = strerror_r(err, tmp, sizeof tmp);
    if (text != nullptr && std::strncmp(text, "Unknown error", 13) == 0)
        text = nullptr;
#endif
    if (text != nullptr) {
        std::snprintf(buf, size, "%s", text);
    } else {
        std::snprintf(buf, size, "Unknown error: %d", err);
    }
}

void truncate_register(int n) {
    if (!initialised.load(std::memory_order_acquire) && !holding_register) return;
    RegisterLock lock;
    if (register_tbl != nullptr) trunctbl(register_tbl, n, elog_free_msg);
}

void expand_tag(int severity, char *out) {
    char *format = setting_value(tag_setting[severity]);
    if (format == nullptr) {
        out[0] = '\0';
        return;
    }
    elog_expand(format, out, kTagLimit);
}

}  // namespace basalt::elog_detail

using namespace basalt::elog_detail;

namespace {
char program_name_buffer[kProgramNameSize];
}

char *Program_Name = program_name_buffer;
int Immediate_Flag = 0;

void elog_free_msg(void *p) {
    auto *m = static_cast<Elog_msg *>(p);
    if (m == nullptr) return;
    std::free(m->tag);
    std::free(m->msg);
    std::free(m->sys);
    m->tag = m->msg = m->sys = nullptr;
}

void elog(int severity, int flag, const char *format, va_list args) {
    const int entry_errno = errno;
    if (severity < 0 || severity >= kSeverities) severity = kComplain;
    char sys[256];
    const bool with_sys = flag != 0 && entry_errno != 0;
    if (with_sys) system_error_text(entry_errno, sys, sizeof sys);
    char text[kMessageBuffer];

    if (holding_register || logging_depth > 0) {
        format_message(text, format, args);
        emergency_message(severity, text, with_sys ? sys : nullptr);
        errno = 0;
        return;
    }

    va_list saved;
    va_copy(saved, args);
    PendingMessage message{severity, format, &saved, with_sys ? sys : nullptr,
                           nullptr, false, false};
    {
        PendingScope scope(&message);
        ensure_initialised();
        errno = entry_errno;  // for a %m in the format
        format_message(text, format, args);
        message.text = text;

        LoggingDepth depth;
        store_message(severity, text, with_sys ? sys : nullptr);
        message.stored = true;
        errno = 0;
        {
            // The callback sees every message that this delivery prints.
            RegisterLock lock;
            run_callback(severity, 0, false);
            elog_deliver(setting_value(deliver_setting[severity]), 0);
        }
        char *debugger = setting_value(debug_setting[severity]);
        if (debugger != nullptr && debugger[0] != '\0') _elog_debug(debugger);
        check_limit();
    }
    va_end(saved);
    errno = 0;
}

#define BASALT_ELOG_ENTRY(name, severity)           \
    void name(int flag, const char *format, ...) {  \
        va_list args;                               \
        va_start(args, format);                     \
        elog((severity), flag, format, args);       \
        va_end(args);                               \
    }

BASALT_ELOG_ENTRY(elog_log, kLog)
BASALT_ELOG_ENTRY(elog_notify, kNotify)
BASALT_ELOG_ENTRY(elog_complain, kComplain)
BASALT_ELOG_ENTRY(elog_debug, kDebug)
BASALT_ELOG_ENTRY(elog_alert, kAlert)
BASALT_ELOG_ENTRY(register_error, kLog)
BASALT_ELOG_ENTRY(complain, kComplain)

#undef BASALT_ELOG_ENTRY

void elog_die(int flag, const char *format, ...) {
    va_list args;
    va_start(args, format);
    elog(kDie, flag, format, args);
    va_end(args);
    std::exit(1);
}

void die(int flag, const char *format, ...) {
    va_list args;
    va_start(args, format);
    elog(kDie, flag, format, args);
    va_end(args);
    std::exit(1);
}

void elog_fault(int flag, const char *format, ...) {
    va_list args;
    va_start(args, format);
    elog(kFault, flag, format, args);
    va_end(args);
    std::abort();
}

void elog_clear(void) {
    truncate_register(0);
    errno = 0;
}

int elog_mark(void) {
    ensure_initialised();
    RegisterLock lock;
    return register_tbl ? maxtbl(register_tbl) : 0;
}

void elog_truncate(int n) { truncate_register(n); }

void elog_flush(int deliver, int n) {
    if (!initialised.load(std::memory_order_acquire) && !holding_register) return;
    // One hold of the lock for the whole operation: what is delivered is
    // exactly what is then dropped.
    RegisterLock lock;
    if (deliver) {
        run_callback(kNotify, n, true);
        elog_deliver(setting_value(deliver_setting[kComplain]), n);
    }
    truncate_register(n);
}

void elog_clear_register(int deliver) {
    if (!initialised.load(std::memory_order_acquire) && !holding_register) return;
    RegisterLock lock;
    if (deliver) {
        run_callback(kNotify, 0, false);
        elog_deliver(setting_value(deliver_setting[kComplain]), 0);
    }
    truncate_register(0);
}

int elog_query(Elog_code code, int severity, void **value) {
    ensure_initialised();
    if (value == nullptr) return -1;
    switch (code) {
        case ELOG_TBL: {
            RegisterLock lock;
            *value = register_tbl;
            return 0;
        }
        case ELOG_TBLCP:
        case ELOG_TBLCPCL: {
            RegisterLock lock;
            const int count = register_tbl ? maxtbl(register_tbl) : 0;
            Tbl *copy = newtbl(count);
            for (int i = 0; i < count; i++)
                pushtbl(copy, copy_msg(static_cast<Elog_msg *>(gettbl(register_tbl, i))));
            if (code == ELOG_TBLCPCL) truncate_register(0);
            *value = copy;
            return 0;
        }
        case ELOG_ARGV:
            *value = argv_copy.load();
            return 0;
        case ELOG_ARGC:
            *value = int_value(argc_copy.load());
            return 0;
        case ELOG_COUNT: {
            RegisterLock lock;
            *value = int_value(register_tbl ? maxtbl(register_tbl) : 0);
            return 0;
        }
        case ELOG_VERSION:
            *value = const_cast<char *>(kVersion);
            return 0;
        case ELOG_MAXMSG:
            *value = int_value(max_msg.load());
            return 0;
        case ELOG_TAG:
        case ELOG_DELIVER:
        case ELOG_DEBUG:
            if (!valid_severity(severity)) return -1;
            *value = setting_value(settings_for(code)[severity]);
            return 0;
        case ELOG_SIGNALS:
            *value = faults.load();
            return 0;
        case ELOG_CALLBACK:
            *value = reinterpret_cast<void *>(callback.load());
            return 0;
        case ELOG_STRING:
            *value = elog_string(severity);
            return 0;
    }
    return -1;
}

int elog_set(Elog_code code, int severity, void *value) {
    ensure_initialised();
    switch (code) {
        case ELOG_TBL: {
            if (value == nullptr) return -1;
            RegisterLock lock;
            register_tbl = static_cast<Tbl *>(value);
            return 0;
        }
        case ELOG_ARGV: {
            RegisterLock lock;
            // The log's own copy may still be read by another thread's %a.
            retire(argv_copy.exchange(static_cast<char **>(value)));
            return 0;
        }
        case ELOG_ARGC:
            argc_copy.store(value_int(value));
            return 0;
        case ELOG_COUNT:
            truncate_register(value_int(value));
            return 0;
        case ELOG_MAXMSG:
            max_msg.store(value_int(value));
            return 0;
        case ELOG_TAG:
        case ELOG_DELIVER:
        case ELOG_DEBUG: {
            if (!valid_severity(severity)) return -1;
            RegisterLock lock;
            set_callers(settings_for(code)[severity], static_cast<char *>(value));
            return 0;
        }
        case ELOG_SIGNALS:
            elog_setup_fault_handler(static_cast<char *>(value));
            return 0;
        case ELOG_CALLBACK:
            callback.store(reinterpret_cast<Callback>(value));
            return 0;
        case ELOG_TBLCP:
        case ELOG_TBLCPCL:
        case ELOG_VERSION:
        case ELOG_STRING:
            return -1;
    }
    return -1;
}
