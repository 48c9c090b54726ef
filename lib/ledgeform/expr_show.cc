// Printing expression trees (for debugging): a tree in postfix order,
// one node, a type and a constant.
#include "expr_private.h"
#include "expr_show.h"

namespace ledgeform {

namespace {

const char *const kOperatorText[kOperatorCount] = {
    " OR ",  " AND ", " LT ", " LE ",   " EQ ",       " GE ", " GT ", " NE ",
    " + ",   " - ",   " * ",  " / ",    " LIKE ",     " UNLIKE ", "^",  " ? ",
    " := ",  " . ",   " negative ", " % ", " | ",     " & ",  " >> ", " << ",
};

const char *const kTypeText[kTypeCount] = {"(invalid)", "(boolean)", "(integer)", "(real)",
                                           "(time)",    "(yearday)", "(string)",  "(regexp)"};

}  // namespace

void show_type(FILE *out, int type) {
    std::fputs(type >= 0 && type < kTypeCount ? kTypeText[type] : "(**UNKNOWN**)", out);
}

void show_immediate(FILE *out, const Exvalue *value, int type) {
    switch (type) {
        case kInvalidType: std::fputs("(invalid)", out); return;
        case dbBOOLEAN: std::fprintf(out, " %s ", value->i ? "true" : "false"); return;
        case dbINTEGER:
        case dbYEARDAY: std::fprintf(out, " %d ", value->i); return;
        case dbREAL: {
            char text[64];
            std::fprintf(out, " %s ", strdbl(value->d, text));
            return;
        }
        case dbTIME: {
            Owned<char> text(strydtime(value->d));
            std::fprintf(out, " %s ", text.get() != nullptr ? text.get() : "");
            return;
        }
        case dbSTRING: std::fprintf(out, " \"%s\" ", value->s != nullptr ? value->s : ""); return;
        case kRegexType: std::fputs(" /RE/ ", out); return;
        default: std::fputs("(**UNKNOWN**)", out); return;
    }
}

void show_value(FILE *out, const Exvalue *value, int kind, int type) {
    if (is_call_kind(kind)) {
        std::fprintf(out, " %s", value->i >= 0 && value->i < nfunctions ? functions[value->i].name : "?");
        return;
    }
    switch (kind) {
        case kConstant: show_immediate(out, value, type); return;
        case kOperator:
            std::fputs(value->i >= 0 && value->i < kOperatorCount ? kOperatorText[value->i]
                                                                   : " unknown operator ",
                       out);
            return;
        case kFieldRef: std::fprintf(out, " %s ", value->s != nullptr ? value->s : ""); return;
        case kConversion: std::fputs(" type-conversion ", out); return;
        case kNullValue: std::fputs(" NULL", out); return;
        case kExec: std::fputs(" Exec", out); return;
        case kPipe: std::fputs(" Pipe", out); return;
        default: std::fprintf(out, "** Error: Unknown kind %d in node!!\n", kind); return;
    }
}

void show_expression(FILE *out, const Expression *tree, int showtypes) {
    if (tree == nullptr) return;
    show_expression(out, tree->left, showtypes);
    show_expression(out, tree->right, showtypes);
    if (tree->expr_tbl != nullptr)
        for (int i = 0; i < maxtbl(tree->expr_tbl); i++)
            show_expression(out, static_cast<Expression *>(gettbl(tree->expr_tbl, i)), showtypes);
    if (showtypes) show_type(out, tree->type);
    show_value(out, &tree->value, tree->kind, tree->type);
}

}  // namespace ledgeform

using namespace ledgeform;

extern "C" {

void exshow_expression(Expression *tree, int showtypes) { show_expression(stdout, tree, showtypes); }
void exshow_value(Exvalue *value, int kind, int type) { show_value(stdout, value, kind, type); }
void exshow_type(int type) { show_type(stdout, type); }
void exshow_immediate(Exvalue *value, int type) { show_immediate(stdout, value, type); }

}  // extern "C"
