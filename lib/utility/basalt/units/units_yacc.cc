// The parser of the units language: one statement per call of UX_parse.
//
// Grammar (tokens in capitals, characters quoted):
//   statement : end of input                      -> 0
//             | EOL                                -> 1
//             | NAME '=' quantity EOL              -> 1, defines NAME
//             | PRIMITIVE NAME EOL                 -> 1, declares a primitive
//             | quantity (EOL | end of input)      -> 2, stored at Units_x
//   quantity  : number [units] | units [number]
//   number    : term ('/' term)*                   left to right
//   term      : NUMBER (('^' | '*') NUMBER)*       each applied to all on its left
//   units     : unary ('/' unary)*                 left to right
//   unary     : '/' unary | group                  reciprocal of what follows
//   group     : factor (['-'] factor | '-' '/' unary)*    a product
//   factor    : NAME ['^' NUMBER]
// After a number, '/' continues the number when a NUMBER follows it and
// begins the units when anything else does.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "elog.h"
#include "tbl.h"
#include "units.h"
#include "units_private.h"

namespace {

using namespace basalt::units;

struct Token {
    int type = 0;
    double number = 0;
    std::string text;
};

// A value: a factor and the powers of the primitives.
struct Quantity {
    double factor = 1;
    int powers[UNITS_MAX_PRIMITIVES] = {};
};

int saturate(std::int64_t v) {
    if (v > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
    if (v < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
    return static_cast<int>(v);
}

// The exponent a number gives: truncated toward zero, kept within an int.
int exponent_of(double x) {
    if (std::isnan(x)) return 0;
    if (x >= std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
    if (x <= -std::numeric_limits<int>::max()) return -std::numeric_limits<int>::max();
    return static_cast<int>(x);
}

// x raised to n: the product of |n| copies of x, its reciprocal for n < 0.
// Long products are formed by squaring (the same value up to rounding, and
// no long loop for an exponent like 1e9).
double raise(double x, int n) {
    if (n == 0) return 1;
    std::uint64_t m = n < 0 ? static_cast<std::uint64_t>(-static_cast<std::int64_t>(n))
                            : static_cast<std::uint64_t>(n);
    double product = 1;
    if (m <= 1024) {
        for (std::uint64_t i = 0; i < m; i++) product *= x;
    } else {
        for (double base = x; m > 0; m >>= 1, base *= base)
            if (m & 1) product *= base;
    }
    return n > 0 ? product : 1 / product;
}

void multiply(Quantity &a, const Quantity &b) {
    a.factor *= b.factor;
    for (int i = 0; i < UNITS_MAX_PRIMITIVES; i++)
        a.powers[i] = saturate(static_cast<std::int64_t>(a.powers[i]) + b.powers[i]);
}

void divide(Quantity &a, const Quantity &b) {
    a.factor /= b.factor;
    for (int i = 0; i < UNITS_MAX_PRIMITIVES; i++)
        a.powers[i] = saturate(static_cast<std::int64_t>(a.powers[i]) - b.powers[i]);
}

void reciprocal(Quantity &a) {
    Quantity one;
    divide(one, a);
    a = one;
}

// Raised to n: the factor to the nth, the powers times n.
void power(Quantity &a, int n) {
    a.factor = raise(a.factor, n);
    for (int i = 0; i < UNITS_MAX_PRIMITIVES; i++)
        a.powers[i] = saturate(static_cast<std::int64_t>(a.powers[i]) * n);
}

// A syntax error leaves the statement at once.
struct SyntaxError {};

// One statement's parse, reading tokens through a lookahead of two.
class Parser {
  public:
    int statement();

  private:
    const Token &peek(std::size_t k = 0) {
        while (ahead_count_ <= k) {
            Token &t = ahead_[ahead_count_++];
            t.type = UX_lex();
            t.number = yylval.number;
            if (t.type == UX_NAME || t.type == UX_PRIMITIVE) t.text = yylval.text;
        }
        return ahead_[k];
    }
    Token take() {
        peek();
        Token t = ahead_[0];
        ahead_[0] = ahead_[1];
        ahead_count_--;
        return t;
    }
    Token expect(int type) {
        if (peek().type != type) throw SyntaxError{};
        return take();
    }
    bool next_is(int type, std::size_t k = 0) { return peek(k).type == type; }
    bool starts_units() { return next_is(UX_NAME) || next_is('/'); }

    Quantity quantity();
    Quantity number();
    Quantity term();
    Quantity units();
    Quantity unary();
    Quantity group();
    Quantity factor();

    Token ahead_[2];
    std::size_t ahead_count_ = 0;
};

int Parser::statement() {
    try {
        if (next_is(0)) return 0;
        if (next_is(UX_EOL)) {
            take();
            return 1;
        }
        if (next_is(UX_PRIMITIVE)) {
            take();
            std::string name = expect(UX_NAME).text;
            expect(UX_EOL);
            make_tables();
            int n = maxtbl(UnitsBasis_tbl);
            if (n >= UNITS_MAX_PRIMITIVES) {
                elog_complain(0, "too many basic units, ignoring new unit '%s'", name.c_str());
                return 1;
            }
            Basis *b = add_unit(name.data());
            b->powers[n] = 1;
            pushtbl(UnitsBasis_tbl, b);
            return 1;
        }
        if (next_is(UX_NAME) && next_is('=', 1)) {
            std::string name = take().text;
            take();
            int errors = Error;
            Quantity q = quantity();
            expect(UX_EOL);
            // A definition that named an unknown unit defines nothing.
            if (Error == errors) {
                Basis *b = add_unit(name.data());
                b->factor = q.factor;
                std::memcpy(b->powers, q.powers, sizeof b->powers);
            }
            return 1;
        }
        Quantity q = quantity();
        if (!next_is(0)) expect(UX_EOL);
        if (Units_x != nullptr) {
            Units_x->factor = q.factor;
            std::memcpy(Units_x->powers, q.powers, sizeof Units_x->powers);
        }
        return 2;
    } catch (const SyntaxError &) {
        UX_error(const_cast<char *>("parse error"));
        return 1;
    }
}

Quantity Parser::quantity() {
    if (next_is(UX_NUMBER)) {
        Quantity q = number();
        if (starts_units()) multiply(q, units());
        return q;
    }
    if (starts_units()) {
        Quantity q = units();
        if (next_is(UX_NUMBER)) multiply(q, number());
        return q;
    }
    throw SyntaxError{};
}

Quantity Parser::number() {
    Quantity q = term();
    while (next_is('/') && next_is(UX_NUMBER, 1)) {
        take();
        Quantity divisor = term();
        q.factor /= divisor.factor;
    }
    return q;
}

Quantity Parser::term() {
    Quantity q;
    q.factor = expect(UX_NUMBER).number;
    while (next_is('^') || next_is('*')) {
        int op = take().type;
        double right = expect(UX_NUMBER).number;
        if (op == '^')
            q.factor = raise(q.factor, exponent_of(right));
        else
            q.factor *= right;
    }
    return q;
}

Quantity Parser::units() {
    Quantity q = unary();
    while (next_is('/')) {
        take();
        divide(q, unary());
    }
    return q;
}

Quantity Parser::unary() {
    if (next_is('/')) {
        take();
        Quantity q = unary();
        reciprocal(q);
        return q;
    }
    return group();
}

Quantity Parser::group() {
    Quantity q = factor();
    for (;;) {
        if (next_is(UX_NAME)) {
            multiply(q, factor());
        } else if (next_is('-')) {
            take();
            multiply(q, next_is('/') ? unary() : factor());
        } else {
            return q;
        }
    }
}

Quantity Parser::factor() {
    Token name = expect(UX_NAME);
    Basis *b;
    double prefix;
    Quantity q;
    if (unit_found(name.text.data(), &b, &prefix)) {
        q.factor = b->factor * prefix;
        std::memcpy(q.powers, b->powers, sizeof q.powers);
    } else {
        // The name as the search left it (a dropped ending may stay dropped).
        std::string message = "can't find unit '" + std::string(name.text.c_str()) + "'";
        UX_error(message.data());
    }
    if (next_is('^')) {
        take();
        power(q, exponent_of(expect(UX_NUMBER).number));
    }
    return q;
}

}  // namespace

extern "C" int UX_parse(void) {
    Parser parser;
    return parser.statement();
}
