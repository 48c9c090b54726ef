// The fixed tables of the expression language (result types of the
// operators, conversions, type names, the built-in functions) and the
// routines that make, convert and free tree nodes.
#include <cstdarg>

#include "expr_builtins.h"
#include "expr_private.h"
#include "geopos.h"
#include "journ.h"

namespace ledgeform {

// Rows and columns: type of the left operand, type of the right one,
// 0 (invalid) to 7 (regular expression).
const TypeTable Plus_result = {
    {0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 2, 3, 4, 5, 2, 0},
    {0, 0, 3, 3, 4, 4, 3, 0}, {0, 0, 4, 4, 0, 0, 0, 0}, {0, 0, 5, 4, 0, 0, 5, 0},
    {0, 0, 2, 3, 0, 5, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0},
};

const TypeTable Minus_result = {
    {0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 2, 3, 4, 0, 2, 0},
    {0, 0, 3, 3, 4, 4, 3, 0}, {0, 0, 4, 4, 3, 3, 0, 0}, {0, 0, 5, 4, 3, 0, 5, 0},
    {0, 0, 2, 3, 0, 5, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0},
};

const TypeTable Multiply_result = {
    {0, 0, 0, 0, 0, 0, 0, 0}, {0, 1, 2, 3, 3, 2, 3, 0}, {0, 2, 2, 3, 3, 2, 3, 0},
    {0, 3, 3, 3, 3, 3, 3, 0}, {0, 3, 3, 3, 3, 3, 3, 0}, {0, 2, 2, 3, 3, 2, 3, 0},
    {0, 3, 3, 3, 3, 3, 3, 0}, {0, 0, 0, 0, 0, 0, 0, 0},
};

const TypeTable Bit_result = {
    {0, 0, 0, 0, 0, 0, 0, 0}, {0, 2, 2, 2, 2, 2, 2, 2}, {0, 2, 2, 2, 2, 2, 2, 2},
    {0, 2, 2, 2, 2, 2, 2, 2}, {0, 2, 2, 2, 2, 2, 2, 2}, {0, 2, 2, 2, 2, 2, 2, 2},
    {0, 2, 2, 2, 2, 2, 2, 2}, {0, 0, 0, 0, 0, 0, 0, 0},
};

const TypeTable Boolean_eval = {
    {0, 0, 0, 0, 0, 0, 0, 0}, {0, 1, 1, 1, 1, 1, 1, 6}, {0, 1, 1, 3, 4, 5, 2, 6},
    {0, 1, 3, 3, 4, 4, 3, 6}, {0, 1, 4, 4, 4, 4, 4, 6}, {0, 1, 5, 4, 4, 5, 5, 6},
    {0, 1, 2, 3, 4, 5, 6, 6}, {0, 0, 0, 0, 0, 0, 0, 0},
};

const TypeTable Logical_eval = {
    {0, 0, 0, 0, 0, 0, 0, 0}, {0, 1, 1, 1, 1, 1, 1, 1}, {0, 1, 1, 1, 1, 1, 1, 1},
    {0, 1, 1, 1, 1, 1, 1, 1}, {0, 1, 1, 1, 1, 1, 1, 1}, {0, 1, 1, 1, 1, 1, 1, 1},
    {0, 1, 1, 1, 1, 1, 1, 1}, {0, 0, 0, 0, 0, 0, 0, 0},
};

// [source][target]: 0 the node serves as it is, 1 a conversion node, -1 a
// conversion node of type 0 (not allowed).
const TypeTable type_convert = {
    {-1, -1, -1, -1, -1, -1, -1, -1}, {-1, 0, 0, 1, -1, -1, 1, -1},
    {-1, 0, 0, 1, 1, 0, 1, -1},       {-1, 1, 1, 0, 0, 1, 1, -1},
    {-1, 1, 1, 0, 0, 1, 1, -1},       {-1, 0, 0, 1, 1, 0, 1, -1},
    {-1, 1, 1, 1, 1, 1, 0, -1},       {-1, -1, -1, -1, -1, -1, -1, -1},
};

const char *const typenames[] = {"dbBOOLEAN", "dbINTEGER", "dbREAL",           "dbTIME",
                                 "dbYEARDAY", "dbSTRING",  "regular expression"};
const int ntypenames = 7;

namespace {

// Each row keeps its implementation under a generic function type; the
// evaluator calls it through its real one.
template <typename F>
double (*as_fd(F f))(void) {
    return reinterpret_cast<double (*)(void)>(reinterpret_cast<void (*)(void)>(f));
}
template <typename F>
int32_t (*as_fi(F f))(void) {
    return reinterpret_cast<int32_t (*)(void)>(reinterpret_cast<void (*)(void)>(f));
}
template <typename F>
char *(*as_fs(F f))(void) {
    return reinterpret_cast<char *(*)(void)>(reinterpret_cast<void (*)(void)>(f));
}

// Library calls whose C signatures the table needs exactly.
double lib_epoch(int32_t yd) { return epoch(yd); }
int32_t lib_yearday(double e) { return yearday(e); }
char *lib_strdate(double e) { return strdate(e); }
char *lib_strtime(double e) { return strtime(e); }
char *lib_strydtime(double e) { return strydtime(e); }
char *lib_strtdelta(double e) { return strtdelta(e); }
double lib_str2epoch(char *s) { return str2epoch(s); }

#define FD(f) as_fd(f), nullptr, nullptr
#define FI(f) nullptr, as_fi(f), nullptr
#define FS(f) nullptr, nullptr, as_fs(f)
#define NONE nullptr, nullptr, nullptr

}  // namespace

// Order matters: a kind-120 row is followed by its group form and then its
// table form; names beginning with "%" are reached only by renaming.
const Exfunction functions[] = {
    {"distance", 3, 3, 108, 4, FD(exf_distance)},
    {"deg2km", 3, 3, 104, 1, FD(deg2km)},
    {"km2deg", 3, 3, 104, 1, FD(km2deg)},
    {"azimuth", 3, 3, 108, 4, FD(exf_azimuth)},
    {"latitude", 3, 3, 108, 4, FD(exf_latitude)},
    {"longitude", 3, 3, 108, 4, FD(exf_longitude)},
    {"abs", 3, 3, 104, 1, FD(exf_abs)},
    {"ceil", 3, 3, 104, 1, FD(exf_ceil)},
    {"floor", 3, 3, 104, 1, FD(exf_floor)},
    {"int", 3, 3, 104, 1, FD(exf_int)},
    {"sqrt", 3, 3, 104, 1, FD(exf_sqrt)},
    {"cos", 3, 3, 104, 1, FD(exf_cos)},
    {"sin", 3, 3, 104, 1, FD(exf_sin)},
    {"tan", 3, 3, 104, 1, FD(exf_tan)},
    {"atan", 3, 3, 106, 2, FD(exf_atan)},
    {"log", 3, 3, 104, 1, FD(exf_log)},
    {"log10", 3, 3, 104, 1, FD(exf_log10)},
    {"sign", 3, 3, 104, 1, FD(exf_sign)},
    {"exp", 3, 3, 104, 1, FD(exf_exp)},
    {"epoch", 4, 2, 104, 1, FD(lib_epoch)},
    {"ptime", 3, 3, 106, 2, FD(pphasetime)},
    {"pphasetime", 3, 3, 106, 2, FD(pphasetime)},
    {"pphase_slowness", 3, 3, 106, 2, FD(pphase_slowness)},
    {"stime", 3, 3, 106, 2, FD(sphasetime)},
    {"sphasetime", 3, 3, 106, 2, FD(sphasetime)},
    {"sphase_slowness", 3, 3, 106, 2, FD(sphase_slowness)},
    {"phase_slowness", 3, 6, 107, 3, FD(exf_phase_slowness)},
    {"phasetime", 3, 6, 107, 3, FD(exf_phasetime)},
    {"min", 3, 3, 106, 2, FD(exf_min)},
    {"max", 3, 3, 106, 2, FD(exf_max)},
    {"grn", 2, 3, 106, 2, FI(exf_grn)},
    {"grname", 6, 3, 106, 2, FS(exf_grname)},
    {"gregion", 6, 3, 106, 2, FS(exf_grname)},
    {"srn", 2, 3, 106, 2, FI(exf_srn)},
    {"srname", 6, 3, 106, 2, FS(exf_srname)},
    {"sregion", 6, 3, 106, 2, FS(exf_srname)},
    {"now", 4, 3, 111, 0, FD(exf_now)},
    {"arrival", 4, 6, 113, 1, FD(exf_arrival)},
    {"parrival", 4, 3, 112, 0, FD(exf_parrival)},
    {"sarrival", 4, 3, 112, 0, FD(exf_sarrival)},
    {"phase_arrival", 4, 3, 113, 1, FD(exf_phase_arrival)},
    {"null", 6, 6, 113, 1, FS(exf_null)},
    {"date2e", 4, 3, 108, 4, FD(exf_date2e)},
    {"yearday", 5, 4, 104, 1, FI(lib_yearday)},
    {"strdate", 6, 4, 104, 1, FS(lib_strdate)},
    {"strtime", 6, 4, 104, 1, FS(lib_strtime)},
    {"strydtime", 6, 4, 104, 1, FS(lib_strydtime)},
    {"dirname", 6, 6, 104, 1, FS(exf_dirname)},
    {"basename", 6, 6, 104, 1, FS(exf_basename)},
    {"substr", 6, 6, 107, 3, FS(exf_substr)},
    {"strlen", 2, 6, 104, 1, FI(exf_strlen)},
    {"concatpaths", 6, 6, 106, 2, FS(exf_concatpaths)},
    {"epoch2str", 6, 6, 106, 2, FS(exf_epoch2str)},
    {"%epoch2str", 6, 6, 106, 2, FS(exf_epoch2str)},
    {"%zepoch2str", 6, 6, 107, 3, FS(exf_zepoch2str)},
    {"strtdelta", 6, 4, 104, 1, FS(lib_strtdelta)},
    {"str2epoch", 4, 6, 104, 1, FD(lib_str2epoch)},
    {"patsub", 6, 6, 110, 3, FS(exf_patsub)},
    {"record", 2, 0, 112, 0, FI(exf_record)},
    {"count", 2, 0, 120, 0, NONE},
    {"%count_group", 2, 0, 112, 0, FI(exf_count_group)},
    {"count_table", 2, 0, 112, 0, FI(exf_count_table)},
    {"extfile", 6, 0, 120, 0, NONE},
    {"%dbfilename", 6, 0, 112, 0, FS(exf_dbfilename)},
    {"%dbextfile", 6, 6, 113, 1, FS(exf_dbextfile)},
    {"sum", 3, 3, 120, 1, NONE},
    {"%sum_group", 3, 3, 119, 1, FD(exf_sum_group)},
    {"sum_table", 3, 3, 119, 1, FD(exf_sum_table)},
    {"%MAX", 3, 3, 120, 1, NONE},
    {"%max_group", 3, 3, 119, 1, FD(exf_max_group)},
    {"max_table", 3, 3, 119, 1, FD(exf_max_table)},
    {"%MIN", 3, 3, 120, 1, NONE},
    {"%min_group", 3, 3, 119, 1, FD(exf_min_group)},
    {"min_table", 3, 3, 119, 1, FD(exf_min_table)},
};
const int nfunctions = sizeof functions / sizeof functions[0];
static_assert(sizeof functions / sizeof functions[0] == 74, "the built-in table has 74 rows");

const int kRowEpoch2str = 53;
const int kRowZepoch2str = 54;

char *format_new(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    va_list again;
    va_copy(again, ap);
    int n = std::vsnprintf(nullptr, 0, format, ap);
    va_end(ap);
    std::size_t size = n > 0 ? static_cast<std::size_t>(n) + 1 : 1;
    auto *s = static_cast<char *>(LF_MALLOC(size, "text"));
    if (n > 0)
        std::vsnprintf(s, size, format, again);
    else
        s[0] = '\0';
    va_end(again);
    return s;
}

}  // namespace ledgeform

using namespace ledgeform;

extern "C" {

Expression *exnew(int type, int kind, int value) {
    auto *node = LF_NEW_RECORD(Expression, "new");
    node->type = type;
    node->kind = kind;
    node->value.i = value;
    return node;
}

Expression *ex_to_type(Expression *node, int type) {
    if (type < 0 || type >= kTypeCount) elog_die(0, "Bad type %d in ex_to_type \n", type);
    int how = type_convert[table_type(node->type)][type];
    if (how == 0) return node;
    Expression *conversion = exnew(how < 0 ? kInvalidType : type, kConversion, node->type);
    conversion->left = node;
    return conversion;
}

int eqfunct(const char *name) {
    if (name == nullptr) return -1;
    for (int i = 0; i < nfunctions; i++)
        if (std::strcmp(functions[i].name, name) == 0) return i;
    return -1;
}

int dbex_free(Expression *tree) {
    if (tree == nullptr) return 0;
    dbex_free(tree->left);
    Expression *right = tree->right;
    bool pattern_operand = (tree->kind == kOperator && (tree->value.i == kMatch ||
                                                         tree->value.i == kNoMatch)) ||
                           tree->kind == kPatsub;
    if (pattern_operand && right != nullptr && right->kind == kConstant &&
        right->type == kRegexType) {
        if (right->value.regexp != nullptr) {
            regfree(right->value.regexp);
            std::free(right->value.regexp);
        }
        std::free(right);
    } else {
        dbex_free(right);
    }
    dbex_free(tree->x3);
    dbex_free(tree->x4);
    if (tree->expr_tbl != nullptr) {
        for (int i = 0; i < maxtbl(tree->expr_tbl); i++)
            dbex_free(static_cast<Expression *>(gettbl(tree->expr_tbl, i)));
        freetbl(tree->expr_tbl, nullptr);
    }
    if (tree->kind == kConstant && tree->type == dbSTRING) {
        std::free(tree->value.s);
    } else if (tree->kind == kConstant && tree->type == kRegexType) {
        if (tree->value.regexp != nullptr) {
            regfree(tree->value.regexp);
            std::free(tree->value.regexp);
        }
    } else if (tree->kind == kFieldRef) {
        std::free(tree->value.s);
    }
    std::free(tree);
    return 0;
}

char *dbtypename(int type) {
    if (type == dbINVALID) return const_cast<char *>("dbINVALID");
    if (type >= 1 && type <= ntypenames) return const_cast<char *>(typenames[type - 1]);
    return const_cast<char *>("** Unknown **");
}

void badconvert(int from, int to) {
    elog_log(0, "Bad conversion (compile error) from %s to %s\n", dbtypename(from),
             dbtypename(to));
    Db_ex_err++;
}

}  // extern "C"
