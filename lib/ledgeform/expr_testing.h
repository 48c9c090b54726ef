// Helpers of the tests of the expression language and of views: a
// database of the test schema "quake1.0" with a few records in each table,
// compiling and evaluating an expression, and a tree written with every
// grouping in parentheses.
#ifndef LEDGEFORM_EXPR_TESTING_H
#define LEDGEFORM_EXPR_TESTING_H

#include <cmath>
#include <cstdio>
#include <string>

#include "expr_private.h"
#include "ledgeform_testing.h"

namespace expr_testing {

constexpr double kTime = 1234567890.5;  // 2009-02-13 23:31:30.5 UTC
constexpr double kOriginTime = 1000000000.0;

inline Dbptr at(Dbptr t, int record) {
    t.record = record;
    return t;
}

// A compiled tree, freed with the holder.
struct Compiled {
    int rc = 0;
    Expression *tree = nullptr;
    Compiled() = default;
    Compiled(const Compiled &) = delete;
    Compiled &operator=(const Compiled &) = delete;
    Compiled(Compiled &&o) noexcept : rc(o.rc), tree(o.tree) { o.tree = nullptr; }
    ~Compiled() { dbex_free(tree); }
};

inline Compiled compile(Dbptr table, const std::string &text, int type = 0) {
    Compiled c;
    c.rc = dbex_compile(table, text.c_str(), &c.tree, type);
    return c;
}

// The value an evaluation stored, by the tree's type.
struct Value {
    int compiled = 0;  // what dbex_compile returned
    int rc = 0;        // what dbex_eval returned
    int type = 0;      // the tree's type
    int32_t i = 0;
    double d = 0;
    std::string s;
    bool stored = false;
};

inline Value evaluate(Dbptr record, const std::string &text, int type = 0, int flag = 0) {
    Value v;
    Compiled c = compile(record, text, type);
    v.compiled = c.rc;
    if (c.tree == nullptr) return v;
    v.type = c.tree->type;
    const int32_t kUnset = 0x5a5a5a5a;
    v.i = kUnset;
    if (ledgeform::is_real_type(v.type)) {
        v.d = -12345.0;
        v.rc = dbex_eval(record, c.tree, flag, &v.d);
        v.stored = v.d != -12345.0;
    } else if (v.type == dbSTRING) {
        char *s = nullptr;
        v.rc = dbex_eval(record, c.tree, flag, &s);
        v.stored = s != nullptr;
        if (s != nullptr) v.s = s;
        std::free(s);
    } else {
        v.rc = dbex_eval(record, c.tree, flag, &v.i);
        v.stored = v.i != kUnset;
    }
    return v;
}

// The tree with every operation in parentheses; conversions are left out.
inline std::string grouping(const Expression *n);

// The names of the rows of the built-in table a tree calls.
inline void rows_called(const Expression *n, bool *called);

class QuakeTest : public ledgeform_testing::DatabaseTest {
  protected:
    void SetUp() override;

    Dbptr db_{};
    Dbptr plain_{}, site_{}, origin_{}, wave_{}, packed_{}, group_{};
};


namespace detail {

inline const char *symbol(int code) {
    static const char *const kSymbols[] = {"||", "&&", "<", "<=", "==", ">=", ">", "!=",
                                           "+",  "-",  "*", "/",  "=~", "!~", "^", "?",
                                           ":=", ".",  "-", "%",  "|",  "&",  ">>", "<<"};
    return code >= 0 && code < ledgeform::kOperatorCount ? kSymbols[code] : "??";
}

inline std::string list(Tbl *args) {
    std::string s;
    for (int i = 0; args != nullptr && i < maxtbl(args); i++) {
        if (i > 0) s += ", ";
        s += grouping(static_cast<Expression *>(gettbl(args, i)));
    }
    return s;
}

}  // namespace detail

inline std::string grouping(const Expression *n) {
    using namespace ledgeform;
    if (n == nullptr) return "<none>";
    switch (n->kind) {
        case kConversion: return grouping(n->left);
        case kConstant:
            switch (n->type) {
                case dbINTEGER: return std::to_string(n->value.i);
                case dbREAL: {
                    char text[64];
                    std::snprintf(text, sizeof text, "%g", n->value.d);
                    return text;
                }
                case dbTIME: return "<time>";
                case dbSTRING: return "'" + std::string(n->value.s) + "'";
                case kRegexType: return "/re/";
                default: return "<constant>";
            }
        case kFieldRef: return n->value.s;
        case kNullValue: return "NULL";
        case kOperator:
            switch (n->value.i) {
                case kNegate: return "(-" + grouping(n->left) + ")";
                case kConditional:
                    return "(" + grouping(n->left) + " ? " + grouping(n->right) + " : " +
                           grouping(n->x3) + ")";
                case kAssign: return "(" + grouping(n->right) + " := " + grouping(n->left) + ")";
                default:
                    return "(" + grouping(n->left) + " " + detail::symbol(n->value.i) + " " +
                           grouping(n->right) + ")";
            }
        case kPatsub:
            return std::string(functions[n->value.i].name) + "(" + grouping(n->left) + ", " +
                   grouping(n->right) + ", " + grouping(n->x3) + ")";
        case kExec: return "[" + detail::list(n->expr_tbl) + "]";
        case kPipe: return "[|" + detail::list(n->expr_tbl) + "]";
        default: return std::string(functions[n->value.i].name) + "(" + detail::list(n->expr_tbl) + ")";
    }
}

inline void rows_called(const Expression *n, bool *called) {
    using namespace ledgeform;
    if (n == nullptr) return;
    if (is_call_kind(n->kind)) called[n->value.i] = true;
    rows_called(n->left, called);
    rows_called(n->right, called);
    rows_called(n->x3, called);
    for (int i = 0; n->expr_tbl != nullptr && i < maxtbl(n->expr_tbl); i++)
        rows_called(static_cast<Expression *>(gettbl(n->expr_tbl, i)), called);
}

inline void QuakeTest::SetUp() {
    DatabaseTest::SetUp();
    db_ = create("quake", "r+", "quake1.0");
    plain_ = table(db_, "plain");
    site_ = table(db_, "site");
    origin_ = table(db_, "origin");
    wave_ = table(db_, "wave");
    packed_ = table(db_, "packed");
    group_ = table(db_, "stagroup");
    ASSERT_EQ(dbaddv(plain_, nullptr, "a", 1, "b", 2, "c", 3, "d", 4, "e", 5, "x", 7, "y", -3, "s",
                     "abc", "r", 2.5, "time", kTime, "jdate", 2004123, nullptr),
              0)
        << log();
    ASSERT_EQ(dbaddv(site_, nullptr, "sta", "AAK", "lat", 42.639, "lon", 74.494, nullptr), 0);
    ASSERT_EQ(dbaddv(site_, nullptr, "sta", "BBB", "lat", 10.0, "lon", 20.0, nullptr), 1);
    ASSERT_EQ(dbaddv(origin_, nullptr, "orid", 1, "lat", 40.0, "lon", 70.0, "depth", 10.0, "time",
                     kOriginTime, "jdate", 2001252, nullptr),
              0)
        << log();
    const struct {
        const char *sta;
        double time;
        int nsamp;
    } waves[] = {{"AAK", kOriginTime, 10}, {"AAK", kOriginTime + 10, 20}, {"BBB", kOriginTime, 30}};
    int n = 0;
    for (const auto &w : waves)
        ASSERT_EQ(dbaddv(wave_, nullptr, "sta", w.sta, "time", w.time, "nsamp", w.nsamp, "samprate",
                         40.0, "dir", "dir1", "dfile", "f1", nullptr),
                  n++)
            << log();
    Dbptr first = wave_, second = wave_;
    first.field = 2;  // records 0 and 1
    first.record = 0;
    second.field = 3;  // record 2
    second.record = 2;
    ASSERT_EQ(dbaddv(group_, nullptr, "sta", "AAK", "bundle", first, "bundletype", 1, nullptr), 0)
        << log();
    ASSERT_EQ(dbaddv(group_, nullptr, "sta", "BBB", "bundle", second, "bundletype", 1, nullptr), 1);
    Dbptr ref = dbinvalid();
    ASSERT_EQ(dbaddv(packed_, nullptr, "sta", "P1", "gain", 2.5, "total", 7, "ref", ref, nullptr), 0)
        << log();
    clear_log();
}

}  // namespace expr_testing

#endif
