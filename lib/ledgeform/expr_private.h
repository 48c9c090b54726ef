// Internals of the expression language shared by its compiler, printers
// and evaluator: node kinds, operator codes, the type tables, the table of
// built-in functions and the helpers that convert values without leaving
// the range of their types.
#ifndef LEDGEFORM_EXPR_PRIVATE_H
#define LEDGEFORM_EXPR_PRIVATE_H

#include <cmath>
#include <cstdint>

#include "ledgeform_private.h"

namespace ledgeform {

// ---- Node kinds ----

enum NodeKind {
    kConstant = 101,
    kOperator = 102,
    kFieldRef = 103,
    kFunction1 = 104,
    kConversion = 105,
    kFunction2 = 106,
    kFunction3 = 107,
    kFunction4 = 108,
    kNullValue = 109,
    kPatsub = 110,
    kFunction0 = 111,
    kRecordFunction0 = 112,
    kRecordFunction1 = 113,
    kExec = 117,
    kPipe = 118,
    kAggregate = 119,
    kContextAggregate = 120,
    // Not a node of the language: the compiler hangs one on the x4 link of
    // a field reference (and of a NULL compared with a field) to remember
    // where the field was found, so that evaluation does not look it up by
    // name for every record. It holds the database id in `type` and the
    // table and field ids in value.pipe; it has no value and no text.
    kResolvedField = 121,
};

// The kinds of a call of a built-in function (value.i is its row).
inline bool is_call_kind(int kind) {
    switch (kind) {
        case kFunction0:
        case kFunction1:
        case kFunction2:
        case kFunction3:
        case kFunction4:
        case kPatsub:
        case kRecordFunction0:
        case kRecordFunction1:
        case kAggregate: return true;
        default: return false;
    }
}

// ---- Operator codes ----

enum OperatorCode {
    kOr = 0,
    kAnd = 1,
    kLess = 2,
    kLessEqual = 3,
    kEqual = 4,
    kGreaterEqual = 5,
    kGreater = 6,
    kNotEqual = 7,
    kPlus = 8,
    kMinus = 9,
    kTimes = 10,
    kDivide = 11,
    kMatch = 12,
    kNoMatch = 13,
    kPower = 14,
    kConditional = 15,
    kAssign = 16,
    kConcat = 17,
    kNegate = 18,
    kModulo = 19,
    kBitOr = 20,
    kBitAnd = 21,
    kShiftRight = 22,
    kShiftLeft = 23,
};
constexpr int kOperatorCount = 24;

// ---- Types ----

constexpr int kInvalidType = 0;
constexpr int kRegexType = 7;
constexpr int kNoValue = dbINVALID;  // type of a node the evaluator has no rule for
constexpr int kTypeCount = 8;

inline bool is_int_type(int t) { return t == dbBOOLEAN || t == dbINTEGER || t == dbYEARDAY; }
inline bool is_real_type(int t) { return t == dbREAL || t == dbTIME; }
inline int table_type(int t) { return t >= 0 && t < kTypeCount ? t : kInvalidType; }

// The expression type of a field of schema type t: the binary number types
// read and write as integers and reals; a database pointer has no value.
inline int expression_type_of_field(int t) {
    switch (t) {
        case kBfloat:
        case kBdouble: return dbREAL;
        case kBshort:
        case kBint: return dbINTEGER;
        default: return t >= dbBOOLEAN && t <= dbSTRING ? t : kInvalidType;
    }
}

using TypeTable = int[kTypeCount][kTypeCount];
extern const TypeTable Plus_result, Minus_result, Multiply_result, Bit_result, Boolean_eval,
    Logical_eval, type_convert;

extern const char *const typenames[];
extern const int ntypenames;

// ---- Built-in functions ----

struct Exfunction {
    const char *name;
    int type;     // result type
    int argtype;  // type every argument is converted to
    int kind;     // node kind of a call
    int nargs;
    double (*fd)(void);
    int32_t (*fi)(void);
    char *(*fs)(void);
};

extern const Exfunction functions[];
extern const int nfunctions;

// Rows the compiler and evaluator treat by name.
extern const int kRowEpoch2str;   // "%epoch2str"
extern const int kRowZepoch2str;  // "%zepoch2str"

// ---- Values ----

// The failure value of a type, stored when an evaluation fails.
constexpr int32_t kIntFailure = INT32_MIN;

// d as an int when it lies in the int range (after the caller's rounding);
// false for NaN, infinities and values out of range.
inline bool fits_int(double d) { return d >= -2147483648.0 && d <= 2147483647.0; }

// Wrapping 32-bit arithmetic.
inline int32_t wrap_add(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
inline int32_t wrap_sub(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}
inline int32_t wrap_mul(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

// A new malloc'd string of the printf format (out of memory is fatal).
char *format_new(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Compiles an extended regular expression; 0, or an error code with the
// reason written into reason (room bytes). A pattern the engine would take
// too long over or too much memory for is refused before it is compiled.
int compile_pattern(regex_t *re, const char *text, char *reason, std::size_t room);

// ---- Evaluation ----

// The errors counted by the evaluation running in this thread.
extern thread_local int Db_ex_err;

// The table a run of evaluations reads (dbsubset's loop over the records
// of one table), looked up once for the run rather than at every field.
struct EvalTable {
    int database = dbINVALID, table = dbINVALID;
    Relation *relation = nullptr;
    Table *data = nullptr;
};

// What one evaluation keeps until it ends: the strings it made (freed
// then), room for the field texts it reads, and the last numbers it read
// from fields, so that a field compared twice is read once. Whatever may
// write a record (an assignment, a command, a function) calls forget().
class EvalTemps {
  public:
    explicit EvalTemps(const EvalTable *table = nullptr) : table_(table) {}
    ~EvalTemps();
    EvalTemps(const EvalTemps &) = delete;
    EvalTemps &operator=(const EvalTemps &) = delete;

    // Keeps a malloc'd string until the evaluation ends.
    void keep(char *s);
    // n bytes that last until the evaluation ends.
    char *room(std::size_t n);

    // The number last read from a field of a record (as a value of that
    // group), if any.
    bool recall(Dbptr field, int group, Exvalue *value) const;
    void remember(Dbptr field, int group, const Exvalue &value);
    void forget() { nread_ = 0; }

    // The run's table, or null.
    const EvalTable *table() const { return table_; }

  private:
    const EvalTable *table_;
    static constexpr int kOwned = 8;
    static constexpr std::size_t kArena = 1024;
    static constexpr int kRead = 2;
    struct Read {
        Dbptr field;
        int group;
        Exvalue value;
    };
    char *owned_[kOwned];
    int nowned_ = 0;
    Tbl *more_ = nullptr;  // the strings beyond kOwned
    alignas(8) char arena_[kArena];
    std::size_t used_ = 0;
    Read read_[kRead];
    int nread_ = 0, next_ = 0;
};

// Evaluates one node into *result; strings it makes go on temps.
void eval_expression(Dbptr db, Expression *node, int flag, Exvalue *result, EvalTemps *temps);

// Evaluates tree for the record db as _dbex_eval does, with the table of a
// run of evaluations (null for none).
int evaluate_tree(Dbptr db, Expression *tree, int flag, void *result, const EvalTable *table);

// dbex_eval of one record of a run over the table: the evaluator lock is
// held for the record.
int evaluate_record(Dbptr db, Expression *tree, int flag, void *result, const EvalTable *table);

// Reads the field a field reference (or NULL node) names from the record
// db (the node's own record member decides nothing: the caller sets it);
// true when it could be read.
bool read_field_value(Dbptr db, Expression *node, Exvalue *result, EvalTemps *temps);

// Runs the program the first word names (along PATH) with the words as its
// arguments and standard input from /dev/null: a new string of what it
// wrote on its standard output and error (at most kCommandOutput bytes,
// without one trailing newline), or null after an error (logged).
constexpr std::size_t kCommandOutput = 1024;
char *run_command(Tbl *words);

// A new string on the temporary list (null when s is null: an empty one).
char *keep_string(EvalTemps *temps, char *s);

}  // namespace ledgeform

#endif
