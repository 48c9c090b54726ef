// Parameter files: the text parser.
//
// The parser turns parameter-file text from a descriptor, a stdio stream or
// a string into a tree of Pf nodes. It keeps module-wide state (the
// container stack, the key buffer, the value buffer) and is not reentrant:
// the three entry points hold Pf_lock for the whole parse, so parses from
// different threads run one after another.
//
// The input is taken whole before the scan starts (from a descriptor or a
// stream it is read into a buffer of the module), so that the scanner can
// look as far ahead as a token needs: a quoted key may span lines, and a
// deferred-function line or an end marker is only one once its newline has
// been seen.
//
// Messages of a parse are held while the parse runs and logged once the
// lock has been released: a thread that waits in the error log's own
// initialisation for the parser (to read "elog") holds the log's lock, and
// a parser logging under Pf_lock would then wait for it forever.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "alloc.h"
#include "arrays.h"
#include "elog.h"
#include "hooks.h"
#include "pathtools.h"
#include "pf.h"
#include "pf_private.h"
#include "tbl.h"

int32_t Pf_busy = 0;

namespace basalt::pf_detail {
namespace {

struct HeldMessage {
    Severity severity;
    int flag;
    int err;
    std::string text;
};

// Messages held by the parse running on this thread, or null.
thread_local std::vector<HeldMessage> *held_messages = nullptr;
// Parses and path walks in progress on this thread.
thread_local int busy_on_thread = 0;

void log_now(Severity severity, int flag, int err, const char *text) {
    errno = err;
    if (severity == kComplain) {
        elog_complain(flag, "%s", text);
    } else {
        elog_log(flag, "%s", text);
    }
}

}  // namespace

void busy_raise() noexcept {
    std::atomic_ref<int32_t>(Pf_busy).fetch_add(1);
    busy_on_thread++;
}

void busy_lower() noexcept {
    busy_on_thread--;
    std::atomic_ref<int32_t>(Pf_busy).fetch_sub(1);
}

bool busy_here() noexcept { return busy_on_thread > 0; }

void report(Severity severity, int flag, const char *format, ...) {
    const int err = errno;
    char small[512];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    std::string text;
    try {
        if (n >= 0 && static_cast<std::size_t>(n) < sizeof small) {
            text.assign(small, static_cast<std::size_t>(n));
        } else if (n > 0) {
            text.resize(static_cast<std::size_t>(n));
            va_start(args, format);
            std::vsnprintf(text.data(), text.size() + 1, format, args);
            va_end(args);
        }
        if (held_messages != nullptr) {
            held_messages->push_back(HeldMessage{severity, flag, err, std::move(text)});
            return;
        }
    } catch (const std::bad_alloc &) {
        basalt::out_of_memory(__FILE__, __LINE__, static_cast<std::size_t>(n > 0 ? n : 0),
                              "message");
    }
    log_now(severity, flag, err, text.c_str());
}

}  // namespace basalt::pf_detail

using basalt::pf_detail::kComplain;
using basalt::pf_detail::kLog;
using basalt::pf_detail::report;

namespace {

constexpr int kMaxLevels = 10;        // nesting below the top
constexpr int kKeySize = 1024;        // key buffer, terminator included
constexpr std::size_t kWordKeep = 126;  // longest closing word kept
constexpr std::size_t kKeepInput = 64 * 1024;  // input buffer kept between parses
const char Parens[] = "{}()[]<>`'";
const char kUnknownName[] = "*pf filename unknown*";
const char kInternalBuffer[] = "*internal buffer*";

std::mutex Pf_lock;

// ---- Parser state, guarded by Pf_lock ----

Pf *Lex_pf;                    // container receiving the next value
Pf *Lex_value;                 // node just made
Pf *Lex_stack[kMaxLevels];     // enclosing containers of Lex_pf
int32_t Lex_level;             // slots of Lex_stack in use
char Lex_key[kKeySize];        // last key read
int Lex_lineno;                // current line
char *String_buf;              // value buffer, kept for the process
std::size_t StringSz;
std::size_t String_len;
int PFfd = -1;                 // input descriptor, or -1
FILE *Pf_stream;               // input stream, or null
const char *Pf_cp;             // input string cursor, or null
std::string Pffilename = kUnknownName;  // recorded in "&file(" values

char *Input_buf;               // text read from a descriptor or stream
std::size_t InputSz;

const char *In_begin;          // the whole input
const char *In_end;
const char *Cur;               // scan position

enum class State { kKey, kValue };
State Lex_state;
bool Key_waiting;              // a key was read and waits for its value
int Fail_depth;                // depth reported by a failed literal block

// The name set by setpffilename on this thread for its next parse.
thread_local std::string pending_name;
thread_local bool pending_name_set = false;

// ---- Value buffer ----

void sb_reset() { String_len = 0; }

void sb_grow() {
    // The larger of 128 bytes and twice the old size.
    if (StringSz > SIZE_MAX / 2) basalt::out_of_memory(__FILE__, __LINE__, SIZE_MAX, "String_buf");
    std::size_t size = StringSz * 2 < 128 ? 128 : StringSz * 2;
    String_buf = static_cast<char *>(BASALT_REALLOC(String_buf, size, "String_buf"));
    StringSz = size;
}

inline void sb_put(char c) {
    if (String_len + 1 >= StringSz) sb_grow();
    String_buf[String_len++] = c;
}

// Terminates the buffer and returns its text.
char *sb_text() {
    if (String_len + 1 > StringSz) sb_grow();
    String_buf[String_len] = '\0';
    return String_buf;
}

// ---- Input ----

void input_reserve(std::size_t need) {
    if (need <= InputSz) return;
    std::size_t size = InputSz < 4096 ? 4096 : InputSz;
    while (size < need) {
        if (size > SIZE_MAX / 2) basalt::out_of_memory(__FILE__, __LINE__, need, "Input_buf");
        size *= 2;
    }
    Input_buf = static_cast<char *>(BASALT_REALLOC(Input_buf, size, "Input_buf"));
    InputSz = size;
}

void input_release() {
    if (InputSz > kKeepInput) {
        std::free(Input_buf);
        Input_buf = nullptr;
        InputSz = 0;
    }
}

// Reads the whole descriptor; a read failure ends the input.
std::size_t load_fd(int fd) {
    std::size_t len = 0;
    for (;;) {
        input_reserve(len + 4096);
        ssize_t n = reread(fd, Input_buf + len, InputSz - len);
        if (n < 0) {
            report(kLog, 1, "read failed in pf input routine\n");
            break;
        }
        if (n == 0) break;
        len += static_cast<std::size_t>(n);
    }
    return len;
}

std::size_t load_stream(FILE *file) {
    std::size_t len = 0;
    for (;;) {
        input_reserve(len + 4096);
        std::size_t n = std::fread(Input_buf + len, 1, InputSz - len, file);
        len += n;
        if (n == 0) {
            if (std::ferror(file)) report(kLog, 1, "read failed in pf input routine\n");
            break;
        }
    }
    return len;
}

inline bool at_end() { return Cur >= In_end; }

inline bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The next newline at or after p, or null.
inline const char *find_newline(const char *p) {
    if (p >= In_end) return nullptr;
    return static_cast<const char *>(std::memchr(p, '\n', static_cast<std::size_t>(In_end - p)));
}

// Discards the rest of the current line and its newline.
void skip_rest_of_line() {
    const char *nl = find_newline(Cur);
    if (nl == nullptr) {
        Cur = In_end;
    } else {
        Cur = nl + 1;
        Lex_lineno++;
    }
}

void count_lines(const char *from, const char *to) {
    for (const char *p = from; p < to; p++)
        if (*p == '\n') Lex_lineno++;
}

bool starts_with(const char *p, const char *word) {
    std::size_t n = std::strlen(word);
    return static_cast<std::size_t>(In_end - p) >= n && std::memcmp(p, word, n) == 0;
}

// Decodes the escape whose backslash has just been passed; p points at the
// character after it and limit ends what the escape may take. Returns the
// position after the escape; *produced is false when nothing was produced
// (a backslash at the very end).
const char *decode_escape(const char *p, const char *limit, char *out, bool *produced) {
    *produced = false;
    if (p >= limit) return p;
    const char c = *p;
    if (c >= '0' && c <= '9') {
        // The digit and up to two more characters, never a newline and never
        // past the end, read as octal up to the first non-octal digit.
        const char *q = p + 1;
        int taken = 1;
        while (taken < 3 && q < limit && *q != '\n') {
            q++;
            taken++;
        }
        int value = 0;
        for (const char *d = p; d < q && *d >= '0' && *d <= '7'; d++) value = value * 8 + (*d - '0');
        *out = static_cast<char>(value & 0xff);
        *produced = true;
        return q;
    }
    switch (c) {
        case 'n': *out = '\n'; break;
        case 'r': *out = '\r'; break;
        case 't': *out = '\t'; break;
        case 'b': *out = '\b'; break;
        default: *out = c; break;
    }
    *produced = true;
    return p + 1;
}

// ---- Storing ----

void set_key(const char *text, std::size_t len) {
    if (len > kKeySize - 1) {
        report(kLog, 0, "key longer than %d characters cut at line #%d\n", kKeySize - 1,
               Lex_lineno);
        len = kKeySize - 1;
    }
    std::memcpy(Lex_key, text, len);
    Lex_key[len] = '\0';
}

void state_for_container() {
    Lex_state = Lex_pf->type == TABLE_PF ? State::kValue : State::kKey;
}

// Stores node in the current container: appended to a list, or under the
// last key in an array (the value displaced is freed).
void store(Pf *node) {
    node->parent = Lex_pf;
    Lex_value = node;
    if (Lex_pf->type == TABLE_PF) {
        pushtbl(Lex_pf->value.tbl, node);
    } else {
        pffree(static_cast<Pf *>(setarr(Lex_pf->value.arr, Lex_key, node)));
    }
    Key_waiting = false;
    state_for_container();
}

Pf *new_scalar(const char *text, std::size_t len) {
    Pf *node = pfnew(SCALAR_PF);
    char *s = static_cast<char *>(BASALT_MALLOC(len + 1, "pf"));
    std::memcpy(s, text, len);
    s[len] = '\0';
    node->value.s = s;
    return node;
}

void store_scalar(const char *text) { store(new_scalar(text, std::strlen(text))); }

// ---- Tokens ----

// "&Tbl{" or "&Arr{": false when nesting goes too deep.
bool open_container(int type) {
    const int line = Lex_lineno;
    skip_rest_of_line();
    Pf *node = pfnew(type);
    store(node);
    if (Lex_level >= kMaxLevels) {
        report(kLog, 0, "too many Lex_levels of nesting at line #%d\n", line);
        return false;
    }
    Lex_stack[Lex_level++] = Lex_pf;
    Lex_pf = node;
    state_for_container();
    return true;
}

// "}": false at the top level.
bool close_container() {
    if (Lex_level <= 0) {
        report(kLog, 0, "invalid right brace at line#%d\n", Lex_lineno);
        return false;
    }
    skip_rest_of_line();
    Lex_pf = Lex_stack[--Lex_level];
    Key_waiting = false;
    state_for_container();
    return true;
}

void undefine() {
    skip_rest_of_line();
    if (Lex_pf->type == TABLE_PF) {
        if (maxtbl(Lex_pf->value.tbl) > 0) pffree(static_cast<Pf *>(poptbl(Lex_pf->value.tbl)));
    } else {
        pffree(static_cast<Pf *>(delarr(Lex_pf->value.arr, Lex_key)));
        Key_waiting = false;
    }
    state_for_container();
}

// A key in the key state (the character at Cur is neither blank, newline,
// "#" nor "}").
void read_key() {
    const char *run_end = Cur;
    while (run_end < In_end && !is_blank(*run_end) && *run_end != '\n') run_end++;

    const char q = *Cur;
    if (q == '"' || q == '\'') {
        const char *close = nullptr;
        if (Cur + 1 < In_end)
            close = static_cast<const char *>(
                std::memchr(Cur + 1, q, static_cast<std::size_t>(In_end - Cur - 1)));
        // One or more characters between the quotes; a longer bare run wins.
        if (close != nullptr && close > Cur + 1 && close + 1 >= run_end) {
            set_key(Cur + 1, static_cast<std::size_t>(close - Cur - 1));
            count_lines(Cur, close);
            Cur = close + 1;
            Key_waiting = true;
            Lex_state = State::kValue;
            return;
        }
    }

    // A bare key: escapes decoded, an unescaped "#" ends it and is given
    // back to the input.
    char key[kKeySize];
    std::size_t len = 0;
    bool cut = false;
    const char *p = Cur;
    while (p < run_end) {
        char c = *p;
        if (c == '#') break;
        if (c == '\\') {
            bool produced;
            p = decode_escape(p + 1, run_end, &c, &produced);
            if (!produced) continue;
        } else {
            p++;
        }
        if (len < kKeySize - 1) {
            key[len++] = c;
        } else {
            cut = true;
        }
    }
    if (cut)
        report(kLog, 0, "key longer than %d characters cut at line #%d\n", kKeySize - 1,
               Lex_lineno);
    std::memcpy(Lex_key, key, len);
    Lex_key[len] = '\0';
    Cur = p;
    Key_waiting = true;
    Lex_state = State::kValue;
}

// A plain value starting at Cur.
void read_plain_value() {
    sb_reset();
    while (Cur < In_end) {
        char c = *Cur;
        if (c == '\n') {
            Cur++;
            Lex_lineno++;
            break;
        }
        if (c == '#') {
            skip_rest_of_line();
            break;
        }
        if (c == '\0') {
            Cur++;
            break;
        }
        if (c == '\\') {
            bool produced;
            const char *after = decode_escape(Cur + 1, In_end, &c, &produced);
            count_lines(Cur + 1, after);
            Cur = after;
            if (produced) sb_put(c);
            continue;
        }
        sb_put(c);
        Cur++;
    }
    char *text = sb_text();
    // Blanks, tabs and newlines trimmed at both ends (escaped ones too).
    std::size_t len = std::strlen(text);
    std::size_t start = 0;
    while (start < len && (is_blank(text[start]) || text[start] == '\n')) start++;
    while (len > start && (is_blank(text[len - 1]) || text[len - 1] == '\n')) len--;
    text[len] = '\0';
    text += start;
    if (std::strstr(text, "&Tbl{") != nullptr) {
        report(kComplain, 0, "value contains '&Tbl{'\n\t'%s'\n", text);
    } else if (std::strstr(text, "&Arr{") != nullptr) {
        report(kComplain, 0, "value contains '&Arr{'\n\t'%s'\n", text);
    } else if (std::strstr(text, "&Literal{") != nullptr) {
        report(kComplain, 0, "value contains '&Literal{'\n\t'%s'\n", text);
    }
    store(new_scalar(text, len - start));
}

// The end of a deferred-function line starting at Cur ("&", a letter,
// letters, digits and underscores, "(", then a ")" followed only by blanks
// and optionally "#" and a comment, and the newline): the newline, or null
// when the line is no function. *name_end receives the "(".
const char *function_line(const char **name_end) {
    const char *p = Cur + 1;
    if (p >= In_end || !((*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z'))) return nullptr;
    while (p < In_end && ((*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z') ||
                          (*p >= '0' && *p <= '9') || *p == '_'))
        p++;
    if (p >= In_end || *p != '(') return nullptr;
    *name_end = p;
    const char *nl = find_newline(p);
    if (nl == nullptr) return nullptr;
    for (const char *r = p + 1; r < nl; r++) {
        if (*r != ')') continue;
        const char *a = r + 1;
        while (a < nl && is_blank(*a)) a++;
        if (a == nl || *a == '#') return nl;
    }
    return nullptr;
}

void read_function(const char *name_end, const char *nl) {
    const std::size_t name_len = static_cast<std::size_t>(name_end - Cur - 1);
    const bool with_file =
        (name_len == 4 && std::memcmp(Cur + 1, "file", 4) == 0) ||
        (name_len == 8 && std::memcmp(Cur + 1, "filename", 8) == 0);
    const char *from = Cur;
    const char *to = nl + 1;
    if (!with_file) {
        to = nl;
        while (from < to && is_blank(*from)) from++;
        while (to > from && is_blank(to[-1])) to--;
    }
    Pf *node = pfnew(FUNCTION_PF);
    const std::size_t len = static_cast<std::size_t>(to - from);
    char *s = static_cast<char *>(BASALT_MALLOC(len + 1, "pf"));
    std::memcpy(s, from, len);
    s[len] = '\0';
    node->value.pffunct->s = s;
    if (with_file) {
        Hook *hook = new_hook(std::free);
        hook->p = BASALT_STRDUP(Pffilename.c_str(), "pf");
        node->value.pffunct->hook = hook;
    }
    Cur = nl + 1;
    Lex_lineno++;
    store(node);
}

// "&Literal" and a double quote (Cur after the quote): false when the input
// ends before the closing word.
bool read_literal_word() {
    const char *nl = find_newline(Cur);
    if (nl == nullptr) {
        Cur = In_end;
        return false;
    }
    std::size_t wlen = static_cast<std::size_t>(nl - Cur);
    if (wlen > kWordKeep) wlen = kWordKeep;
    std::string word(Cur, wlen);
    Cur = nl + 1;
    Lex_lineno++;
    const char *start = Cur;
    for (const char *p = start; p < In_end; p++) {
        p = static_cast<const char *>(std::memchr(p, '"', static_cast<std::size_t>(In_end - p)));
        if (p == nullptr) break;
        if (static_cast<std::size_t>(In_end - p - 1) >= wlen &&
            std::memcmp(p + 1, word.data(), wlen) == 0) {
            count_lines(start, p);
            Cur = p + 1 + wlen;
            skip_rest_of_line();
            store(new_scalar(start, static_cast<std::size_t>(p - start)));
            return true;
        }
    }
    count_lines(start, In_end);
    Cur = In_end;
    return false;
}

// "&Literal" and an opening character (Cur at it): false when the input
// ends before the block is closed.
bool read_literal_bracket() {
    const char open = *Cur++;
    char close;
    const char *pair = open != '\0' ? std::strchr(Parens, open) : nullptr;
    if (pair != nullptr) {
        close = pair[1];
    } else {
        if (at_end()) return false;
        close = *Cur++;
        if (close == '\n') Lex_lineno++;
    }
    skip_rest_of_line();
    const char *start = Cur;
    int depth = 1;
    for (const char *p = start; p < In_end; p++) {
        const char c = *p;
        if (c == close) {
            if (--depth == 0) {
                count_lines(start, p);
                if (close == '\n') Lex_lineno++;
                Cur = p + 1;
                if (close != '\n') skip_rest_of_line();
                store(new_scalar(start, static_cast<std::size_t>(p - start)));
                return true;
            }
        } else if (c == open) {
            depth++;
        }
    }
    count_lines(start, In_end);
    Cur = In_end;
    return false;
}

// Scans the input. True when it ended normally (end of input or an end
// marker); false after an error.
bool scan() {
    while (Cur < In_end) {
        const char c = *Cur;
        if (Lex_state == State::kKey) {
            if (is_blank(c)) {
                Cur++;
            } else if (c == '\n') {
                Cur++;
                Lex_lineno++;
            } else if (c == '#') {
                const char *nl = find_newline(Cur);
                Cur = nl != nullptr ? nl : In_end;
            } else if (c == '}') {
                if (!close_container()) return false;
            } else if ((starts_with(Cur, "__END__") || starts_with(Cur, "__DATA__") ||
                        starts_with(Cur, "__EOF__")) &&
                       find_newline(Cur) != nullptr) {
                const char *nl = find_newline(Cur);
                Cur = nl + 1;
                Lex_lineno++;
                return true;
            } else {
                read_key();
            }
            continue;
        }

        // The value state.
        if (is_blank(c)) {
            Cur++;
        } else if (c == '\n') {
            Cur++;
            Lex_lineno++;
            store_scalar("");
        } else if (c == '#' && find_newline(Cur) != nullptr) {
            const bool line_start = Cur == In_begin || Cur[-1] == '\n';
            skip_rest_of_line();
            if (!line_start) store_scalar("");
        } else if (c == '}') {
            if (!close_container()) return false;
        } else if (starts_with(Cur, "&Tbl{")) {
            Cur += 5;
            if (!open_container(TABLE_PF)) return false;
        } else if (starts_with(Cur, "&Arr{")) {
            Cur += 5;
            if (!open_container(ARRAY_PF)) return false;
        } else if (starts_with(Cur, "&Undef{}")) {
            Cur += 8;
            undefine();
        } else if (starts_with(Cur, "&Literal\"")) {
            Cur += 9;
            if (!read_literal_word()) {
                Fail_depth = 1;
                return false;
            }
        } else {
            const char *name_end = nullptr;
            const char *nl = c == '&' ? function_line(&name_end) : nullptr;
            if (nl != nullptr) {
                read_function(name_end, nl);
            } else if (starts_with(Cur, "&Literal") && Cur + 8 < In_end && Cur[8] != '\n') {
                Cur += 8;
                if (!read_literal_bracket()) {
                    Fail_depth = 1;
                    return false;
                }
            } else {
                read_plain_value();
            }
        }
    }
    return true;
}

enum class Source { kFd, kStream, kString };

// The parse proper; the caller holds Pf_lock.
int parse_locked(Source source, int fd, FILE *file, const char *string, Pf **pf) {
    Lex_level = 0;
    Lex_lineno = 1;
    Fail_depth = 0;
    Key_waiting = false;

    if (*pf == nullptr) {
        *pf = pfnew(ARRAY_PF);
    } else if ((*pf)->type != FILE_PF && (*pf)->type != ARRAY_PF) {
        report(kLog, 0, "can't parse parameter text into a node of type %d\n", (*pf)->type);
        return -2;
    }
    Lex_pf = *pf;
    Lex_value = nullptr;
    Lex_pf->type = ARRAY_PF;
    if (Lex_pf->value.arr == nullptr) Lex_pf->value.arr = newarr(nullptr);
    Lex_state = State::kKey;

    std::size_t len = 0;
    switch (source) {
        case Source::kFd:
            PFfd = fd;
            len = load_fd(fd);
            In_begin = Input_buf;
            break;
        case Source::kStream:
            Pf_stream = file;
            len = load_stream(file);
            In_begin = Input_buf;
            break;
        case Source::kString:
            Pf_cp = string;
            In_begin = string;
            len = std::strlen(string);
            break;
    }
    In_end = In_begin + len;
    Cur = In_begin;

    const bool ok = scan();
    (*pf)->type = FILE_PF;

    int result = 0;
    if (!ok || Lex_level != 0) {
        const int depth = Fail_depth != 0 ? Fail_depth : Lex_level;
        if (depth != 0)
            report(kLog, 0, "Unterminated arrays or tables in parameter file: depth = %d\n", depth);
        result = -2;
    }

    PFfd = -1;
    Pf_stream = nullptr;
    Pf_cp = nullptr;
    In_begin = In_end = Cur = nullptr;
    Lex_pf = nullptr;
    input_release();
    return result;
}

// The entry points: the lock, the busy count and the held messages.
int parse_entry(Source source, int fd, FILE *file, const char *string, Pf **pf) {
    if (pf == nullptr) return -2;
    std::string name;
    if (source == Source::kString) {
        name = kInternalBuffer;
    } else if (pending_name_set) {
        name.swap(pending_name);
        pending_name_set = false;
    } else {
        name = kUnknownName;
    }
    std::vector<basalt::pf_detail::HeldMessage> messages;
    int result;
    {
        std::lock_guard<std::mutex> lock(Pf_lock);
        basalt::pf_detail::BusyScope busy;
        Pffilename.swap(name);
        basalt::pf_detail::held_messages = &messages;
        result = parse_locked(source, fd, file, string, pf);
        basalt::pf_detail::held_messages = nullptr;
    }
    for (const auto &m : messages) basalt::pf_detail::log_now(m.severity, m.flag, m.err, m.text.c_str());
    return result;
}

int guarded_parse(Source source, int fd, FILE *file, const char *string, Pf **pf) {
    try {
        return parse_entry(source, fd, file, string, pf);
    } catch (const std::bad_alloc &) {
        basalt::out_of_memory(__FILE__, __LINE__, 0, "String_buf");
    }
}

}  // namespace

int pfinfd(int fd, Pf **pf) { return guarded_parse(Source::kFd, fd, nullptr, nullptr, pf); }

int pfin(FILE *file, Pf **pf) {
    if (file == nullptr) return -2;
    return guarded_parse(Source::kStream, -1, file, nullptr, pf);
}

int pfcompile(const char *string, Pf **pf) {
    if (string == nullptr) string = "";
    return guarded_parse(Source::kString, -1, nullptr, string, pf);
}

void setpffilename(const char *path) {
    try {
        pending_name = path != nullptr ? path : kUnknownName;
        pending_name_set = true;
    } catch (const std::bad_alloc &) {
        basalt::out_of_memory(__FILE__, __LINE__, 0, "Pffilename");
    }
}
