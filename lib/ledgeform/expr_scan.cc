// The scanner of the expression language. It never reads past the text it
// was given: every character is taken through peek(), which answers -1 at
// the end of the current input. An included file is read in blocks as the
// scanner needs them.
#include "expr_scan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace ledgeform {

namespace {

constexpr std::size_t kBlock = 4096;
// Characters a string or pattern literal may hold.
constexpr std::size_t kMaxLiteral = 8191;
constexpr int kMaxIncludes = 1;
constexpr std::size_t kRegerrorRoom = 256;

bool is_digit(int c) { return c >= '0' && c <= '9'; }
bool is_letter(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_name_char(int c) { return is_letter(c) || is_digit(c) || c == '_' || c == '.'; }
bool is_time_char(int c) {
    return is_letter(c) || is_digit(c) || c == ' ' || c == '(' || c == ')' || c == '-' ||
           c == '.' || c == '/' || c == ':';
}

Token make(Tok kind, int code = 0, Expression *node = nullptr) {
    Token t;
    t.kind = kind;
    t.code = code;
    t.node = node;
    return t;
}

// A growable text of characters collected one at a time.
class Text {
  public:
    ~Text() { std::free(s_); }
    void add(char c) {
        if (n_ + 2 > room_) {
            room_ = room_ ? room_ * 2 : 64;
            s_ = static_cast<char *>(LF_REALLOC(s_, room_, "DBX_val.node"));
        }
        s_[n_++] = c;
        s_[n_] = '\0';
    }
    std::size_t size() const { return n_; }
    char *release() {
        if (s_ == nullptr) return LF_STRDUP("", "DBX_val.node");
        char *s = s_;
        s_ = nullptr;
        n_ = room_ = 0;
        return s;
    }

  private:
    char *s_ = nullptr;
    std::size_t n_ = 0, room_ = 0;
};

}  // namespace

Scanner::Scanner(const char *text) {
    main_.data = text != nullptr ? text : "";
    main_.length = std::strlen(main_.data);
}

Scanner::~Scanner() {
    if (in_ == &include_) end_include();
    if (have_back_) dbex_free(back_.node);
    std::free(token_);
}

bool Scanner::fill(std::size_t want) {
    Source &s = *in_;
    while (s.length < want && !s.eof) {
        if (s.pos > 0) {
            std::memmove(s.buffer, s.buffer + s.pos, s.length - s.pos);
            s.length -= s.pos;
            want -= s.pos;
            s.pos = 0;
        }
        if (s.length + kBlock > s.room) {
            s.room = s.room ? s.room * 2 : 2 * kBlock;
            while (s.room < s.length + kBlock) s.room *= 2;
            s.buffer = static_cast<char *>(LF_REALLOC(s.buffer, s.room, "DBX_val.node"));
        }
        s.data = s.buffer;
        ssize_t n = read(s.fd, s.buffer + s.length, kBlock);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) elog_log(1, "read failed compiling expression\n");
        if (n <= 0) {
            s.eof = true;
            break;
        }
        s.length += static_cast<std::size_t>(n);
    }
    return s.length >= want;
}

int Scanner::peek(std::size_t k) {
    Source &s = *in_;
    if (s.pos + k >= s.length && (s.fd < 0 || !fill(s.pos + k + 1))) return -1;
    return static_cast<unsigned char>(s.data[s.pos + k]);
}

void Scanner::take(std::size_t n) { in_->pos += n; }

void Scanner::set_token_text(std::size_t n) {
    if (n + 1 > token_room_) {
        token_room_ = n + 1 > 64 ? n + 1 : 64;
        token_ = static_cast<char *>(LF_REALLOC(token_, token_room_, "DBX_val.node"));
    }
    for (std::size_t i = 0; i < n; i++) token_[i] = static_cast<char>(peek(i));
    token_[n] = '\0';
}

void Scanner::set_token_text(const char *s) {
    std::free(token_);
    token_ = LF_STRDUP(s, "DBX_val.node");
    token_room_ = std::strlen(s) + 1;
}

void Scanner::near_text(char *near) const {
    std::size_t p = main_.pos <= main_.length ? main_.pos : main_.length;
    std::size_t start = p > 10 ? p - 10 : 0;
    while (start > 0 && p - start < 25) {
        unsigned char c = static_cast<unsigned char>(main_.data[start]);
        if (!is_letter(c) && !is_digit(c)) break;
        start--;
    }
    std::memcpy(near, main_.data + start, p - start);
    near[p - start] = '\0';
}

void Scanner::push_back(const Token &token) {
    back_ = token;
    have_back_ = true;
}

Token Scanner::fail() {
    errors_++;
    ended_ = true;
    set_token_text("");
    return make(Tok::kEnd);
}

// Optional blanks and tabs, "#", and the rest of a line that ends in a
// newline: the comment's length (the newline not counted).
bool Scanner::is_comment(std::size_t *length) {
    std::size_t j = 0;
    while (peek(j) == ' ' || peek(j) == '\t') j++;
    if (peek(j) != '#') return false;
    int c;
    for (j++; (c = peek(j)) >= 0 && c != '\n'; j++) {
    }
    if (c != '\n') return false;
    *length = j;
    return true;
}

bool Scanner::include(std::size_t length) {
    Text name;
    for (std::size_t i = 1; i < length; i++) name.add(static_cast<char>(peek(i)));
    take(length);
    char *file = name.release();
    Owned<char> owned(file);
    if (in_ == &include_) {
        elog_log(0, "Includes nested more than %d deep\n", kMaxIncludes);
        return false;
    }
    // Only a regular file is read: a device or a pipe would never end.
    int fd = open(file, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        struct stat st;
        int error = 0;
        if (fstat(fd, &st) != 0)
            error = errno;
        else if (!S_ISREG(st.st_mode))
            error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        if (error != 0) {
            close(fd);
            fd = -1;
            errno = error;
        }
    }
    if (fd < 0) {
        elog_log(1, "Couldn't open '%s' to include at line %d\n", file, line_);
        return false;
    }
    include_ = Source();
    include_.fd = fd;
    include_.eof = false;
    in_ = &include_;
    saved_line_ = line_;
    operand_ = false;
    return true;
}

void Scanner::end_include() {
    close(include_.fd);
    std::free(include_.buffer);
    include_ = Source();
    in_ = &main_;
    line_ = saved_line_;
}

Token Scanner::scan_number() {
    std::size_t j = 0;
    while (is_digit(peek(j))) j++;
    bool real = false;
    if (j > 0 && peek(j) == '.') {
        for (j++; is_digit(peek(j)); j++) {
        }
        real = true;
    } else if (j == 0) {  // "." digits
        for (j = 1; is_digit(peek(j)); j++) {
        }
        real = true;
    }
    if (peek(j) == 'e' || peek(j) == 'E') {
        std::size_t k = j + 1;
        if (peek(k) == '+' || peek(k) == '-') k++;
        if (is_digit(peek(k))) {
            while (is_digit(peek(k))) k++;
            j = k;
            real = true;
        }
    }
    set_token_text(j);
    take(j);
    if (real) {
        Expression *node = exnew(dbREAL, kConstant, 0);
        node->value.d = std::strtod(token_, nullptr);
        return make(Tok::kConstant, 0, node);
    }
    errno = 0;
    long long v = std::strtoll(token_, nullptr, 10);
    if (errno != 0 || v > INT32_MAX) {
        elog_log(0, "integer constant '%s' out of range\n", token_);
        return fail();
    }
    return make(Tok::kConstant, 0, exnew(dbINTEGER, kConstant, static_cast<int>(v)));
}

Token Scanner::scan_name() {
    std::size_t j = 1;
    while (is_name_char(peek(j))) j++;
    set_token_text(j);
    take(j);
    if (std::strcmp(token_, "NULL") == 0) return make(Tok::kConstant, 0, exnew(kInvalidType, kNullValue, 0));
    Expression *node = exnew(dbSTRING, kConstant, 0);
    node->value.s = LF_STRDUP(token_, "DBX_val.node");
    return make(Tok::kName, 0, node);
}

Token Scanner::scan_time(std::size_t length) {
    set_token_text(length);
    take(length);
    Text text;
    for (std::size_t i = 1; i + 1 < length; i++) text.add(token_[i]);
    Owned<char> s(text.release());
    Expression *node = exnew(dbTIME, kConstant, 0);
    node->value.d = str2epoch(s.get());
    return make(Tok::kConstant, 0, node);
}

// The characters after an opening quote or slash up to the closing one (or
// the end of the input); a pattern keeps a backslash and the character it
// protects.
bool Scanner::collect(int close, bool pattern, char **text, std::size_t *length) {
    set_token_text(1);
    take(1);
    Text t;
    for (;;) {
        int c = peek(0);
        if (c < 0) break;
        take(1);
        if (c == close) break;
        if (c == '\n') line_++;
        t.add(static_cast<char>(c));
        if (pattern && c == '\\' && (c = peek(0)) >= 0) {
            take(1);
            if (c == '\n') line_++;
            t.add(static_cast<char>(c));
        }
        if (t.size() > kMaxLiteral) {
            elog_log(0, "literal longer than %d characters\n", static_cast<int>(kMaxLiteral));
            return false;
        }
    }
    *length = t.size();
    *text = t.release();
    return true;
}

Token Scanner::scan_literal(int quote) {
    char *text = nullptr;
    std::size_t length = 0;
    if (!collect(quote, false, &text, &length)) return fail();
    Expression *node = exnew(dbSTRING, kConstant, 0);
    node->value.s = text;
    return make(Tok::kConstant, 0, node);
}

Token Scanner::scan_pattern() {
    char *text = nullptr;
    std::size_t length = 0;
    if (!collect('/', true, &text, &length)) return fail();
    Owned<char> owned(text);
    auto *re = static_cast<regex_t *>(LF_MALLOC(sizeof(regex_t), "preg"));
    char message[kRegerrorRoom];
    if (compile_pattern(re, text, message, sizeof message) != 0) {
        std::free(re);
        elog_log(0, "'%s' failed to compile: %s", text, message);
        return fail();
    }
    operand_ = false;
    Expression *node = exnew(kRegexType, kConstant, 0);
    node->value.regexp = re;
    return make(Tok::kPattern, 0, node);
}

Token Scanner::next() {
    if (have_back_) {
        have_back_ = false;
        return back_;
    }
    if (ended_) {
        set_token_text("");
        return make(Tok::kEnd);
    }
    for (;;) {
        int c = peek(0);
        if (c < 0) {
            if (in_ == &include_) {
                end_include();
                continue;
            }
            ended_ = true;
            set_token_text("");
            return make(Tok::kEnd);
        }
        if (c == '\n') {
            take(1);
            line_++;
            ended_ = true;
            set_token_text("");
            return make(Tok::kEnd);
        }
        if (c == '@') {
            std::size_t n = 1;
            for (int d; (d = peek(n)) >= 0 && d != ' ' && d != '\t' && d != '\n';) n++;
            if (n > 1) {
                if (!include(n)) return fail();
                continue;
            }
        }
        if (c == ' ' || c == '\t' || c == '#') {
            std::size_t n = 0;
            if (is_comment(&n)) {
                take(n);
                continue;
            }
            if (c != '#') {
                take(1);
                continue;
            }
        }
        int c1 = peek(1);
        auto two = [&](Tok kind, int code) {
            set_token_text(2);
            take(2);
            return make(kind, code);
        };
        auto one = [&](Tok kind, int code) {
            set_token_text(1);
            take(1);
            return make(kind, code);
        };
        switch (c) {
            case '|': return c1 == '|' ? two(Tok::kBinary, kOr) : one(Tok::kBinary, kBitOr);
            case '&': return c1 == '&' ? two(Tok::kBinary, kAnd) : one(Tok::kBinary, kBitAnd);
            case '>':
                if (c1 == '>') return two(Tok::kBinary, kShiftRight);
                if (c1 == '=') return two(Tok::kBinary, kGreaterEqual);
                return one(Tok::kBinary, kGreater);
            case '<':
                if (c1 == '<') return two(Tok::kBinary, kShiftLeft);
                if (c1 == '=') return two(Tok::kBinary, kLessEqual);
                return one(Tok::kBinary, kLess);
            case '!':
                if (c1 == '=') return two(Tok::kBinary, kNotEqual);
                if (c1 == '~') {
                    operand_ = true;
                    return two(Tok::kMatch, kNoMatch);
                }
                return one(Tok::kChar, c);
            case '=':
                if (c1 == '=') return two(Tok::kBinary, kEqual);
                if (c1 == '~') {
                    operand_ = true;
                    return two(Tok::kMatch, kMatch);
                }
                return one(Tok::kChar, c);
            case '[': return c1 == '|' ? two(Tok::kPipeOpen, 0) : one(Tok::kChar, c);
            case '?': return one(Tok::kQuestion, kConditional);
            case ':': return c1 == '=' ? two(Tok::kAssign, kAssign) : one(Tok::kChar, c);
            case '.': return is_digit(c1) ? scan_number() : one(Tok::kBinary, kConcat);
            case '+': return one(Tok::kBinary, kPlus);
            case '*': return one(Tok::kBinary, kTimes);
            case '%': return one(Tok::kBinary, kModulo);
            case '^': return one(Tok::kBinary, kPower);
            case '/': return operand_ ? scan_pattern() : one(Tok::kBinary, kDivide);
            case '\'':
            case '"': return scan_literal(c);
            case '_': {
                std::size_t n = 1;
                while (is_time_char(peek(n))) n++;
                if (n > 1 && peek(n) == '_') return scan_time(n + 1);
                return one(Tok::kChar, c);
            }
            default: break;
        }
        if (is_digit(c)) return scan_number();
        if (is_letter(c)) return scan_name();
        return one(Tok::kChar, c);
    }
}

}  // namespace ledgeform
