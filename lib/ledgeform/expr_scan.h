// The scanner of the expression language: it turns the text of an
// expression (and of one file the text includes with "@name") into tokens.
// An expression ends at its first newline outside a literal, or at the end
// of the text.
#ifndef LEDGEFORM_EXPR_SCAN_H
#define LEDGEFORM_EXPR_SCAN_H

#include <cstddef>

#include "expr_private.h"

namespace ledgeform {

enum class Tok {
    kEnd,       // the end of the expression
    kConstant,  // a number, string, time or NULL: `node`
    kName,      // a name: `node`, a string constant holding it
    kPattern,   // a pattern literal: `node`, a compiled pattern constant
    kBinary,    // "||" "&&" ">>" "<<" or a relational operator: `code`
    kMatch,     // "=~" or "!~": `code`
    kQuestion,  // "?"
    kAssign,    // ":="
    kPipeOpen,  // "[|"
    kChar,      // any other single character: `code`
};

struct Token {
    Tok kind = Tok::kEnd;
    int code = 0;
    Expression *node = nullptr;  // owned by whoever takes the token
};

class Scanner {
  public:
    explicit Scanner(const char *text);
    ~Scanner();
    Scanner(const Scanner &) = delete;
    Scanner &operator=(const Scanner &) = delete;

    // The next token; after the end of the expression (or an error of the
    // scanner) always kEnd.
    Token next();
    // Hands a token back: the next call of next() returns it again.
    void push_back(const Token &token);

    // Errors the scanner found (each logged): they end the expression.
    int errors() const { return errors_; }
    // The text of the last token scanned ("" at the end).
    const char *token_text() const { return token_ != nullptr ? token_ : ""; }
    // The text near the scanner's position in the expression's own text, as
    // error messages quote it; written into `near` (at least 26 bytes).
    void near_text(char *near) const;

  private:
    struct Source {
        const char *data = nullptr;  // the characters not yet taken start at pos
        std::size_t length = 0;
        std::size_t pos = 0;
        int fd = -1;                 // an included file, or -1
        char *buffer = nullptr;      // what was read of it
        std::size_t room = 0;
        bool eof = true;
    };

    int peek(std::size_t k);
    void take(std::size_t n);
    bool fill(std::size_t want);
    void set_token_text(std::size_t n);
    void set_token_text(const char *s);
    bool is_comment(std::size_t *length);
    bool include(std::size_t length);
    void end_include();
    Token fail();
    Token scan_number();
    Token scan_name();
    Token scan_time(std::size_t length);
    Token scan_literal(int quote);
    Token scan_pattern();
    bool collect(int close, bool pattern, char **text, std::size_t *length);

    Source main_;
    Source include_;
    Source *in_ = &main_;
    bool operand_ = false;   // after "=~" or "!~": "/" begins a pattern
    bool ended_ = false;
    int errors_ = 0;
    int line_ = 1;
    int saved_line_ = 1;
    char *token_ = nullptr;
    std::size_t token_room_ = 0;
    bool have_back_ = false;
    Token back_;
};

}  // namespace ledgeform

#endif
