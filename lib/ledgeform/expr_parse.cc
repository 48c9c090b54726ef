// The parser of the expression language and dbex_compile.
//
// An operator-precedence parser with explicit stacks of operands and of
// pending operators, brackets and argument lists, so that deep nesting
// costs heap, never the machine stack. Precedence, loosest first:
//
//   1  name := ...       the right side extends as far as it can
//   2  ? :               right-associative
//   3  ||                4  &&
//   5  < <= == >= > !=   6  =~ !~ (the right operand is a pattern)
//   7  + -               8  * / %
//   9  ^                 10 | &
//   11 >> <<             12 .
//   13 prefix -
//
// Two-operand operators group to the left. A compile runs under the
// compiler's mutex (field lookups read the shared catalogue).
#include <pthread.h>

#include "expr_scan.h"

namespace ledgeform {

namespace {

pthread_mutex_t compile_mutex = PTHREAD_MUTEX_INITIALIZER;

// Entries of both stacks together.
constexpr int kMaxStack = 10000;
// Levels of a tree (counting a possible conversion under every operator):
// trees are walked recursively when evaluated, printed and freed.
constexpr int kMaxDepth = 4000;
constexpr int kNegatePrecedence = 13;
constexpr int kMatchPrecedence = 6;
constexpr int kConditionalPrecedence = 2;
constexpr int kAssignPrecedence = 1;

int binary_precedence(int code) {
    switch (code) {
        case kOr: return 3;
        case kAnd: return 4;
        case kPlus:
        case kMinus: return 7;
        case kTimes:
        case kDivide:
        case kModulo: return 8;
        case kPower: return 9;
        case kBitOr:
        case kBitAnd: return 10;
        case kShiftRight:
        case kShiftLeft: return 11;
        case kConcat: return 12;
        default: return 5;  // the relational operators
    }
}

bool is_comparison(int code) { return code >= kLess && code <= kNotEqual; }

// A growable stack of plain values.
template <typename T>
class Stack {
  public:
    ~Stack() { std::free(items_); }
    void push(const T &v) {
        if (n_ == room_) {
            room_ = room_ ? room_ * 2 : 32;
            items_ = static_cast<T *>(LF_REALLOC(items_, sizeof(T) * room_, "DBX_val.node"));
        }
        items_[n_++] = v;
    }
    T pop() { return items_[--n_]; }
    T &top() { return items_[n_ - 1]; }
    T &at(int i) { return items_[i]; }
    int size() const { return n_; }
    bool empty() const { return n_ == 0; }

  private:
    T *items_ = nullptr;
    int n_ = 0, room_ = 0;
};

struct Operand {
    Expression *node;
    int depth;
};

enum class Entry {
    kParen,        // "(" of a grouping
    kCall,         // "name(": `name`, the arguments so far in `list`
    kWords,        // "[" of a command: the words so far in `list`
    kPipeWords,    // "[|"
    kQuestion,     // "?" waiting for its ":"
    kBinary,       // a two-operand operator: `code`
    kNegate,       // prefix "-"
    kAssign,       // "name :=": `name`
    kConditional,  // "? :" waiting for its else-branch
};

struct OpEntry {
    Entry what;
    int code;
    Expression *name;
    Tbl *list;
    int depth;  // deepest argument or word so far
};

int precedence(const OpEntry &e) {
    switch (e.what) {
        case Entry::kBinary: return binary_precedence(e.code);
        case Entry::kNegate: return kNegatePrecedence;
        case Entry::kAssign: return kAssignPrecedence;
        case Entry::kConditional: return kConditionalPrecedence;
        default: return -1;  // brackets and "?" stop every reduction
    }
}

OpEntry entry(Entry what, int code = 0, Expression *name = nullptr) {
    OpEntry e;
    e.what = what;
    e.code = code;
    e.name = name;
    e.list = nullptr;
    e.depth = 0;
    return e;
}

void free_list(Tbl *list) {
    if (list == nullptr) return;
    for (int i = 0; i < maxtbl(list); i++) dbex_free(static_cast<Expression *>(gettbl(list, i)));
    freetbl(list, nullptr);
}

int deeper(int a, int b) { return a > b ? a : b; }

class Parser {
  public:
    Parser(Dbptr db, const char *text) : scan_(text), db_eval_(db) {}
    ~Parser();

    // The tree, or null when the text does not compile.
    Expression *parse();
    int scanner_errors() const { return scan_.errors(); }

  private:
    void error(const char *message);
    void error_owned(char *message) {
        error(message);
        std::free(message);
    }
    bool fail() {
        failed_ = true;
        return false;
    }
    bool room();
    bool push_operand(Expression *node, int depth);
    bool push_op(const OpEntry &e);
    bool reduce_top();
    bool reduce_above(int precedence, bool right_associative);
    bool reduce_to_bracket();
    bool operand_token(Token t);
    bool operator_token(Token t);
    bool word_boundary(Token t);
    bool close_paren();
    bool add_argument();
    bool close_words();
    bool colon();
    bool match(int code);

    void attach_resolution(Expression *node, const char *name);
    bool field_reference(Expression *name);
    Expression *binary(int code, Expression *l, Expression *r);
    Expression *assignment(Expression *name, Expression *value);
    bool function_call(Expression *name, Tbl *args, int depth);

    Scanner scan_;
    Dbptr db_eval_;
    Stack<Operand> operands_;
    Stack<OpEntry> ops_;
    bool want_operand_ = true;
    bool done_ = false;
    bool failed_ = false;
};

Parser::~Parser() {
    while (!operands_.empty()) dbex_free(operands_.pop().node);
    while (!ops_.empty()) {
        OpEntry e = ops_.pop();
        dbex_free(e.name);
        free_list(e.list);
    }
}

void Parser::error(const char *message) {
    char near[32];
    scan_.near_text(near);
    const char *token = scan_.token_text();
    if (*token != '\0')
        elog_log(0, "eval : %s\n\t near '%s' in '%s'\n", message, token, near);
    else if (near[0] != '\0')
        elog_log(0, "eval : %s\n\t near '%s'\n", message, near);
    else
        elog_log(0, "eval : %s", message);
}

bool Parser::room() {
    if (operands_.size() + ops_.size() < kMaxStack) return true;
    error("parser stack overflow");
    return fail();
}

bool Parser::push_operand(Expression *node, int depth) {
    if (node == nullptr) return fail();
    if (depth > kMaxDepth) {
        dbex_free(node);
        char *m = format_new("expression nested more than %d deep", kMaxDepth);
        error_owned(m);
        return fail();
    }
    operands_.push(Operand{node, depth});
    return room();
}

bool Parser::push_op(const OpEntry &e) {
    ops_.push(e);
    return room();
}

// ---- Semantic actions ----

void Parser::attach_resolution(Expression *node, const char *name) {
    Dbptr p = dblookup(db_eval_, nullptr, nullptr, name, nullptr);
    if (p.database < 0 || p.table < 0 || p.field < 0) return;
    Expression *found = exnew(p.database, kResolvedField, 0);
    found->value.pipe[0] = p.table;
    found->value.pipe[1] = p.field;
    node->x4 = found;
}

bool Parser::field_reference(Expression *name) {
    int type = dbfield_type(db_eval_, name->value.s);
    if (type < 0) {
        error_owned(format_new("field '%s' not found in database ", name->value.s));
        dbex_free(name);
        return fail();
    }
    name->kind = kFieldRef;
    name->type = expression_type_of_field(type);
    attach_resolution(name, name->value.s);
    return push_operand(name, 1);
}

Expression *Parser::binary(int code, Expression *l, Expression *r) {
    if (is_comparison(code) && r->kind == kNullValue && r->type == kInvalidType &&
        r->value.s == nullptr) {
        const char *message = nullptr;
        if (code != kEqual && code != kNotEqual)
            message = "The only relational operators allowed with NULL are '==' and '!=' ";
        else if (l->kind != kFieldRef)
            message = "first operand of expression using NULL must be a field";
        if (message != nullptr) {
            error(message);
            dbex_free(l);
            dbex_free(r);
            return nullptr;
        }
        r->type = l->type;
        r->value.s = l->value.s;  // not owned
        if (l->x4 != nullptr) {
            r->x4 = exnew(l->x4->type, kResolvedField, 0);
            r->x4->value = l->x4->value;
        }
        Expression *node = exnew(dbBOOLEAN, kOperator, code);
        node->left = l;
        node->right = r;
        return node;
    }
    int lt = table_type(l->type), rt = table_type(r->type);
    int type;
    int operands;  // the type both operands are converted to
    switch (code) {
        case kOr:
        case kAnd:
            type = dbBOOLEAN;
            operands = Logical_eval[lt][rt];
            break;
        case kPlus: type = operands = Plus_result[lt][rt]; break;
        case kMinus: type = operands = Minus_result[lt][rt]; break;
        case kTimes:
        case kDivide:
        case kModulo: type = operands = Multiply_result[lt][rt]; break;
        case kPower:
            type = operands = Multiply_result[lt][rt] == dbINTEGER ? dbREAL : Multiply_result[lt][rt];
            break;
        case kBitOr:
        case kBitAnd:
        case kShiftRight:
        case kShiftLeft: type = operands = Bit_result[lt][rt]; break;
        case kConcat: type = operands = dbSTRING; break;
        default:  // comparisons
            type = dbBOOLEAN;
            operands = Boolean_eval[lt][rt];
            break;
    }
    Expression *node = exnew(type, kOperator, code);
    node->left = ex_to_type(l, operands);
    node->right = ex_to_type(r, operands);
    return node;
}

Expression *Parser::assignment(Expression *name, Expression *value) {
    db_eval_ = dblookup(db_eval_, nullptr, nullptr, name->value.s, nullptr);
    if (db_eval_.field < 0) {
        char *table = const_cast<char *>("");
        dbquery(db_eval_, QUERY_TABLE_NAME, &table);
        error_owned(format_new("field '%s' not found in table '%s' ", name->value.s, table));
        dbex_free(name);
        dbex_free(value);
        return nullptr;
    }
    int type = 0;
    type = dbquery(db_eval_, QUERY_FIELD_TYPE, &type);
    name->kind = kFieldRef;
    name->type = expression_type_of_field(type);
    if (value->kind == kNullValue && value->type == kInvalidType && value->value.s == nullptr) {
        value->type = name->type;
        value->value.s = name->value.s;
        attach_resolution(value, name->value.s);
    } else {
        value = ex_to_type(value, name->type);
    }
    Expression *node = exnew(name->type, kOperator, kAssign);
    node->left = value;
    node->right = name;
    return node;
}

bool Parser::function_call(Expression *name, Tbl *args, int depth) {
    const char *written = name->value.s;
    int row = eqfunct(written);
    int n = args != nullptr ? maxtbl(args) : 0;
    auto give_up = [&]() {
        dbex_free(name);
        free_list(args);
        return fail();
    };
    if (row < 0) {
        error_owned(format_new("function not recognized: '%s' ", written));
        return give_up();
    }
    if (std::strcmp(written, "max") == 0 && n == 1) row = eqfunct("%MAX");
    if (std::strcmp(written, "min") == 0 && n == 1) row = eqfunct("%MIN");
    if (std::strcmp(written, "extfile") == 0 && n == 0) row = eqfunct("%dbfilename");
    if (std::strcmp(written, "extfile") == 0 && n == 1) row = eqfunct("%dbextfile");
    if (std::strcmp(written, "epoch2str") == 0 && n == 2) row = kRowEpoch2str;
    if (std::strcmp(written, "epoch2str") == 0 && n == 3) row = kRowZepoch2str;
    if (functions[row].kind == kContextAggregate) {
        // Over the current group in a grouped view, else the whole table.
        Dbptr bundle = dblookup(db_eval_, nullptr, nullptr, "bundle", nullptr);
        row += bundle.field == dbINVALID ? 2 : 1;
    }
    const Exfunction &f = functions[row];
    if (n != f.nargs) {
        error_owned(format_new("%s: wrong number of arguments -- want %d, got %d ", written,
                               f.nargs, n));
        return give_up();
    }
    for (int i = 0; i < n; i++) {
        // The time a time format is applied to is passed whole, never as
        // text.
        int to = (row == kRowEpoch2str || row == kRowZepoch2str) && i == 0 ? dbTIME : f.argtype;
        settbl(args, i, ex_to_type(static_cast<Expression *>(gettbl(args, i)), to));
    }
    Expression *node = exnew(f.type, f.kind, row);
    if (f.kind == kPatsub) {
        auto *pattern = static_cast<Expression *>(gettbl(args, 1));
        if (pattern->kind != kConstant || pattern->type != dbSTRING) {
            error("pattern in patsub must be string");
            dbex_free(node);
            return give_up();
        }
        auto *re = static_cast<regex_t *>(LF_MALLOC(sizeof(regex_t), "preg"));
        char reason[1024];
        if (compile_pattern(re, pattern->value.s, reason, sizeof reason) != 0) {
            std::free(re);
            char *message = format_new("patsub re '%s' didn't compile: %s", pattern->value.s, reason);
            if (std::strlen(message) > 1023) message[1023] = '\0';
            error_owned(message);
            dbex_free(node);
            return give_up();
        }
        std::free(pattern->value.s);
        pattern->value.regexp = re;
        pattern->type = kRegexType;
        node->left = static_cast<Expression *>(gettbl(args, 0));
        node->right = pattern;
        node->x3 = static_cast<Expression *>(gettbl(args, 2));
        freetbl(args, nullptr);
    } else {
        node->expr_tbl = args;
    }
    dbex_free(name);
    return push_operand(node, depth + 2);
}

// ---- Reductions ----

bool Parser::reduce_top() {
    OpEntry e = ops_.pop();
    switch (e.what) {
        case Entry::kBinary: {
            Operand r = operands_.pop(), l = operands_.pop();
            Expression *node = binary(e.code, l.node, r.node);
            if (node == nullptr) return fail();
            return push_operand(node, deeper(l.depth, r.depth) + 2);
        }
        case Entry::kNegate: {
            Operand x = operands_.pop();
            Expression *node = exnew(x.node->type, kOperator, kNegate);
            node->left = x.node;
            if (x.node->type != dbINTEGER && x.node->type != dbREAL) error("bad unary minus sign");
            return push_operand(node, x.depth + 1);
        }
        case Entry::kAssign: {
            Operand value = operands_.pop();
            Expression *node = assignment(e.name, value.node);
            if (node == nullptr) return fail();
            return push_operand(node, value.depth + 2);
        }
        case Entry::kConditional: {
            Operand otherwise = operands_.pop(), then = operands_.pop(), cond = operands_.pop();
            Expression *node = exnew(then.node->type, kOperator, kConditional);
            node->left = ex_to_type(cond.node, dbBOOLEAN);
            node->right = then.node;
            node->x3 = ex_to_type(otherwise.node, table_type(then.node->type));
            return push_operand(node, deeper(cond.depth, deeper(then.depth, otherwise.depth)) + 2);
        }
        default: ops_.push(e); return true;
    }
}

// Reduces the pending operators that bind at least as tightly as an
// incoming one of the given precedence (more tightly, for a
// right-associative one).
bool Parser::reduce_above(int p, bool right_associative) {
    while (!ops_.empty()) {
        int q = precedence(ops_.top());
        if (q < 0 || q < p || (right_associative && q == p)) break;
        if (!reduce_top()) return false;
    }
    return true;
}

// Reduces every pending operator down to the innermost bracket, argument
// list, command or "?".
bool Parser::reduce_to_bracket() {
    while (!ops_.empty() && precedence(ops_.top()) >= 0)
        if (!reduce_top()) return false;
    return true;
}

bool Parser::close_paren() {
    if (!reduce_to_bracket()) return false;
    if (ops_.empty()) {
        error("parse error");
        return fail();
    }
    if (ops_.top().what == Entry::kParen) {
        ops_.pop();
        return true;
    }
    if (ops_.top().what != Entry::kCall) {
        error("parse error");
        return fail();
    }
    if (!add_argument()) return false;
    OpEntry call = ops_.pop();
    return function_call(call.name, call.list, call.depth);
}

bool Parser::add_argument() {
    if (!reduce_to_bracket()) return false;
    if (ops_.empty() || ops_.top().what != Entry::kCall) {
        error("parse error");
        return fail();
    }
    Operand arg = operands_.pop();
    OpEntry &call = ops_.top();
    if (call.list == nullptr) call.list = newtbl(2);
    pushtbl(call.list, arg.node);
    call.depth = deeper(call.depth, arg.depth);
    return true;
}

// Ends the word being read in a command; false when no command is open.
bool Parser::word_boundary(Token) {
    if (!reduce_to_bracket()) return false;
    if (ops_.empty() ||
        (ops_.top().what != Entry::kWords && ops_.top().what != Entry::kPipeWords)) {
        error("parse error");
        return fail();
    }
    Operand word = operands_.pop();
    OpEntry &words = ops_.top();
    if (words.list == nullptr) words.list = newtbl(4);
    pushtbl(words.list, ex_to_type(word.node, dbSTRING));
    words.depth = deeper(words.depth, word.depth + 1);
    return true;
}

bool Parser::close_words() {
    Token none;
    if (!word_boundary(none)) return false;
    OpEntry words = ops_.pop();
    Expression *node = exnew(dbSTRING, words.what == Entry::kWords ? kExec : kPipe, 0);
    node->expr_tbl = words.list;
    return push_operand(node, words.depth + 1);
}

bool Parser::colon() {
    if (!reduce_to_bracket()) return false;
    if (ops_.empty() || ops_.top().what != Entry::kQuestion) {
        error("parse error");
        return fail();
    }
    ops_.top().what = Entry::kConditional;
    return true;
}

bool Parser::match(int code) {
    if (!reduce_above(kMatchPrecedence, false)) return false;
    Token pattern = scan_.next();
    if (pattern.kind != Tok::kPattern) {
        dbex_free(pattern.node);
        error("parse error");
        return fail();
    }
    Operand subject = operands_.pop();
    Expression *node = exnew(dbBOOLEAN, kOperator, code);
    node->left = ex_to_type(subject.node, dbSTRING);
    node->right = pattern.node;
    return push_operand(node, subject.depth + 2);
}

// ---- The two states ----

bool Parser::operand_token(Token t) {
    switch (t.kind) {
        case Tok::kConstant:
            want_operand_ = false;
            return push_operand(t.node, 1);
        case Tok::kName: {
            Token after = scan_.next();
            if (after.kind == Tok::kChar && after.code == '(') {
                if (!push_op(entry(Entry::kCall, 0, t.node))) return false;
                Token first = scan_.next();
                if (first.kind == Tok::kChar && first.code == ')') {
                    OpEntry call = ops_.pop();
                    want_operand_ = false;
                    return function_call(call.name, nullptr, 0);
                }
                scan_.push_back(first);
                return true;
            }
            if (after.kind == Tok::kAssign) return push_op(entry(Entry::kAssign, kAssign, t.node));
            scan_.push_back(after);
            want_operand_ = false;
            return field_reference(t.node);
        }
        case Tok::kChar:
            if (t.code == '(') return push_op(entry(Entry::kParen));
            if (t.code == '-') return push_op(entry(Entry::kNegate, kNegate));
            if (t.code == '[') return push_op(entry(Entry::kWords));
            break;
        case Tok::kPipeOpen: return push_op(entry(Entry::kPipeWords));
        default: break;
    }
    dbex_free(t.node);
    error("parse error");
    return fail();
}

bool Parser::operator_token(Token t) {
    int code = t.code;
    switch (t.kind) {
        case Tok::kBinary:
            if (!reduce_above(binary_precedence(code), false)) return false;
            want_operand_ = true;
            return push_op(entry(Entry::kBinary, code));
        case Tok::kMatch: return match(code);
        case Tok::kQuestion:
            if (!reduce_above(kConditionalPrecedence, true)) return false;
            want_operand_ = true;
            return push_op(entry(Entry::kQuestion, kConditional));
        case Tok::kEnd:
            if (!reduce_to_bracket()) return false;
            if (!ops_.empty() || operands_.size() != 1) {
                error("parse error");
                return fail();
            }
            done_ = true;
            return true;
        case Tok::kChar:
            switch (code) {
                case '-':
                    if (!reduce_above(binary_precedence(kMinus), false)) return false;
                    want_operand_ = true;
                    return push_op(entry(Entry::kBinary, kMinus));
                case ':': want_operand_ = true; return colon();
                case ')': return close_paren();
                case ',': want_operand_ = true; return add_argument();
                case ']': return close_words();
                case '(':
                case '[': break;  // the start of the next word of a command
                default: error("parse error"); return fail();
            }
            [[fallthrough]];
        case Tok::kConstant:
        case Tok::kName:
        case Tok::kPipeOpen:
            if (!word_boundary(t)) {
                dbex_free(t.node);
                return false;
            }
            scan_.push_back(t);
            want_operand_ = true;
            return true;
        default:
            dbex_free(t.node);
            error("parse error");
            return fail();
    }
}

Expression *Parser::parse() {
    while (!done_ && !failed_) {
        Token t = scan_.next();
        if (want_operand_)
            operand_token(t);
        else
            operator_token(t);
    }
    if (failed_) return nullptr;
    return operands_.pop().node;
}

}  // namespace

}  // namespace ledgeform

using namespace ledgeform;

extern "C" int dbex_compile(Dbptr db, const char *expr, Expression **tree, int type) {
    MutexGuard hold(compile_mutex);
    Parser parser(db, expr);
    Expression *root = parser.parse();
    if (root == nullptr || parser.scanner_errors() != 0) {
        *tree = nullptr;
        dbex_free(root);
        return dbINVALID;
    }
    int own = root->type;
    if (own == kInvalidType) {
        *tree = nullptr;
        dbex_free(root);
        elog_log(0, "Expression could not be compiled: %s\n", expr != nullptr ? expr : "");
        return dbINVALID;
    }
    *tree = type != 0 ? ex_to_type(root, type) : root;
    return own;
}
