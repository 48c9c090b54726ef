#include <gtest/gtest.h>
#include <regex.h>

#include <cstdio>
#include <string>
#include <vector>

#include "costly_patterns.h"
#include "pattern_cost_private.h"
#include "user_selects.h"

namespace {

using basalt::pattern_refusal;

const std::string kBackReference = "pattern too complex (back-references are not supported)";
const std::string kAdjacent = "pattern too complex (a repetition operator follows another)";
const std::string kEmptyLoop =
    "pattern too complex (a repeated group that can match the empty string holds a repetition "
    "or another such group)";
const std::string kDepth = "pattern too complex (groups nested too deep)";
const std::string kExpansion = "pattern too complex (its repetitions expand too far)";
const std::string kLength = "pattern too complex (too long)";
const std::string kOptional = "pattern too complex (too many optional or alternative parts)";
const std::string kUnderWay = "pattern too complex (too many parts can be under way at once)";

std::string repeat(const std::string &s, int times) {
    std::string all;
    for (int i = 0; i < times; i++) all += s;
    return all;
}

std::string why(const std::string &pattern) {
    const char *reason = pattern_refusal(pattern.c_str());
    return reason != nullptr ? reason : "";
}

TEST(PatternCost, RefusesWhatTheEngineWouldTakeTooLongOver) {
    const std::string costly[] = {kAdjacent, kAdjacent,  kAdjacent,
                                  kAdjacent, kEmptyLoop, kBackReference};
    for (std::size_t i = 0; i < testsupport::costly_patterns().size(); i++)
        EXPECT_EQ(why(testsupport::costly_patterns()[i]), costly[i]) << testsupport::costly_patterns()[i];
    struct Case {
        std::string pattern;
        const std::string &reason;
    } cases[] = {
        {"a**", kAdjacent},
        {"a+*", kAdjacent},
        {"a{2}+", kAdjacent},
        {"a*{2}", kAdjacent},
        {"(a)\\1", kBackReference},
        {"(a?)+", kEmptyLoop},
        {"((b)?)?", kEmptyLoop},
        {"(a*)*", kEmptyLoop},
        {"((a|)|)*", kEmptyLoop},
        {"((((((b|)+|)+|)+|)+|)+|)+", kEmptyLoop},
        {std::string(33, '(') + "a" + std::string(33, ')'), kDepth},
        {"((a{100}){100})", kExpansion},
        {"((((((((((((((((((((a+)+)+)+)+)+)+)+)+)+)+)+)+)+)+)+)+)+)+)+)+", kExpansion},
        {"((a{200}){200}){200}", kExpansion},
        {"a{2100}", kExpansion},
        {"([ab]{40}){0,99}x", kExpansion},
        {std::string(10001, 'a'), kLength},
        {"[a-z]{1,1000}", kOptional},
        {"(.{0,250}x)+y", kOptional},
        {repeat("(.*)", 160) + "z", kOptional},
        {".*x.{12}y", kUnderWay},
        {".{1,20}x.{20}y", kUnderWay},
        {"[ax]*x[ax]{16}y", kUnderWay},
        // The engine reads "\0" in an interval as a digit: 5036 copies.
        {"a{,5\\036}", kExpansion},
        // What the engine builds before it finds a mistake counts too.
        {"(((a{100}){100})(", kExpansion},
    };
    for (const Case &c : cases) EXPECT_EQ(why(c.pattern), c.reason) << c.pattern;
}

TEST(PatternCost, OrdinaryPatternsCompileAndMatchAsBefore) {
    std::vector<std::string> patterns;
    for (const auto &p : testsupport::ordinary_patterns()) patterns.push_back(p.pattern);
    // Longer lists of names, long texts, small nests and intervals.
    std::string names = "(";
    for (int i = 0; i < 80; i++) names += (i ? "|AK_S" : "AK_S") + std::to_string(100 + i) + "_BH.";
    patterns.push_back(names + ")(/.*)?");
    patterns.push_back(std::string(4000, 'a'));
    patterns.push_back(std::string(32, '(') + "a" + std::string(32, ')'));
    for (const char *p : {"[[:alpha:]]+[0-9]{1,255}", "[a-z]{1,100}", "a{1000}", "(a|b)*c?d+",
                          "\\++", "x{2,}", "(a{10}){10}", ".*_.*_.*_.*", "(AK|TA|II)_.*_(BH|HH)[ZNE]",
                          "[A-Z]{1,2}_[A-Z0-9]{3,5}_[BHLS][HN][ZNE12]", "a|", "()", "(|a)*", "\\bx\\>"})
        patterns.push_back(p);
    for (const std::string &p : patterns) {
        EXPECT_EQ(why(p), "") << p;
        regex_t re;
        const char *reason = "unset";
        ASSERT_EQ(basalt::regcomp_checked(&re, p.c_str(), REG_EXTENDED, &reason), 0) << p;
        EXPECT_EQ(reason, nullptr);
        regfree(&re);
    }
    for (const auto &p : testsupport::ordinary_patterns()) {
        regex_t re;
        const char *reason;
        ASSERT_EQ(basalt::regcomp_checked(&re, p.pattern, REG_EXTENDED, &reason), 0);
        regmatch_t m;
        EXPECT_EQ(regexec(&re, p.matches, 1, &m, 0), 0) << p.pattern;
        EXPECT_EQ(m.rm_so, 0);
        EXPECT_EQ(static_cast<std::size_t>(m.rm_eo), std::string(p.matches).size()) << p.pattern;
        EXPECT_FALSE(testsupport::matches_whole(re, p.misses)) << p.pattern;
        regfree(&re);
    }
}

// Where the rough estimate of the states is over its bound they are
// counted: a run of literals, an alternation of fixed strings or a short run
// of one class behind ".*" keeps them few.
TEST(PatternCost, OrdinarySelectsAreAcceptedAndSelectAsTheEngineDoes) {
    for (const std::string &p : testsupport::ordinary_selects()) {
        EXPECT_EQ(why(p), "") << p;
        regex_t re;
        const char *reason = "unset";
        ASSERT_EQ(basalt::regcomp_checked(&re, p.c_str(), REG_EXTENDED, &reason), 0) << p;
        EXPECT_EQ(reason, nullptr);
        int selected = 0;
        for (const std::string &name : testsupport::source_names())
            selected += testsupport::matches_whole(re, name);
        EXPECT_GT(selected, 0) << p;
        regfree(&re);
    }
}

TEST(PatternCost, SelectsOfEveryKindUsersWriteAreAccepted) {
    const std::vector<std::string> selects = testsupport::user_selects(4000);
    std::vector<std::string> refused;
    for (const std::string &p : selects) {
        if (pattern_refusal(p.c_str()) != nullptr) {
            refused.push_back(p);
            continue;
        }
        regex_t re;
        ASSERT_EQ(regcomp(&re, p.c_str(), REG_EXTENDED | REG_NOSUB), 0) << p;
        regfree(&re);
    }
    std::printf("%zu of %zu selects refused\n", refused.size(), selects.size());
    EXPECT_TRUE(refused.empty()) << refused.size() << " refused, among them " << refused.front();
}

// Behind a part that can end at many offsets, each following place that
// reads the character it ended on doubles the states.
TEST(PatternCost, PatternsThatMultiplyTheEnginesStatesAreRefused) {
    for (const char *p : {".*x.{11}", ".*x.{12}", ".*x.{16}", ".*x.{20}", ".{1,20}x.{20}",
                          ".{1,12}x.{12}", "(x|y).{1,12}x.{12}", "[ax]*x[ax]{16}", ".*[ab][^c]{14}",
                          ".*x.{7}x.{7}", ".*x.{12}\\b", "^.*x.{12}$", "\\<.*x.{12}",
                          "(.*x.{10}){2}", ".*(x|yz).{12}", "AK_.*x.{12}_BHZ",
                          ".*x.{12}(/.*)?"})
        EXPECT_EQ(why(p), kUnderWay) << p;
}

// The count follows the engine: the subsets of a window of offsets behind
// ".*", a state per prefix of a fixed string, apart after an anchor for
// each context the engine tells apart.
TEST(PatternCost, StatesAreCountedAsTheEngineBuildsThem) {
    namespace states = basalt::pattern_cost::states;
    const struct {
        const char *pattern;
        std::size_t states;
    } cases[] = {
        {"x.{3}", 5},
        {".*x.{3}", 16},
        {".*x.{10}", 2048},
        {".*(ab|ac)", 3},
        {"(a|b)*c", 2},
        {"a{2,4}", 5},
        {".*ATKA", 5},
        {"x\\>", 2},
    };
    for (const auto &c : cases) {
        const states::Count count = states::count(c.pattern);
        EXPECT_TRUE(count.complete) << c.pattern;
        EXPECT_EQ(count.states, c.states) << c.pattern;
    }
    EXPECT_FALSE(states::count(".*x.{11}").complete);
    for (const char *malformed : {"(a", "*a", "a**", "(a)\\1", "a|(b"}) EXPECT_FALSE(states::count(malformed).complete);
}

TEST(PatternCost, RefusedPatternsAreNotCompiledAndMistakesAreTheEngines) {
    regex_t re;
    const char *reason = nullptr;
    EXPECT_EQ(basalt::regcomp_checked(&re, "a**", REG_EXTENDED, &reason), REG_ESPACE);
    EXPECT_EQ(reason, kAdjacent);
    // A cheap mistake is left to the engine, with its own error.
    for (const char *p : {"(", "a{", "[a", "a{2,1}", "a\\", "*a"}) {
        EXPECT_EQ(why(p), "") << p;
        EXPECT_NE(basalt::regcomp_checked(&re, p, REG_EXTENDED, &reason), 0) << p;
        EXPECT_EQ(reason, nullptr) << p;
    }
}

}  // namespace
