#include <gtest/gtest.h>
#include <regex.h>

#include <string>

#include "costly_patterns.h"
#include "pattern_cost_private.h"

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
        EXPECT_FALSE(regexec(&re, p.misses, 1, &m, 0) == 0 && m.rm_so == 0 &&
                     static_cast<std::size_t>(m.rm_eo) == std::string(p.misses).size())
            << p.pattern;
        regfree(&re);
    }
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
