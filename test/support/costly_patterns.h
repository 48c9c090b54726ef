// Patterns the C library's regex engine takes seconds to hours (and
// gigabytes) over, and ordinary patterns with a text each matches and one
// it does not: what every path that compiles patterns is tested with.
#ifndef TEST_SUPPORT_COSTLY_PATTERNS_H
#define TEST_SUPPORT_COSTLY_PATTERNS_H

#include <string>
#include <vector>

namespace testsupport {

inline const std::vector<std::string> &costly_patterns() {
    static const std::vector<std::string> patterns = {
        "a" + std::string(22, '+'),                                    // 7.5 s, doubling per '+'
        "a?+?+?+?+?+?+?+?+",                                           // 2.6 s
        "a?+?+?+?+?+?+?+?+?+?+?+?+",                                   // hours, gigabytes
        "a??????????b??????????????+++++",                             // 14.7 s
        "(((((((((((((((((((b)?)?)?)?)?)?)?)?)?)?)?)?)?)?)+)+)+)+)+",  // over a minute
        "(.*)(.*)(.*)(.*)(.*)(.*)(.*)(.*)(.*)\\9\\8\\7\\6\\5\\4\\3\\2\\1z",  // a minute a match
    };
    return patterns;
}

struct OrdinaryPattern {
    const char *pattern;
    const char *matches;  // matched whole
    const char *misses;
};

inline const std::vector<OrdinaryPattern> &ordinary_patterns() {
    static const std::vector<OrdinaryPattern> patterns = {
        {"AK_.*_BH[ZN]", "AK_BRW_BHZ", "AK_BRW_BHE"},
        {"(AK|TA)_BRW_BH.", "TA_BRW_BHE", "II_BRW_BHE"},
        {"[A-Z]{2}_[A-Z]{3}_BH[ZNE](/.*)?", "AK_BRW_BHN/MGENC", "AK_BRWX_BHN"},
        {".*/MGENC", "AK_BRW_BHZ/MGENC", "AK_BRW_BHZ/GENC"},
        {"[[:alpha:]]+", "abc", "ab1"},
        {"a?b?c", "bc", "abbc"},
        {"(ab|cd)+c?", "abcdc", "ac"},
        {".{2,5}", "abcd", "abcdef"},
    };
    return patterns;
}

}  // namespace testsupport

#endif
