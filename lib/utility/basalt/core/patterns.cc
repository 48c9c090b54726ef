// Regular-expression tools over POSIX extended regular expressions:
// matching with a pattern cached in a hook, substitution of the first match,
// morph tables, station:channel lists and Fortran string fields.
//
// Results are built in buffers of our own that grow as needed and are then
// copied out whole, so a caller's output buffer may be the input buffer too.
#include <regex.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "alloc.h"
#include "elog.h"
#include "hooks.h"
#include "pattern_cost_private.h"

namespace {

// The system's error text for a compile failure is cut to this length.
constexpr std::size_t kErrorTextMax = 128;

// Sub-matches a substitution can name: "$0" to "$9".
constexpr std::size_t kMatches = 10;

// ---- growing text buffer -------------------------------------------------

// A NUL-terminated text that grows as it is appended to. Running out of
// memory (or of address space) is fatal, as everywhere in the library.
class Buffer {
  public:
    Buffer() = default;
    explicit Buffer(const char *s) { append(s, std::strlen(s)); }
    ~Buffer() { std::free(data_); }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;

    void append(const char *p, std::size_t n) {
        if (n == 0 && data_ != nullptr) return;
        if (n > SIZE_MAX - 1 - len_) basalt::out_of_memory(__FILE__, __LINE__, SIZE_MAX, "result");
        reserve(len_ + n + 1);
        if (n != 0) std::memcpy(data_ + len_, p, n);
        len_ += n;
        data_[len_] = '\0';
    }
    void append(char c) { append(&c, 1); }

    void swap(Buffer &other) {
        std::swap(data_, other.data_);
        std::swap(len_, other.len_);
        std::swap(cap_, other.cap_);
    }

    const char *c_str() const { return data_ ? data_ : ""; }
    std::size_t size() const { return len_; }

    // Copies the text to dst. With a size (bounded), refuses with -1 and
    // leaves dst empty when the text and its NUL would not fit.
    int copy_to(char *dst, bool bounded, std::size_t size) const {
        if (dst == nullptr) return bounded ? -1 : 0;
        if (bounded && len_ >= size) {
            if (size != 0) dst[0] = '\0';
            return -1;
        }
        std::memcpy(dst, c_str(), len_ + 1);
        return 0;
    }

  private:
    void reserve(std::size_t need) {
        if (need <= cap_) return;
        std::size_t cap = cap_ > SIZE_MAX / 2 ? need : cap_ * 2;
        if (cap < need) cap = need;
        if (cap < 64) cap = 64;
        data_ = static_cast<char *>(BASALT_REALLOC(data_, cap, "result"));
        cap_ = cap;
    }

    char *data_ = nullptr;
    std::size_t len_ = 0;
    std::size_t cap_ = 0;
};

// ---- compiling -----------------------------------------------------------

// Logs a pattern that failed to compile: why the cost check refused it, or
// the system's error text.
void log_compile_failure(const char *pattern, int code, const regex_t *prog, const char *why) {
    char text[kErrorTextMax + 1];
    if (why == nullptr) regerror(code, prog, text, sizeof text);
    elog_log(0, "'%s' did not compile: %s", pattern, why != nullptr ? why : text);
}

// Compiles the pattern of a Strmatch and records the outcome: 0 when it
// compiled, else -2 (logged, errcode -1).
int compile_strmatch(Strmatch *sm) {
    const char *why;
    int code = basalt::regcomp_checked(&sm->prog, sm->pattern, REG_EXTENDED, &why);
    if (code != 0) {
        log_compile_failure(sm->pattern, code, &sm->prog, why);
        sm->errcode = -1;
        return -2;
    }
    sm->errcode = 0;
    return 0;
}

Strmatch *new_strmatch(const char *pattern) {
    Strmatch *sm = BASALT_NEW_RECORD(Strmatch, "pvt");
    sm->pattern = BASALT_STRDUP(pattern, "pvt->pattern");
    sm->errcode = 1;
    return sm;
}

// The compiled pattern for one strmatches/strcontains call: the one cached
// in the caller's hook (made on the first call), or one compiled for this
// call alone and released when the call ends.
class CallPattern {
  public:
    CallPattern(const char *pattern, Hook **hookp) {
        if (hookp != nullptr) {
            if (*hookp == nullptr) {
                if (pattern == nullptr) return;  // nothing to compile: -2
                *hookp = new_hook(free_strmatch);
            }
            Hook *hook = *hookp;
            if (hook->p == nullptr) {
                // A hook the caller made without state: fill it now.
                if (pattern == nullptr) return;
                hook->p = new_strmatch(pattern);
            }
            Strmatch *sm = static_cast<Strmatch *>(hook->p);
            if (sm->errcode == -1) {
                status_ = -1;
                return;
            }
            if (sm->errcode != 0 && compile_strmatch(sm) != 0) return;
            prog_ = &sm->prog;
            status_ = 0;
            return;
        }
        if (pattern == nullptr) return;
        local_.pattern = const_cast<char *>(pattern);
        if (compile_strmatch(&local_) != 0) return;
        prog_ = &local_.prog;
        owned_ = true;
        status_ = 0;
    }
    ~CallPattern() {
        if (owned_) regfree(&local_.prog);
    }
    CallPattern(const CallPattern &) = delete;
    CallPattern &operator=(const CallPattern &) = delete;

    // 0 when prog() is usable, -1 for a failure cached in the hook, -2 for
    // a failure on this call.
    int status() const { return status_; }
    const regex_t *prog() const { return prog_; }

  private:
    Strmatch local_{};
    const regex_t *prog_ = nullptr;
    bool owned_ = false;
    int status_ = -2;
};

// ---- substitution --------------------------------------------------------

bool usable(const regmatch_t &m, std::size_t textlen) {
    return m.rm_so >= 0 && m.rm_eo >= m.rm_so && static_cast<std::size_t>(m.rm_eo) <= textlen;
}

// Appends sub to out, expanding "$d" from the sub-matches of old and
// honouring backslashes.
void expand(Buffer &out, const char *old, std::size_t oldlen, const char *sub,
            const regmatch_t *matches) {
    for (const char *p = sub; *p != '\0'; p++) {
        if (*p == '$') {
            char next = p[1];
            if (next == '\0') break;
            p++;
            if (next >= '0' && next <= '9') {
                const regmatch_t &m = matches[next - '0'];
                if (usable(m, oldlen))
                    out.append(old + m.rm_so, static_cast<std::size_t>(m.rm_eo - m.rm_so));
            }
        } else if (*p == '\\') {
            if (p[1] == '\0') break;
            p++;
            out.append(*p);
        } else {
            out.append(*p);
        }
    }
}

// old with matches[0] replaced by the expansion of sub. Without a usable
// whole match old is left as it is.
void substitute(Buffer &out, const char *old, const char *sub, const regmatch_t *matches) {
    if (old == nullptr) old = "";
    if (sub == nullptr) sub = "";
    std::size_t oldlen = std::strlen(old);
    if (matches == nullptr || !usable(matches[0], oldlen)) {
        out.append(old, oldlen);
        return;
    }
    std::size_t so = static_cast<std::size_t>(matches[0].rm_so);
    std::size_t eo = static_cast<std::size_t>(matches[0].rm_eo);
    out.append(old, so);
    expand(out, old, oldlen, sub, matches);
    out.append(old + eo, oldlen - eo);
}

void clear_matches(regmatch_t *matches) {
    for (std::size_t i = 0; i < kMatches; i++) matches[i].rm_so = matches[i].rm_eo = -1;
}

int do_patsub(const char *old, const regex_t *re, const char *sub, char *new_, bool bounded,
              std::size_t size) {
    if (old == nullptr) old = "";
    Buffer out;
    regmatch_t matches[kMatches];
    clear_matches(matches);
    int matched = re != nullptr && regexec(re, old, kMatches, matches, 0) == 0;
    if (matched)
        substitute(out, old, sub, matches);
    else
        out.append(old, std::strlen(old));
    if (out.copy_to(new_, bounded, size) != 0) return -1;
    return matched;
}

// ---- morph tables --------------------------------------------------------

bool is_field_end(char c, char quote) {
    if (c == '\0') return true;
    return quote ? c == quote : (c == ' ' || c == '\t');
}

// Index of the end of the field that starts at i: the first terminator not
// made part of the field by a backslash.
std::size_t field_end(const char *line, std::size_t i, char quote) {
    while (!is_field_end(line[i], quote)) i += (line[i] == '\\' && line[i + 1] != '\0') ? 2 : 1;
    return i;
}

struct Field {
    std::size_t start = 0;
    std::size_t len = 0;
};

// Splits a morph line into its pattern and substitution fields.
void split_rule(const char *line, Field &pattern, Field &substitution) {
    char quote = line[0];
    std::size_t i;
    if (quote == '\'' || quote == '"' || quote == '/') {
        pattern.start = 1;
        i = field_end(line, 1, quote);
        pattern.len = i - pattern.start;
        if (line[i] == quote) i++;
        substitution.start = i;
        i = field_end(line, i, quote);
    } else {
        quote = '\0';
        pattern.start = 0;
        i = field_end(line, 0, quote);
        pattern.len = i;
        while (line[i] == ' ' || line[i] == '\t') i++;
        substitution.start = i;
        i = field_end(line, i, quote);
    }
    substitution.len = i - substitution.start;
}

// The rule of one line, or null when its pattern does not compile (logged).
Submap *make_rule(const char *line) {
    Field pat, sub;
    split_rule(line, pat, sub);
    static const char kEmptyPattern[] = "^$";
    const char *pattern = pat.len ? line + pat.start : kEmptyPattern;
    std::size_t patlen = pat.len ? pat.len : sizeof kEmptyPattern - 1;
    // Both fields are parts of the line, so the sum cannot overflow.
    char *s = static_cast<char *>(BASALT_MALLOC(patlen + 1 + sub.len + 1, "s"));
    std::memcpy(s, pattern, patlen);
    s[patlen] = '\0';
    std::memcpy(s + patlen + 1, line + sub.start, sub.len);
    s[patlen + 1 + sub.len] = '\0';

    Submap *rule = BASALT_NEW_RECORD(Submap, "submap");
    rule->pattern = s;
    rule->substitution = s + patlen + 1;
    const char *why;
    int code = basalt::regcomp_checked(&rule->prog, rule->pattern, REG_EXTENDED, &why);
    if (code != 0) {
        log_compile_failure(rule->pattern, code, &rule->prog, why);
        std::free(s);
        std::free(rule);
        return nullptr;
    }
    return rule;
}

int do_morph(const char *old, Morphtbl *morphmap, int flags, char *result, bool bounded,
             std::size_t size) {
    if (old == nullptr) old = "";
    Buffer current(old);
    Buffer out;
    int applied = 0;
    int n = morphmap ? maxtbl(morphmap) : 0;
    for (int i = 0; i < n; i++) {
        Submap *rule = static_cast<Submap *>(gettbl(morphmap, i));
        if (rule == nullptr) continue;
        regmatch_t matches[kMatches];
        clear_matches(matches);
        if (regexec(&rule->prog, current.c_str(), kMatches, matches, 0) != 0) continue;
        if (!(flags & 1) &&
            !(matches[0].rm_so == 0 && static_cast<std::size_t>(matches[0].rm_eo) == current.size()))
            continue;
        Buffer next;
        substitute(next, current.c_str(), rule->substitution, matches);
        out.swap(next);
        applied++;
        if (!(flags & 2)) break;
        Buffer copy(out.c_str());
        current.swap(copy);
    }
    if (applied == 0) {
        Buffer copy(old);
        out.swap(copy);
    }
    if (out.copy_to(result, bounded, size) != 0) return -1;
    return applied;
}

// ---- station and channel lists -------------------------------------------

// Matches string against the expression expr[0, len) anchored at both
// ends. scratch holds at least len + 3 bytes.
int anchored_match(const char *expr, std::size_t len, const char *string, char *scratch) {
    if (len == 0) return 0;
    if (len == 1 && expr[0] == '*') return 1;
    std::size_t k = 0;
    if (expr[0] != '^') scratch[k++] = '^';
    std::memcpy(scratch + k, expr, len);
    k += len;
    if (expr[len - 1] != '$') scratch[k++] = '$';
    scratch[k] = '\0';

    regex_t re;
    const char *why;
    int code = basalt::regcomp_checked(&re, scratch, REG_EXTENDED | REG_NOSUB, &why);
    if (code != 0) {
        char text[256];
        if (why == nullptr) regerror(code, &re, text, sizeof text);
        elog_complain(0, "match_string: %s.\n", why != nullptr ? why : text);
        return 0;
    }
    int matched = string != nullptr && regexec(&re, string, 0, nullptr, 0) == 0;
    regfree(&re);
    return matched;
}

bool is_ignored(char c) { return c == ' ' || c == '\t' || c == '\n'; }

}  // namespace

extern "C" {

void free_strmatch(void *strmatch) {
    Strmatch *sm = static_cast<Strmatch *>(strmatch);
    if (sm == nullptr) return;
    std::free(sm->pattern);
    if (sm->errcode == 0) regfree(&sm->prog);
    std::free(sm);
}

int strmatches(char *s, char *pattern, Hook **hookp) {
    CallPattern re(pattern, hookp);
    if (re.status() != 0) return re.status();
    if (s == nullptr) return 0;
    regmatch_t m;
    if (regexec(re.prog(), s, 1, &m, 0) != 0) return 0;
    return m.rm_so == 0 && static_cast<std::size_t>(m.rm_eo) == std::strlen(s);
}

int strcontains(char *s, char *pattern, Hook **hookp, int *start, int *nchars) {
    if (start != nullptr) *start = 0;
    if (nchars != nullptr) *nchars = 0;
    CallPattern re(pattern, hookp);
    if (re.status() != 0) return re.status();
    if (s == nullptr) return 0;
    regmatch_t m;
    if (regexec(re.prog(), s, 1, &m, 0) != 0) return 0;
    if (start != nullptr) *start = static_cast<int>(m.rm_so);
    if (nchars != nullptr) *nchars = static_cast<int>(m.rm_eo - m.rm_so);
    return 1;
}

int patsub(char *old, regex_t *buffer, char *sub, char *new_) {
    return do_patsub(old, buffer, sub, new_, false, 0);
}

int patsub_n(char *old, regex_t *buffer, char *sub, char *new_, size_t size) {
    return do_patsub(old, buffer, sub, new_, true, size);
}

void regsubstitute(char *old, char *sub, regmatch_t *matches, char *new_) {
    Buffer out;
    substitute(out, old, sub, matches);
    out.copy_to(new_, false, 0);
}

int regsubstitute_n(char *old, char *sub, regmatch_t *matches, char *new_, size_t size) {
    Buffer out;
    substitute(out, old, sub, matches);
    return out.copy_to(new_, true, size);
}

int newmorphtbl(Tbl *list, Morphtbl **mp) {
    Morphtbl *table = newtbl(0);
    int failed = 0;
    if (list == nullptr) {
        failed = -1;
    } else {
        int n = maxtbl(list);
        for (int i = 0; i < n; i++) {
            const char *line = static_cast<const char *>(gettbl(list, i));
            Submap *rule = make_rule(line ? line : "");
            if (rule == nullptr)
                failed++;
            else
                pushtbl(table, rule);
        }
    }
    if (mp != nullptr)
        *mp = table;
    else
        freemorphtbl(table);
    return failed;
}

int morphtbl(char *old, Morphtbl *morphmap, int flags, char *result) {
    return do_morph(old, morphmap, flags, result, false, 0);
}

int morphtbl_n(char *old, Morphtbl *morphmap, int flags, char *result, size_t size) {
    return do_morph(old, morphmap, flags, result, true, size);
}

void freesubmap(void *submap) {
    Submap *rule = static_cast<Submap *>(submap);
    if (rule == nullptr) return;
    std::free(rule->pattern);
    regfree(&rule->prog);
    std::free(rule);
}

void freemorphtbl(Morphtbl *morphmap) {
    if (morphmap == nullptr) return;
    freetbl(morphmap, freesubmap);
}

int match_string(char *spec, char *string) {
    if (spec == nullptr || spec[0] == '\0') return 0;
    if (std::strcmp(spec, "*") == 0) return 1;
    std::size_t len = std::strlen(spec);
    char small[512];
    if (len + 3 <= sizeof small) return anchored_match(spec, len, string, small);
    if (len > SIZE_MAX - 3) basalt::out_of_memory(__FILE__, __LINE__, SIZE_MAX, "expbuf");
    char *scratch = static_cast<char *>(BASALT_MALLOC(len + 3, "expbuf"));
    int matched = anchored_match(spec, len, string, scratch);
    std::free(scratch);
    return matched;
}

int match_stachans(char *stachans, char *sta, char *chan) {
    if (stachans == nullptr || stachans[0] == '\0') return 0;
    if (std::strcmp(stachans, "*") == 0) return 1;
    std::size_t len = std::strlen(stachans);
    // The list without blanks, and room to anchor any expression of it.
    if (len > (SIZE_MAX - 4) / 2) return -1;
    char *work = static_cast<char *>(std::malloc(2 * len + 4));
    if (work == nullptr) return -1;
    char *list = work;
    char *scratch = work + len + 1;
    std::size_t n = 0;
    for (std::size_t i = 0; i < len; i++)
        if (!is_ignored(stachans[i])) list[n++] = stachans[i];
    list[n] = '\0';

    int found = 0;
    if (n == 0) {
        found = 0;
    } else if (std::strcmp(list, "*") == 0) {
        found = 1;
    } else {
        int number = 0;
        for (const char *entry = list;; entry++) {
            const char *comma = std::strchr(entry, ',');
            std::size_t elen = comma ? static_cast<std::size_t>(comma - entry) : std::strlen(entry);
            number++;
            if (elen == 1 && entry[0] == '*') {
                found = number;
                break;
            }
            if (elen != 0) {
                const char *colon = static_cast<const char *>(std::memchr(entry, ':', elen));
                std::size_t stalen = colon ? static_cast<std::size_t>(colon - entry) : elen;
                bool chan_ok = colon == nullptr ||
                               anchored_match(colon + 1, elen - stalen - 1, chan, scratch);
                if (chan_ok && anchored_match(entry, stalen, sta, scratch)) {
                    found = number;
                    break;
                }
            }
            if (comma == nullptr) break;
            entry = comma;
        }
    }
    std::free(work);
    return found;
}

char *fixfstring(char *s, int n) {
    std::size_t field = n > 0 ? static_cast<std::size_t>(n) : 0;
    std::size_t len = s ? strnlen(s, field) : 0;
    while (len > 0 && s[len - 1] == ' ') len--;
    char *copy = static_cast<char *>(BASALT_MALLOC(len + 1, "new"));
    if (len != 0) std::memcpy(copy, s, len);
    copy[len] = '\0';
    return copy;
}

}  // extern "C"
