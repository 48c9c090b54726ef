// The evaluator of compiled expressions: the value of a tree for one
// record.
//
// Every node gives a value of its type; a node that cannot (a field that
// cannot be read, a text that is no number, an operation the language has
// no rule for) counts an error and gives the zero value of its type (an
// empty string for a string), so that nothing above it reads an unset
// value. Integer arithmetic wraps at 32 bits; division and remainder by
// zero, and reals that do not fit an int, are errors.
#include <sys/wait.h>

#include <cerrno>

#include "expr_private.h"

namespace ledgeform {

thread_local int Db_ex_err = 0;

namespace {

pthread_mutex_t eval_mutex = PTHREAD_MUTEX_INITIALIZER;

char kEmpty[] = "";
char kTrue[] = "true";
char kFalse[] = "false";
char kFailed[] = "**evaluation failed**";

int group_of(int type) {
    if (is_int_type(type)) return 0;
    if (is_real_type(type)) return 1;
    if (type == dbSTRING) return 2;
    return -1;
}

// The zero value of a type.
void zero(Exvalue *v, int type) {
    std::memset(v, 0, sizeof *v);
    if (type == dbSTRING) v->s = kEmpty;
}

void no_value(Exvalue *v, int type) {
    zero(v, type);
    Db_ex_err++;
}

const char *text_of(const Exvalue &v) { return v.s != nullptr ? v.s : kEmpty; }

// ---- Conversions ----

int32_t text_to_int(const char *s, bool *ok) {
    *ok = true;
    if (*s == '\0') return 0;
    char *end = nullptr;
    errno = 0;
    double d = fix_strtod(s, &end);
    double t = std::trunc(d);
    if (end == s || !whitespace(end) || errno != 0 || !fits_int(t)) {
        *ok = false;
        return kIntFailure;
    }
    return static_cast<int32_t>(t);
}

double text_to_real(const char *s, bool *ok) {
    *ok = true;
    if (*s == '\0') return 0.0;
    char *end = nullptr;
    errno = 0;
    double d = fix_strtod(s, &end);
    if (end == s || !whitespace(end) || errno != 0) {
        *ok = false;
        return an_infinity();
    }
    return d;
}

void convert(Expression *node, const Exvalue &in, Exvalue *out, EvalTemps *temps) {
    int to = node->type, from = node->left->type;
    zero(out, to);
    bool ok = true;
    switch (to) {
        case dbBOOLEAN:
            if (is_real_type(from)) {
                out->i = in.d != 0.0;
                return;
            }
            if (from == dbSTRING) {
                out->i = text_of(in)[0] != '\0';
                return;
            }
            if (is_int_type(from)) {
                out->i = in.i != 0;
                return;
            }
            break;
        case dbINTEGER:
        case dbYEARDAY:
            if (is_real_type(from)) {
                double f = std::floor(in.d);
                if (!fits_int(f)) {
                    Db_ex_err++;
                    out->i = kIntFailure;
                    return;
                }
                out->i = static_cast<int32_t>(f);
                return;
            }
            if (from == dbSTRING) {
                out->i = text_to_int(text_of(in), &ok);
                if (!ok) Db_ex_err++;
                return;
            }
            break;
        case dbREAL:
            if (from == dbINTEGER || from == dbYEARDAY) {
                out->d = in.i;
                return;
            }
            if (from == dbSTRING) {
                out->d = text_to_real(text_of(in), &ok);
                if (!ok) Db_ex_err++;
                return;
            }
            break;
        case dbTIME:
            if (from == dbINTEGER) {
                out->d = in.i;
                return;
            }
            if (from == dbYEARDAY) {
                out->d = epoch(in.i);
                return;
            }
            if (from == dbSTRING) {
                if (zstr2epoch(const_cast<char *>(text_of(in)), &out->d) != 0) {
                    Db_ex_err++;
                    out->d = an_infinity();
                }
                return;
            }
            break;
        case dbSTRING:
            if (from == dbBOOLEAN) {
                out->s = in.i ? kTrue : kFalse;
                return;
            }
            if (from == dbINTEGER || from == dbYEARDAY) {
                out->s = keep_string(temps, format_new("%d", in.i));
                return;
            }
            if (from == dbREAL) {
                out->s = keep_string(temps, format_new("%g", in.d));
                return;
            }
            if (from == dbTIME) {
                out->s = keep_string(temps, strtime(in.d));
                return;
            }
            break;
        default: break;
    }
    badconvert(from, to);
}

// ---- Operators ----

// eval_expression of an operand, taking the commonest kinds, constants and
// fields, without going through it.
inline void operand(Dbptr db, Expression *node, int flag, Exvalue *result, EvalTemps *temps) {
    if (node != nullptr) {
        if (node->kind == kConstant) {
            *result = node->value;
            if (node->type == dbSTRING && result->s == nullptr) result->s = kEmpty;
            return;
        }
        if (node->kind == kFieldRef) {
            if (!read_field_value(db, node, result, temps)) Db_ex_err++;
            return;
        }
    }
    eval_expression(db, node, flag, result, temps);
}

int compare(int code, int c) {
    switch (code) {
        case kLess: return c < 0;
        case kLessEqual: return c <= 0;
        case kEqual: return c == 0;
        case kGreaterEqual: return c >= 0;
        case kGreater: return c > 0;
        default: return c != 0;
    }
}

int compare_reals(int code, double a, double b) {
    switch (code) {
        case kLess: return a < b;
        case kLessEqual: return a <= b;
        case kEqual: return a == b;
        case kGreaterEqual: return a >= b;
        case kGreater: return a > b;
        default: return a != b;
    }
}

int32_t shift_left(int32_t v, int64_t count);

int32_t shift_right(int32_t v, int64_t count) {
    if (count < 0) return shift_left(v, -count);
    if (count >= 32) return v < 0 ? -1 : 0;
    return v >> count;  // arithmetic
}

int32_t shift_left(int32_t v, int64_t count) {
    if (count < 0) return shift_right(v, -count);
    if (count >= 32) return 0;
    return static_cast<int32_t>(static_cast<uint32_t>(v) << count);
}

bool int_arithmetic(int code, int32_t a, int32_t b, int32_t *out) {
    switch (code) {
        case kPlus: *out = wrap_add(a, b); return true;
        case kMinus: *out = wrap_sub(a, b); return true;
        case kTimes: *out = wrap_mul(a, b); return true;
        case kDivide:
        case kModulo:
            if (b == 0) {
                elog_log(0, "integer division by zero\n");
                *out = kIntFailure;
                return false;
            }
            if (b == -1) {  // INT32_MIN / -1 does not fit
                *out = code == kDivide ? wrap_sub(0, a) : 0;
                return true;
            }
            *out = code == kDivide ? a / b : a % b;
            return true;
        case kPower: {
            double p = std::pow(static_cast<double>(a), static_cast<double>(b));
            if (!fits_int(p)) {
                *out = kIntFailure;
                return false;
            }
            *out = static_cast<int32_t>(p);
            return true;
        }
        case kBitOr: *out = a | b; return true;
        case kBitAnd: *out = a & b; return true;
        case kShiftRight: *out = shift_right(a, b); return true;
        case kShiftLeft: *out = shift_left(a, b); return true;
        default: return false;
    }
}

bool real_arithmetic(int code, double a, double b, double *out) {
    switch (code) {
        case kPlus: *out = a + b; return true;
        case kMinus: *out = a - b; return true;
        case kTimes: *out = a * b; return true;
        case kDivide: *out = a / b; return true;
        case kModulo: *out = a - std::floor(a / b) * b; return true;
        case kPower: *out = std::pow(a, b); return true;
        default: return false;
    }
}

bool whole_match(regex_t *re, const char *s) {
    if (re == nullptr) return false;
    regmatch_t m;
    return regexec(re, s, 1, &m, 0) == 0 && m.rm_so == 0 &&
           static_cast<std::size_t>(m.rm_eo) == std::strlen(s);
}

void assign(Dbptr db, Expression *node, int flag, const Exvalue &value, Exvalue *out) {
    Expression *field = node->right;
    int type = field != nullptr ? field->type : kInvalidType;
    zero(out, type);
    if (field == nullptr || field->value.s == nullptr || group_of(type) < 0) {
        Db_ex_err++;
        return;
    }
    const char *name = field->value.s;
    if (is_int_type(type)) {
        out->i = value.i;
        if (flag && dbputv(db, nullptr, name, value.i, nullptr) < 0) {
            elog_log(0, "can't ASSIGN %d to %s\n", value.i, name);
            Db_ex_err++;
        }
    } else if (is_real_type(type)) {
        out->d = value.d;
        if (flag && dbputv(db, nullptr, name, value.d, nullptr) < 0) {
            elog_log(0, "can't ASSIGN %10.5f to %s\n", value.d, name);
            Db_ex_err++;
        }
    } else {
        out->s = const_cast<char *>(text_of(value));
        if (flag && dbputv(db, nullptr, name, out->s, nullptr) < 0) {
            elog_log(0, "can't ASSIGN %s to %s\n", out->s, name);
            Db_ex_err++;
        }
    }
}

void operate(Dbptr db, Expression *node, int flag, Exvalue *out, EvalTemps *temps) {
    int code = node->value.i;
    int type = node->type;
    zero(out, type);
    Exvalue l, r;
    if (node->left == nullptr) {
        no_value(out, type);
        return;
    }
    operand(db, node->left, flag, &l, temps);
    switch (code) {
        case kOr:
            if (l.i != 0) {
                out->i = -1;
            } else if (node->right != nullptr) {
                operand(db, node->right, flag, &r, temps);
                out->i = r.i;
            }
            return;
        case kAnd:
            if (l.i == 0) {
                out->i = 0;
            } else if (node->right != nullptr) {
                operand(db, node->right, flag, &r, temps);
                out->i = r.i;
            }
            return;
        case kConditional: {
            Expression *branch = l.i != 0 ? node->right : node->x3;
            if (branch == nullptr) {
                no_value(out, type);
                return;
            }
            eval_expression(db, branch, flag, out, temps);
            return;
        }
        case kNegate:
            if (is_int_type(type))
                out->i = wrap_sub(0, l.i);
            else if (is_real_type(type))
                out->d = -l.d;
            else
                no_value(out, type);
            return;
        case kMatch:
        case kNoMatch: {
            Expression *pattern = node->right;
            if (pattern == nullptr || pattern->type != kRegexType) {
                no_value(out, type);
                return;
            }
            bool whole = whole_match(pattern->value.regexp, text_of(l));
            out->i = code == kMatch ? whole : !whole;
            return;
        }
        case kAssign:
            assign(db, node, flag, l, out);
            temps->forget();
            return;
        default: break;
    }
    if (node->right == nullptr) {
        no_value(out, type);
        return;
    }
    operand(db, node->right, flag, &r, temps);
    if (code >= kLess && code <= kNotEqual) {
        int operands = node->left->type;
        if (is_int_type(operands))
            out->i = compare(code, l.i < r.i ? -1 : (l.i > r.i ? 1 : 0));
        else if (is_real_type(operands))
            out->i = compare_reals(code, l.d, r.d);
        else if (operands == dbSTRING)
            out->i = compare(code, std::strcmp(text_of(l), text_of(r)));
        else
            no_value(out, type);
        return;
    }
    if (code == kConcat) {
        const char *a = text_of(l), *b = text_of(r);
        std::size_t na = std::strlen(a), nb = std::strlen(b);
        auto *s = static_cast<char *>(LF_MALLOC(na + nb + 1, "text"));
        std::memcpy(s, a, na);
        std::memcpy(s + na, b, nb + 1);
        out->s = keep_string(temps, s);
        return;
    }
    if (is_int_type(type)) {
        if (!int_arithmetic(code, l.i, r.i, &out->i)) Db_ex_err++;
    } else if (is_real_type(type)) {
        if (!real_arithmetic(code, l.d, r.d, &out->d)) no_value(out, type);
    } else {
        no_value(out, type);
    }
}

// ---- Functions ----

template <typename R, typename... A>
R call(void (*f)(void), A... args) {
    return reinterpret_cast<R (*)(A...)>(f)(args...);
}

using Generic = void (*)(void);

Generic implementation(const Exfunction &f, int group) {
    switch (group) {
        case 0: return reinterpret_cast<Generic>(f.fi);
        case 1: return reinterpret_cast<Generic>(f.fd);
        case 2: return reinterpret_cast<Generic>(f.fs);
        default: return nullptr;
    }
}

// Stores what an implementation returned by the result group.
struct Result {
    Exvalue *out;
    EvalTemps *temps;
    void i(int32_t v) { out->i = v; }
    void d(double v) { out->d = v; }
    void s(char *v) { out->s = keep_string(temps, v); }
};

void one_argument(const Exfunction &f, Generic fn, int rg, const Exvalue &a, Result r) {
    int ag = group_of(f.argtype);
    switch (rg * 3 + ag) {
        case 0: r.i(call<int32_t>(fn, a.i)); return;
        case 1: r.i(call<int32_t>(fn, a.d)); return;
        case 2: r.i(call<int32_t>(fn, const_cast<char *>(text_of(a)))); return;
        case 3: r.d(call<double>(fn, a.i)); return;
        case 4: r.d(call<double>(fn, a.d)); return;
        case 5: r.d(call<double>(fn, const_cast<char *>(text_of(a)))); return;
        case 6: r.s(call<char *>(fn, a.i)); return;
        case 7: r.s(call<char *>(fn, a.d)); return;
        case 8: r.s(call<char *>(fn, const_cast<char *>(text_of(a)))); return;
        default: break;
    }
    elog_log(0, "unrecognized argument type %d to function %s\n", f.argtype, f.name);
    no_value(r.out, f.type);
}

const char *kResultWords[] = {"integer", "real", "string"};

void two_or_three(const Exfunction &f, int row, Generic fn, int rg, int n, const Exvalue *a,
                  Result r) {
    char *s0 = const_cast<char *>(text_of(a[0])), *s1 = const_cast<char *>(text_of(a[1])),
         *s2 = n > 2 ? const_cast<char *>(text_of(a[2])) : nullptr;
    if (row == kRowEpoch2str) {
        r.s(call<char *>(fn, a[0].d, s1));
        return;
    }
    if (row == kRowZepoch2str) {
        r.s(call<char *>(fn, a[0].d, s1, s2));
        return;
    }
    bool reals = f.argtype == dbREAL, texts = f.argtype == dbSTRING;
    if (rg == 0 && reals) {
        r.i(n == 2 ? call<int32_t>(fn, a[0].d, a[1].d) : call<int32_t>(fn, a[0].d, a[1].d, a[2].d));
        return;
    }
    if (rg == 1 && (reals || (n == 3 && texts))) {
        if (reals)
            r.d(n == 2 ? call<double>(fn, a[0].d, a[1].d) : call<double>(fn, a[0].d, a[1].d, a[2].d));
        else
            r.d(call<double>(fn, s0, s1, s2));
        return;
    }
    if (rg == 2 && (reals || texts)) {
        if (reals)
            r.s(n == 2 ? call<char *>(fn, a[0].d, a[1].d) : call<char *>(fn, a[0].d, a[1].d, a[2].d));
        else
            r.s(n == 2 ? call<char *>(fn, s0, s1) : call<char *>(fn, s0, s1, s2));
        return;
    }
    if (rg >= 0)
        elog_log(0, "unimplemented argument type to %d-argument function returning %s: %s", n,
                 kResultWords[rg], f.name);
    no_value(r.out, f.type);
}

void record_function(const Exfunction &f, Generic fn, int rg, Dbptr db, bool with_argument,
                     const Exvalue &a, Result r) {
    int ag = group_of(f.argtype);
    if (!with_argument) {
        switch (rg) {
            case 0: r.i(call<int32_t>(fn, db)); return;
            case 1: r.d(call<double>(fn, db)); return;
            case 2: r.s(call<char *>(fn, db)); return;
            default: break;
        }
    } else {
        char *s = const_cast<char *>(text_of(a));
        switch (rg * 3 + ag) {
            case 0: r.i(call<int32_t>(fn, db, a.i)); return;
            case 1: r.i(call<int32_t>(fn, db, a.d)); return;
            case 3: r.d(call<double>(fn, db, a.i)); return;
            case 4: r.d(call<double>(fn, db, a.d)); return;
            case 5: r.d(call<double>(fn, db, s)); return;
            case 7: r.s(call<char *>(fn, db, a.d)); return;
            case 8: r.s(call<char *>(fn, db, s)); return;
            default: break;
        }
    }
    no_value(r.out, f.type);
}

void function(Dbptr db, Expression *node, int flag, Exvalue *out, EvalTemps *temps) {
    int row = node->value.i;
    int type = node->type;
    zero(out, type);
    if (row < 0 || row >= nfunctions) {
        no_value(out, type);
        return;
    }
    const Exfunction &f = functions[row];
    int rg = group_of(type);
    Generic fn = implementation(f, rg);
    Result result{out, temps};
    if (node->kind == kAggregate) {
        Expression *arg = node->expr_tbl != nullptr && maxtbl(node->expr_tbl) > 0
                              ? static_cast<Expression *>(gettbl(node->expr_tbl, 0))
                              : nullptr;
        fn = reinterpret_cast<Generic>(f.fd);
        if (fn == nullptr || arg == nullptr) {
            no_value(out, type);
            return;
        }
        out->d = call<double>(fn, db, arg);
        return;
    }
    if (node->kind == kPatsub) {
        Exvalue subject, replacement;
        if (node->left == nullptr || node->right == nullptr || node->x3 == nullptr ||
            node->right->type != kRegexType || f.fs == nullptr) {
            no_value(out, type);
            return;
        }
        eval_expression(db, node->left, flag, &subject, temps);
        eval_expression(db, node->x3, flag, &replacement, temps);
        result.s(call<char *>(reinterpret_cast<Generic>(f.fs), const_cast<char *>(text_of(subject)),
                              node->right->value.regexp, const_cast<char *>(text_of(replacement))));
        return;
    }
    int n = node->expr_tbl != nullptr ? maxtbl(node->expr_tbl) : 0;
    Exvalue args[4];
    int want = node->kind == kFunction1 || node->kind == kRecordFunction1 ? 1
               : node->kind == kFunction2                                 ? 2
               : node->kind == kFunction3                                 ? 3
               : node->kind == kFunction4                                 ? 4
                                                                           : 0;
    if (n != want || fn == nullptr) {
        no_value(out, type);
        return;
    }
    for (int i = 0; i < n; i++)
        eval_expression(db, static_cast<Expression *>(gettbl(node->expr_tbl, i)), flag, &args[i], temps);
    switch (node->kind) {
        case kFunction0:
            if (rg == 1) {
                result.d(call<double>(fn));
                return;
            }
            if (rg == 0) {
                result.i(call<int32_t>(fn));
                return;
            }
            result.s(call<char *>(fn));
            return;
        case kRecordFunction0: record_function(f, fn, rg, db, false, args[0], result); return;
        case kRecordFunction1: record_function(f, fn, rg, db, true, args[0], result); return;
        case kFunction1: one_argument(f, fn, rg, args[0], result); return;
        case kFunction2:
        case kFunction3: two_or_three(f, row, fn, rg, n, args, result); return;
        case kFunction4:
            out->d = call<double>(fn, args[0].d, args[1].d, args[2].d, args[3].d);
            return;
        default: no_value(out, type); return;
    }
}

void store_failure(void *result, int type) {
    if (is_real_type(type))
        *static_cast<double *>(result) = an_infinity();
    else if (type == dbSTRING)
        *static_cast<char **>(result) = LF_STRDUP(kFailed, "result");
    else
        *static_cast<int32_t *>(result) = kIntFailure;
}

}  // namespace

char *keep_string(EvalTemps *temps, char *s) {
    if (s == nullptr) return kEmpty;
    temps->keep(s);
    return s;
}

EvalTemps::~EvalTemps() {
    for (int i = 0; i < nowned_; i++) std::free(owned_[i]);
    if (more_ != nullptr) freetbl(more_, std::free);
}

void EvalTemps::keep(char *s) {
    if (nowned_ < kOwned) {
        owned_[nowned_++] = s;
        return;
    }
    if (more_ == nullptr) more_ = newtbl(kOwned);
    pushtbl(more_, s);
}

char *EvalTemps::room(std::size_t n) {
    if (n <= kArena - used_) {
        char *p = arena_ + used_;
        used_ += (n + 7) & ~static_cast<std::size_t>(7);
        if (used_ > kArena) used_ = kArena;
        return p;
    }
    auto *p = static_cast<char *>(LF_MALLOC(n, "text"));
    keep(p);
    return p;
}

bool EvalTemps::recall(Dbptr field, int group, Exvalue *value) const {
    for (int i = 0; i < nread_; i++) {
        const Read &r = read_[i];
        if (r.field.record == field.record && r.field.field == field.field &&
            r.field.table == field.table && r.field.database == field.database &&
            r.group == group) {
            *value = r.value;
            return true;
        }
    }
    return false;
}

void EvalTemps::remember(Dbptr field, int group, const Exvalue &value) {
    read_[next_] = Read{field, group, value};
    next_ = (next_ + 1) % kRead;
    if (nread_ < kRead) nread_++;
}

void eval_expression(Dbptr db, Expression *node, int flag, Exvalue *result, EvalTemps *temps) {
    if (node == nullptr) {
        no_value(result, kInvalidType);
        return;
    }
    switch (node->kind) {
        case kConstant:
            *result = node->value;
            if (node->type == dbSTRING && result->s == nullptr) result->s = kEmpty;
            return;
        case kFieldRef:
            if (!read_field_value(db, node, result, temps)) Db_ex_err++;
            return;
        case kNullValue: {
            Dbptr null = db;
            null.record = dbNULL;
            if (!read_field_value(null, node, result, temps)) Db_ex_err++;
            return;
        }
        case kConversion: {
            if (node->left == nullptr) {
                no_value(result, node->type);
                return;
            }
            Exvalue in;
            operand(db, node->left, flag, &in, temps);
            int from = node->left->type;
            if ((node->type == dbREAL && (from == dbINTEGER || from == dbYEARDAY)) ||
                (node->type == dbTIME && from == dbINTEGER)) {
                // The commonest conversion: an integer (mostly a constant)
                // compared with a real or a time.
                zero(result, node->type);
                result->d = in.i;
                return;
            }
            convert(node, in, result, temps);
            return;
        }
        case kOperator: operate(db, node, flag, result, temps); return;
        case kExec: {
            zero(result, dbSTRING);
            if (node->expr_tbl == nullptr || maxtbl(node->expr_tbl) == 0) {
                no_value(result, dbSTRING);
                return;
            }
            Tbl *words = newtbl(maxtbl(node->expr_tbl));
            for (int i = 0; i < maxtbl(node->expr_tbl); i++) {
                Exvalue w;
                eval_expression(db, static_cast<Expression *>(gettbl(node->expr_tbl, i)), flag, &w,
                                temps);
                pushtbl(words, const_cast<char *>(text_of(w)));
            }
            char *output = run_command(words);
            freetbl(words, nullptr);
            temps->forget();
            if (output == nullptr)
                no_value(result, dbSTRING);
            else
                result->s = keep_string(temps, output);
            return;
        }
        default:
            if (is_call_kind(node->kind)) {
                function(db, node, flag, result, temps);
                temps->forget();
                return;
            }
            // A pipe, and whatever else has no rule: no value.
            node->type = kNoValue;
            no_value(result, kNoValue);
            return;
    }
}

bool read_field_value(Dbptr db, Expression *node, Exvalue *result, EvalTemps *temps) {
    int type = node->type;
    zero(result, type);
    const char *name = node->value.s;
    int group = group_of(type);
    if (name == nullptr || group < 0) return false;
    Dbptr p = db;
    const Expression *found = node->x4;
    Resolved r;
    bool resolved = false;
    if (found != nullptr && found->kind == kResolvedField && found->type == db.database &&
        found->value.pipe[0] == db.table) {
        p.field = found->value.pipe[1];
        if (group != 2 && temps->recall(p, group, result)) return true;
        const EvalTable *run = temps->table();
        resolved = run != nullptr && run->database == p.database && run->table == p.table
                       ? stored_field_in(run->relation, run->data, p, &r)
                       : resolve_stored_field(p, &r);
    } else {
        Dbptr at = db;
        at.field = dbALL;
        p = dblookup(at, nullptr, nullptr, name, nullptr);
        p.record = db.record;
        if (p.field < 0) {
            char *table = kEmpty;
            dbquery(make_dbptr(db.database, db.table, dbALL, dbALL), QUERY_TABLE_NAME, &table);
            elog_log(0, "no field %s in table %s.\n", name, table);
            return false;
        }
    }
    if (!resolved &&
        (resolve(p, &r) != RESOLVED_FIELD || r.data == nullptr || r.field == nullptr))
        return false;
    int field_type_code = field_type(r.field);
    if (group_of(expression_type_of_field(field_type_code)) != group) return false;
    int width = r.size;
    if (group == 2) {
        char *text = temps->room(static_cast<std::size_t>(width) + 1);
        copystrip(text, r.data, width);
        result->s = text;
        return true;
    }
    bool ok = group == 0 ? dbd2c(r.data, width, &result->i, field_type_code) == 0
                         : dbd2c(r.data, width, &result->d, field_type_code) == 0;
    if (ok) temps->remember(p, group, *result);
    return ok;
}

int evaluate_tree(Dbptr db, Expression *tree, int flag, void *result, const EvalTable *table) {
    if (tree == nullptr) return dbINVALID;
    int outer = Db_ex_err;
    Db_ex_err = 0;
    EvalTemps temps(table);
    Exvalue value;
    eval_expression(db, tree, flag, &value, &temps);
    int errors = Db_ex_err;
    int type = tree->type;
    int rc = dbINVALID;
    if (type >= dbBOOLEAN && type <= dbSTRING) {
        // Only a tree with a value stores one: a failure value when the
        // evaluation failed.
        if (errors != 0) {
            if (result != nullptr) store_failure(result, type);
        } else if (is_real_type(type)) {
            if (result != nullptr) *static_cast<double *>(result) = value.d;
            rc = value.d != 0.0;
        } else if (type == dbSTRING) {
            const char *s = text_of(value);
            if (result != nullptr) *static_cast<char **>(result) = LF_STRDUP(s, "result");
            rc = s[0] != '\0';
        } else {
            if (result != nullptr) *static_cast<int32_t *>(result) = value.i;
            rc = value.i != 0;
        }
    }
    Db_ex_err = outer;
    return rc;
}

int evaluate_record(Dbptr db, Expression *tree, int flag, void *result, const EvalTable *table) {
    MutexGuard hold(eval_mutex);
    return evaluate_tree(db, tree, flag, result, table);
}

}  // namespace ledgeform

using namespace ledgeform;

extern "C" {

int _dbex_eval(Dbptr db, Expression *tree, int flag, void *result) {
    return evaluate_tree(db, tree, flag, result, nullptr);
}

int dbex_eval(Dbptr db, Expression *tree, int flag, void *result) {
    MutexGuard hold(eval_mutex);
    return evaluate_tree(db, tree, flag, result, nullptr);
}

}  // extern "C"
