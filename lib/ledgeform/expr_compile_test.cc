// The expression compiler: precedence and grouping, types and conversions,
// the scanner's tokens, functions and their renaming, NULL, includes, the
// printers and every error message.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "costly_patterns.h"
#include "expr_show.h"
#include "expr_testing.h"
#include "stream_capture.h"

namespace {

using expr_testing::compile;
using expr_testing::Compiled;
using expr_testing::grouping;
using expr_testing::QuakeTest;
using testing::HasSubstr;
using testsupport::printed;
using testsupport::write_file;

using namespace ledgeform;

using CompileTest = QuakeTest;

std::string shown(const Expression *tree, int showtypes = 0) {
    return printed([&](FILE *out) { show_expression(out, tree, showtypes); });
}

TEST_F(CompileTest, PrecedenceAndGrouping) {
    const struct {
        const char *text, *grouping;
    } cases[] = {
        {"a := b := c", "(a := (b := c))"},
        {"a ? b : c ? d : e", "(a ? b : (c ? d : e))"},
        {"a || b && c", "(a || (b && c))"},
        {"a && b || c", "((a && b) || c)"},
        {"a == b =~ /x/", "(a == (b =~ /re/))"},
        {"a + b =~ /x/", "((a + b) =~ /re/)"},
        {"a . b !~ /x/", "((a . b) !~ /re/)"},
        {"2 ^ 3 ^ 2", "((2 ^ 3) ^ 2)"},
        {"a * b | c", "(a * (b | c))"},
        {"a | b * c", "((a | b) * c)"},
        {"a + b . c", "(a + (b . c))"},
        {"-a . b", "((-a) . b)"},
        {"- a ^ b", "((-a) ^ b)"},
        {"x + y := 3", "(x + (y := 3))"},
        {"x * y := 3 + 4", "(x * (y := (3 + 4)))"},
        {"a < b < c", "((a < b) < c)"},
        {"a - b - c", "((a - b) - c)"},
        {"a / b * c % d", "(((a / b) * c) % d)"},
        {"a | b & c", "((a | b) & c)"},
        {"a << b | c", "((a << b) | c)"},
        {"a | b >> c", "(a | (b >> c))"},
        {"a . b << c", "((a . b) << c)"},
        {"a ^ b * c", "((a ^ b) * c)"},
        {"a * b ^ c", "(a * (b ^ c))"},
        {"a ^ b | c", "(a ^ (b | c))"},
        {"a >> b . c", "(a >> (b . c))"},
        {"a ? b : c || d", "(a ? b : (c || d))"},
        {"a || b ? c : d", "((a || b) ? c : d)"},
        {"a ? b ? c : d : e", "(a ? (b ? c : d) : e)"},
        {"a ? x := 1 : 2", "(a ? (x := 1) : 2)"},
        {"y := a ? b : c", "(y := (a ? b : c))"},
        {"a ? b : y := c", "(a ? b : (y := c))"},
        {"(a + b) * c", "((a + b) * c)"},
        {"((a))", "a"},
        {"a =~ /x/ || b =~ /y/", "((a =~ /re/) || (b =~ /re/))"},
        {"a + b == c * d", "((a + b) == (c * d))"},
        {"a > 1 && b < 2 || c", "(((a > 1) && (b < 2)) || c)"},
        {"abs(a - b) + 1", "(abs((a - b)) + 1)"},
        {"max(a, b) * 2", "(max(a, b) * 2)"},
        {"-a - -b", "((-a) - (-b))"},
        {"--a", "(-(-a))"},
        {"a-1", "(a - 1)"},
        {"s . 'x' . 'y'", "((s . 'x') . 'y')"},
        {"plain.a + 1", "(plain.a + 1)"},
    };
    for (const auto &c : cases) {
        Compiled e = compile(plain_, c.text);
        ASSERT_NE(e.tree, nullptr) << c.text << "\n" << log();
        EXPECT_EQ(grouping(e.tree), c.grouping) << c.text;
    }
    EXPECT_EQ(log(), "");
}

TEST_F(CompileTest, TypesOfOperators) {
    const struct {
        const char *text;
        int type;
    } cases[] = {
        {"1 + 2", dbINTEGER},         {"1 + 2.5", dbREAL},          {"time + 1", dbTIME},
        {"jdate + 1", dbYEARDAY},     {"time - time", dbREAL},      {"jdate - jdate", -102},
        {"'a' . 'b'", dbSTRING},      {"a . 1", dbSTRING},          {"s =~ /x/", dbBOOLEAN},
        {"2 ^ 2", dbREAL},            {"a * 2", dbINTEGER},         {"a / 2.0", dbREAL},
        {"a % 2", dbINTEGER},         {"r | 1", dbINTEGER},         {"a < r", dbBOOLEAN},
        {"s + 1", dbINTEGER},         {"s - 1.5", dbREAL},          {"time + jdate", -102},
        {"a > 1 ? r : a", dbREAL},    {"a > 1 ? a : r", dbINTEGER}, {"-r", dbREAL},
        {"a := 2.7", dbINTEGER},      {"s := 3", dbSTRING},         {"NULL + 1", -102},
        {"a || s", dbBOOLEAN},        {"(a > 1) * (b > 1)", dbBOOLEAN},
        {"_2004-123 12:00:00_", dbTIME},
    };
    for (const auto &c : cases) {
        Compiled e = compile(plain_, c.text);
        EXPECT_EQ(e.rc, c.type) << c.text << "\n" << log();
        if (c.type > 0) {
            EXPECT_EQ(e.tree->type, c.type) << c.text;
        }
    }
}

TEST_F(CompileTest, OperandsAreConvertedToTheOperatorsType) {
    // An integer and a real are added as reals: the integer is converted.
    Compiled e = compile(plain_, "a + r");
    ASSERT_NE(e.tree, nullptr);
    EXPECT_EQ(e.tree->left->kind, kConversion);
    EXPECT_EQ(e.tree->left->type, dbREAL);
    EXPECT_EQ(e.tree->left->value.i, dbINTEGER);
    EXPECT_EQ(e.tree->right->kind, kFieldRef);
    // Integers and booleans share a representation: no conversion.
    Compiled f = compile(plain_, "a && b");
    EXPECT_EQ(f.tree->left->kind, kFieldRef);
    // A conditional converts its condition to boolean and its else-branch
    // to the then-branch's type.
    Compiled g = compile(plain_, "r ? a : r");
    EXPECT_EQ(g.tree->left->type, dbBOOLEAN);
    EXPECT_EQ(g.tree->x3->type, dbINTEGER);
    // With a wanted type the root is converted, and the own type returned.
    Compiled h = compile(plain_, "r * 2", dbBOOLEAN);
    EXPECT_EQ(h.rc, dbREAL);
    EXPECT_EQ(h.tree->kind, kConversion);
    EXPECT_EQ(h.tree->type, dbBOOLEAN);
}

TEST_F(CompileTest, ScannerTokens) {
    // An expression ends at its first newline outside a literal.
    EXPECT_EQ(grouping(compile(plain_, "a > 1\nb > 2").tree), "(a > 1)");
    EXPECT_EQ(grouping(compile(plain_, "a > 1 # the rest\nb").tree), "(a > 1)");
    EXPECT_EQ(grouping(compile(plain_, "a > 1\t# tab\n").tree), "(a > 1)");
    // Names hold dots; numbers carry no sign.
    EXPECT_EQ(compile(site_, "site.sta").tree->kind, kFieldRef);
    Compiled concat = compile(plain_, "'ab' . 'cd'");
    EXPECT_EQ(concat.rc, dbSTRING);
    EXPECT_EQ(grouping(concat.tree), "('ab' . 'cd')");
    for (const char *real : {"1.5", "1.", ".5", "1e3", "1.5E-2", "2e+1"}) {
        Compiled c = compile(plain_, real);
        EXPECT_EQ(c.rc, dbREAL) << real;
        EXPECT_EQ(c.tree->kind, kConstant) << real;
    }
    EXPECT_EQ(compile(plain_, ".5").tree->value.d, 0.5);
    EXPECT_EQ(compile(plain_, "1e3").tree->value.d, 1000.0);
    Compiled twelve = compile(plain_, "12");
    EXPECT_EQ(twelve.rc, dbINTEGER);
    EXPECT_EQ(twelve.tree->value.i, 12);
    Compiled minus = compile(plain_, "-3");
    EXPECT_EQ(minus.tree->kind, kOperator);
    EXPECT_EQ(minus.tree->value.i, kNegate);
    // A time constant.
    Compiled when = compile(plain_, "_2004-123 12:00:00_");
    EXPECT_EQ(when.rc, dbTIME);
    EXPECT_EQ(when.tree->value.d, epoch(2004123) + 12 * 3600.0);
    // Both quotes; a newline inside a literal belongs to it.
    EXPECT_STREQ(compile(plain_, "\"it's\"").tree->value.s, "it's");
    Compiled lines = compile(plain_, "'a\nb' . s");
    ASSERT_NE(lines.tree, nullptr) << log();
    EXPECT_STREQ(lines.tree->left->value.s, "a\nb");
    // A literal without its closing quote takes the rest of the text.
    EXPECT_STREQ(compile(plain_, "'abc").tree->value.s, "abc");
    EXPECT_STREQ(compile(plain_, "'abc\ndef").tree->value.s, "abc\ndef");
    // "/" divides, except after a match operator.
    EXPECT_EQ(grouping(compile(plain_, "a / b").tree), "(a / b)");
    EXPECT_EQ(log(), "");
}

TEST_F(CompileTest, PatternLiterals) {
    // A backslash stays in the pattern with the character it protects.
    Compiled c = compile(plain_, "s =~ /x\\/y/");
    ASSERT_NE(c.tree, nullptr) << log();
    regex_t *re = c.tree->right->value.regexp;
    EXPECT_EQ(regexec(re, "x/y", 0, nullptr, 0), 0);
    EXPECT_NE(regexec(re, "xy", 0, nullptr, 0), 0);
    // A pattern without its closing slash takes the rest.
    Compiled open = compile(plain_, "s =~ /ab");
    ASSERT_NE(open.tree, nullptr);
    EXPECT_EQ(regexec(open.tree->right->value.regexp, "ab", 0, nullptr, 0), 0);
    // After the pattern "/" divides again.
    EXPECT_EQ(grouping(compile(plain_, "(s =~ /a/) / 2").tree), "((s =~ /re/) / 2)");
    // A pattern that does not compile.
    EXPECT_EQ(compile(plain_, "s =~ /(/").rc, dbINVALID);
    EXPECT_THAT(log(), HasSubstr("'(' failed to compile: "));
    clear_log();
    // Patterns the system's engine would take too long over or too much
    // memory for are refused: repetitions it would copy without end,
    // repetitions of repetitions, nested empty loops, long optional runs,
    // back-references.
    std::vector<std::string> costly = testsupport::costly_patterns();
    for (const char *pattern :
         {"a++++++++++++++++++++++++", "((((((((((((((((((((a+)+)+)+)+)+)+)+)+)+)+)+)+)+)+)+)+)+)+)+)+",
          "((a{200}){200}){200}", "(a{1,30000})", "[a-z]{999}{999}", "(a?){5000}",
          "a2c????++++++++++++????????", "a**", "(a?){500}", "[a-z]{1,1000}"})
        costly.push_back(pattern);
    for (const std::string &pattern : costly) {
        clear_log();
        EXPECT_EQ(compile(plain_, "s =~ /" + pattern + "/").rc, dbINVALID) << pattern;
        EXPECT_THAT(log(), HasSubstr("'" + pattern + "' failed to compile: pattern too complex ("));
        EXPECT_EQ(compile(plain_, "patsub(s, '" + pattern + "', 'x')").rc, dbINVALID);
        EXPECT_THAT(log(), HasSubstr("pattern too complex ("));
    }
    // Ordinary repetitions, bracket expressions and groups compile.
    for (const char *pattern : {"(a{10}){10}", "[[:alpha:]]+[0-9]{1,255}", "(a|b)*c?d+", "\\++",
                                "[+]+", "x{2,}", "[a-z]{1,100}", "a{1000}"}) {
        clear_log();
        EXPECT_EQ(compile(plain_, std::string("s =~ /") + pattern + "/").rc, dbBOOLEAN)
            << pattern << "\n" << log();
    }
    clear_log();
    // The right operand of a match must be a pattern.
    EXPECT_EQ(compile(plain_, "s =~ 'a'").rc, dbINVALID);
    EXPECT_THAT(log(), HasSubstr("parse error"));
}

TEST_F(CompileTest, NullComparisons) {
    Compiled eq = compile(plain_, "time == NULL");
    ASSERT_NE(eq.tree, nullptr) << log();
    EXPECT_EQ(eq.tree->right->kind, kNullValue);
    EXPECT_EQ(eq.tree->right->type, dbTIME);
    EXPECT_STREQ(eq.tree->right->value.s, "time");
    EXPECT_EQ(eq.tree->left->kind, kFieldRef);
    EXPECT_NE(compile(plain_, "s != NULL").tree, nullptr);

    EXPECT_EQ(compile(plain_, "time < NULL").rc, dbINVALID);
    EXPECT_THAT(log(),
                HasSubstr("The only relational operators allowed with NULL are '==' and '!=' "));
    clear_log();
    EXPECT_EQ(compile(plain_, "(x + 1) == NULL").rc, dbINVALID);
    EXPECT_THAT(log(), HasSubstr("first operand of expression using NULL must be a field"));
    clear_log();
    // On the left, NULL has no type: the operands become invalid
    // conversions, though the comparison itself is boolean.
    Compiled left = compile(plain_, "NULL == time");
    ASSERT_NE(left.tree, nullptr);
    EXPECT_EQ(left.tree->left->kind, kConversion);
    EXPECT_EQ(left.tree->left->type, kInvalidType);
    EXPECT_EQ(left.tree->right->kind, kConversion);
    EXPECT_EQ(left.tree->right->type, kInvalidType);
    // Assigning NULL assigns the field's null value.
    Compiled assign = compile(plain_, "a := NULL");
    ASSERT_NE(assign.tree, nullptr);
    EXPECT_EQ(assign.tree->left->kind, kNullValue);
    EXPECT_EQ(assign.tree->left->type, dbINTEGER);
}

TEST_F(CompileTest, FunctionsAreRenamedByTheirArgumentsAndTable) {
    auto row = [&](Dbptr t, const char *text) {
        Compiled c = compile(t, text);
        EXPECT_NE(c.tree, nullptr) << text << "\n" << log();
        return c.tree ? std::string(functions[c.tree->value.i].name) : "";
    };
    EXPECT_EQ(row(plain_, "max(x)"), "max_table");
    EXPECT_EQ(row(group_, "max(sta)"), "%max_group");
    EXPECT_EQ(row(plain_, "min(x)"), "min_table");
    EXPECT_EQ(row(group_, "min(sta)"), "%min_group");
    EXPECT_EQ(row(plain_, "sum(x)"), "sum_table");
    EXPECT_EQ(row(group_, "sum(sta)"), "%sum_group");
    EXPECT_EQ(row(plain_, "count()"), "count_table");
    EXPECT_EQ(row(group_, "count()"), "%count_group");
    EXPECT_EQ(row(plain_, "max(x, y)"), "max");
    EXPECT_EQ(row(plain_, "min(x, y)"), "min");
    EXPECT_EQ(row(wave_, "extfile()"), "%dbfilename");
    EXPECT_EQ(row(wave_, "extfile('wave')"), "%dbextfile");
    EXPECT_EQ(row(plain_, "epoch2str(time, '%Y')"), "%epoch2str");
    EXPECT_EQ(row(plain_, "epoch2str(time, '%Y', 'UTC')"), "%zepoch2str");
    // The time an epoch2str formats is passed as a time, not as text.
    Compiled e = compile(plain_, "epoch2str(1234567890.5, '%S')");
    EXPECT_EQ(static_cast<Expression *>(gettbl(e.tree->expr_tbl, 0))->type, dbREAL);
    // Arguments are converted to the row's argument type.
    Compiled sq = compile(plain_, "sqrt(a)");
    auto *arg = static_cast<Expression *>(gettbl(sq.tree->expr_tbl, 0));
    EXPECT_EQ(arg->kind, kConversion);
    EXPECT_EQ(arg->type, dbREAL);
    EXPECT_EQ(log(), "");
}

TEST_F(CompileTest, FunctionErrors) {
    const struct {
        const char *text, *message;
    } cases[] = {
        {"max()", "max: wrong number of arguments -- want 2, got 0 "},
        {"max(a, b, c)", "max: wrong number of arguments -- want 2, got 3 "},
        {"epoch2str(time)", "epoch2str: wrong number of arguments -- want 2, got 1 "},
        {"extfile(s, s)", "extfile: wrong number of arguments -- want 1, got 2 "},
        {"sqrt()", "sqrt: wrong number of arguments -- want 1, got 0 "},
        {"now(1)", "now: wrong number of arguments -- want 0, got 1 "},
        {"foo(1)", "function not recognized: 'foo' "},
        {"patsub(s, s, 'x')", "pattern in patsub must be string"},
        {"patsub(s, '(', 'x')", "patsub re '(' didn't compile: "},
        {"zz + 1", "field 'zz' not found in database "},
        {"zz := 1", "field 'zz' not found in table 'plain' "},
        {"a + ", "parse error"},
        {"", "parse error"},
        {"a b", "parse error"},
        {"(a", "parse error"},
        {"a)", "parse error"},
        {"a ? b", "parse error"},
        {"a : b", "parse error"},
        {"f(a,)", "parse error"},
        {"(a) := 1", "parse error"},
        {"a = b", "parse error"},
        {"!a", "parse error"},
        {"a > 1 #", "parse error"},
        {"_x", "parse error"},
        {"a @", "parse error"},
        {"3000000000", "integer constant '3000000000' out of range"},
    };
    for (const auto &c : cases) {
        clear_log();
        Compiled e = compile(plain_, c.text);
        EXPECT_EQ(e.rc, dbINVALID) << c.text;
        EXPECT_EQ(e.tree, nullptr) << c.text;
        EXPECT_THAT(log(), HasSubstr(c.message)) << c.text;
    }
    clear_log();
    // No text at all.
    Expression *tree = reinterpret_cast<Expression *>(1);
    EXPECT_EQ(dbex_compile(plain_, nullptr, &tree, 0), dbINVALID);
    EXPECT_EQ(tree, nullptr);
    EXPECT_THAT(log(), HasSubstr("parse error"));
}

TEST_F(CompileTest, ErrorMessagesQuoteTheTokenAndTheTextNearIt) {
    compile(plain_, "a + )");
    EXPECT_THAT(log(), HasSubstr("eval : parse error\n\t near ')' in 'a + )'\n"));
    clear_log();
    compile(plain_, "a +");
    EXPECT_THAT(log(), HasSubstr("eval : parse error\n\t near 'a +'\n"));
    clear_log();
    // Ten characters back, and on over the letters and digits of a word.
    compile(plain_, "a + 1 + 2 + 3 + 4 + abcdefghij )");
    EXPECT_THAT(log(), HasSubstr("near ')' in ' abcdefghij )'"));
    clear_log();
    compile(plain_, "");
    EXPECT_THAT(log(), HasSubstr("eval : parse error"));
}

TEST_F(CompileTest, NegatingWhatIsNotANumberIsReportedAndCompiles) {
    Compiled c = compile(plain_, "-'abc'");
    EXPECT_EQ(c.rc, dbSTRING);
    EXPECT_THAT(log(), HasSubstr("bad unary minus sign"));
}

TEST_F(CompileTest, InvalidRootIsNotCompiled) {
    EXPECT_EQ(compile(plain_, "jdate - jdate").rc, dbINVALID);
    EXPECT_THAT(log(), HasSubstr("Expression could not be compiled: jdate - jdate\n"));
    clear_log();
    // A database pointer has no value in an expression.
    EXPECT_EQ(compile(packed_, "ref").rc, dbINVALID);
    // The binary number fields read as integers and reals.
    EXPECT_EQ(compile(packed_, "gain").rc, dbREAL);
    EXPECT_EQ(compile(packed_, "total").rc, dbINTEGER);
    EXPECT_EQ(compile(packed_, "total := 3").rc, dbINTEGER);
}

TEST_F(CompileTest, Includes) {
    write_file(path("expr"), "a + 1\nignored");
    write_file(path("nested"), "@" + path("expr"));
    Compiled c = compile(plain_, "@" + path("expr"));
    ASSERT_NE(c.tree, nullptr) << log();
    EXPECT_EQ(grouping(c.tree), "(a + 1)");
    // The included text goes on where the directive stood.
    write_file(path("part"), "a +");
    EXPECT_EQ(grouping(compile(plain_, "@" + path("part") + " 2 * b").tree), "(a + (2 * b))");
    EXPECT_EQ(log(), "");
    EXPECT_EQ(compile(plain_, "@" + path("nested")).rc, dbINVALID);
    EXPECT_THAT(log(), HasSubstr("Includes nested more than 1 deep\n"));
    clear_log();
    EXPECT_EQ(compile(plain_, "1 + @" + path("missing")).rc, dbINVALID);
    EXPECT_THAT(log(), HasSubstr("Couldn't open '" + path("missing") + "' to include at line 1\n"));
    clear_log();
    // Only a regular file is read.
    EXPECT_EQ(compile(plain_, "@" + dir_.path()).rc, dbINVALID);
    EXPECT_THAT(log(), HasSubstr("to include at line 1"));
}

TEST_F(CompileTest, ParserStackAndTreeDepthAreBounded) {
    std::string deep(10001, '(');
    EXPECT_EQ(compile(plain_, deep + "a").rc, dbINVALID);
    EXPECT_THAT(log(), HasSubstr("parser stack overflow"));
    clear_log();
    std::string chain = "a";
    for (int i = 0; i < 1500; i++) chain += " + a";
    EXPECT_EQ(compile(plain_, chain).rc, dbINTEGER) << log();
    for (int i = 0; i < 1500; i++) chain += " + a";
    EXPECT_EQ(compile(plain_, chain).rc, dbINVALID);
    EXPECT_THAT(log(), HasSubstr("expression nested more than 4000 deep"));
}

TEST_F(CompileTest, Printers) {
    Compiled c = compile(plain_, "a + 1");
    EXPECT_EQ(shown(c.tree), " a  1  + ");
    EXPECT_EQ(shown(c.tree, 1), "(integer) a (integer) 1 (integer) + ");
    // The else-branch of a conditional is not printed.
    EXPECT_EQ(shown(compile(plain_, "a ? 2 : 3").tree), " a  2  ? ");
    EXPECT_EQ(shown(compile(plain_, "s =~ /x/").tree), " s  /RE/  LIKE ");
    EXPECT_EQ(shown(compile(plain_, "r % 2").tree), " r  2  type-conversion  % ");
    EXPECT_EQ(shown(compile(plain_, "sqrt(r) . 'x'").tree),
              " r  sqrt type-conversion  \"x\"  . ");
    EXPECT_EQ(shown(compile(plain_, "time == NULL").tree), " time  NULL EQ ");
    EXPECT_EQ(shown(compile(plain_, "['echo' 'x']").tree), " \"echo\"  \"x\"  Exec");
    EXPECT_EQ(shown(compile(plain_, "[|'echo']").tree), " \"echo\"  Pipe");
    EXPECT_EQ(shown(compile(plain_, "-r").tree), " r  negative ");
    EXPECT_EQ(shown(compile(plain_, "1 > 2 || 2.5 <= 3").tree),
              " 1  2  GT  2.5  3  type-conversion  LE  OR ");
    auto value = [](int kind, int type, Exvalue v) {
        return printed([&](FILE *out) { show_value(out, &v, kind, type); });
    };
    Exvalue v;
    v.i = 1;
    EXPECT_EQ(value(kConstant, dbBOOLEAN, v), " true ");
    v.i = 2004123;
    EXPECT_EQ(value(kConstant, dbYEARDAY, v), " 2004123 ");
    v.d = 0.25;
    EXPECT_EQ(value(kConstant, dbREAL, v), " .25 ");
    v.i = 99;
    EXPECT_EQ(value(kOperator, 0, v), " unknown operator ");
    EXPECT_EQ(value(kConversion, 0, v), " type-conversion ");
    EXPECT_EQ(value(77, 0, v), "** Error: Unknown kind 77 in node!!\n");
    EXPECT_EQ(value(kConstant, 0, v), "(invalid)");
    EXPECT_EQ(value(kConstant, 42, v), "(**UNKNOWN**)");
    v.d = expr_testing::kTime;
    char *ydtime = strydtime(expr_testing::kTime);
    EXPECT_EQ(value(kConstant, dbTIME, v), std::string(" ") + ydtime + " ");
    std::free(ydtime);
    std::string types;
    for (int t = -1; t <= 8; t++) types += printed([&](FILE *out) { show_type(out, t); });
    EXPECT_EQ(types,
              "(**UNKNOWN**)(invalid)(boolean)(integer)(real)(time)(yearday)(string)(regexp)"
              "(**UNKNOWN**)");
}

TEST(ExpressionNodes, ConstructorsAndTables) {
    Expression *n = exnew(dbINTEGER, kConstant, 42);
    EXPECT_EQ(n->value.i, 42);
    EXPECT_EQ(n->left, nullptr);
    EXPECT_EQ(n->expr_tbl, nullptr);
    // Same representation: the node itself.
    EXPECT_EQ(ex_to_type(n, dbBOOLEAN), n);
    EXPECT_EQ(ex_to_type(n, dbYEARDAY), n);
    Expression *real = ex_to_type(n, dbREAL);
    EXPECT_EQ(real->kind, kConversion);
    EXPECT_EQ(real->type, dbREAL);
    EXPECT_EQ(real->value.i, dbINTEGER);
    // Nothing converts to a pattern.
    Expression *bad = ex_to_type(real, kRegexType);
    EXPECT_EQ(bad->type, kInvalidType);
    dbex_free(bad);
    EXPECT_EQ(dbex_free(nullptr), 0);
    EXPECT_EQ(eqfunct("distance"), 0);
    EXPECT_EQ(eqfunct("min_table"), 73);
    EXPECT_EQ(eqfunct("%MAX"), 68);
    EXPECT_EQ(eqfunct("nosuch"), -1);
    EXPECT_STREQ(dbtypename(dbINVALID), "dbINVALID");
    EXPECT_STREQ(dbtypename(dbBOOLEAN), "dbBOOLEAN");
    EXPECT_STREQ(dbtypename(7), "regular expression");
    EXPECT_STREQ(dbtypename(0), "** Unknown **");
    EXPECT_STREQ(dbtypename(8), "** Unknown **");
}

}  // namespace
