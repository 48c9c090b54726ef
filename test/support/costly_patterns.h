// Patterns the C library's regex engine takes seconds to hours (and
// gigabytes) over, ordinary patterns with a text each matches and one it
// does not, and selects of source names as users write them with names to
// select among: what every path that compiles patterns is tested with.
#ifndef TEST_SUPPORT_COSTLY_PATTERNS_H
#define TEST_SUPPORT_COSTLY_PATTERNS_H

#include <regex.h>

#include <cstddef>
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

// Selects of source names as users write them (a network, station,
// channel and packet-type part each; anchored and not; lists of stations
// and of packet types), and names for them to select among.
inline const std::vector<std::string> &ordinary_selects() {
    static const std::vector<std::string> selects = {
        "[A-Z]{1,2}_[A-Z0-9]{1,5}(_[0-9]{2})?_[BHLSE][HNL][ZNE123]/MGENC",
        "AK_.*(BHZ|BHN|BHE|HHZ|HHN|HHE|LHZ|LHN|LHE)",
        ".*(ANM|ATKA|BRW|COLD|DIV|FYU|GHO|KDAK|MCK|PAX|RND|SCM|SKN|SWD|TRF|WRH).*",
        ".*/(GENC|MGENC|MGENC/M40|EXP/dlstat|pf/st|pf/dlcs)",
        ".*[A-Z0-9]{3,5}_[BHL]H.",
        ".*BRW_BH[ZNE]/(GENC|MGENC|MGENC/M40|EXP/dlstat|pf/st|pf/dlcs)",
        "AK_(BRW|ANM|KDAK|COLD)_BH[ZNE](/.*)?",
        "^(AK|TA)_[A-Z0-9]{3,5}_[BHL]H[ZNE]/MGENC$",
        ".*_(BHZ|BHN|BHE)/(GENC|MGENC)",
        ".*(BRW|ANM)_.*",
        ".*_[A-Z0-9]{3,5}(_[0-9]{2})?_BH.(/.*)?",
        "(AK_BRW_BHZ|AK_ANM_HHE|TA_M22K_BHE)/.*",
        ".*(AK_BRW_BHZ|AK_ANM_HHE|TA_M22K_BHE|IU_COLA_00_BH1|AK_PAX_LHN)(/.*)?",
        "[A-Z]{2}_[^_]*_.H.(/.*)?",
        ".*/pf/.*",
        ".*_[BHLSE][HNL][ZNE123]/.*M.*",
    };
    return selects;
}

// Whether the first match of re in name covers the whole name, as a select
// of source names matches.
inline bool matches_whole(const regex_t &re, const std::string &name) {
    regmatch_t m;
    return regexec(&re, name.c_str(), 1, &m, 0) == 0 && m.rm_so == 0 &&
           static_cast<std::size_t>(m.rm_eo) == name.size();
}

inline const std::vector<std::string> &source_names() {
    static const std::vector<std::string> names = {
        "AK_BRW_BHZ/MGENC",     "AK_BRW_BHN/GENC",      "AK_ANM_HHE",          "AK_KDAK_LHZ/MGENC/M40",
        "TA_M22K_BHE/MGENC",    "AK_COLD_10_BHZ/MGENC", "AK_SWD_BHE/EXP/dlstat", "TA_O19K_SHZ/pf/st",
        "IU_COLA_00_BH1/MGENC", "AK_PAX_LHN/pf/dlcs",   "II_WRH_LHE",          "AK_FYU_EHZ/MGENC",
        "XX_ZZZ_VM1/pf/orb",    "AK_GHO_BHZ/GENC",      "TA_BRW_BHZ/MGENC",    "AK_BRWX_BHZ/MGENC",
    };
    return names;
}

}  // namespace testsupport

#endif
