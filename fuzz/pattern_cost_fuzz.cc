// Fuzz target for the cost check of patterns: any bytes (up to 1,024) as a
// pattern. A pattern the check accepts is compiled by the C library and
// matched against a few source names, against 400 distinct random 64-byte
// names made of the pattern's own characters (the engine keeps every state
// it builds, so a pattern whose states multiply shows in them) and against
// a text of 1,024 bytes of its characters that are not operators, the text
// most likely to keep many of its parts under way. Run with -timeout=1
// (fuzz/pattern_cost_fuzz.options): a timeout, or memory past the limit, is
// a pattern the check should have refused.
#include <regex.h>

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "pattern_cost_private.h"

namespace {

constexpr std::size_t kLongest = 1024;
constexpr std::size_t kRandomNames = 400;
constexpr std::size_t kNameLength = 64;

const char *const kNames[] = {
    "AK_BRW_BHZ", "TA_109C_BHN/MGENC", "AA_BBB_HHZ_00/pf/st",
    "IU_ANMO_00_BHZ/GENC/xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx",
};

// The characters of the pattern that are not its operators, over and over.
std::string long_text(const std::string &pattern) {
    std::string letters;
    for (char c : pattern)
        if (c != '\0' && std::string("()[]{}|*+?\\^$").find(c) == std::string::npos) letters += c;
    if (letters.empty()) letters = "a";
    std::string text;
    while (text.size() < kLongest) text += letters;
    text.resize(kLongest);
    return text;
}

// Distinct names of kNameLength characters drawn from the pattern's own,
// the same for the same pattern.
std::set<std::string> random_names(const std::string &pattern) {
    std::string letters;
    for (char c : pattern)
        if (c != '\0' && letters.find(c) == std::string::npos) letters += c;
    std::set<std::string> names;
    if (letters.empty()) return names;
    std::uint64_t state = 0x9e3779b97f4a7c15ULL ^ pattern.size();
    for (std::size_t tries = 0; names.size() < kRandomNames && tries < 2 * kRandomNames; tries++) {
        std::string name(kNameLength, ' ');
        for (char &c : name) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            c = letters[(state >> 33) % letters.size()];
        }
        names.insert(name);
    }
    return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > kLongest) return 0;
    const std::string pattern(reinterpret_cast<const char *>(data), size);
    if (basalt::pattern_refusal(pattern.c_str()) != nullptr) return 0;
    regex_t re;
    if (regcomp(&re, pattern.c_str(), REG_EXTENDED) != 0) return 0;
    regmatch_t match;
    for (const char *name : kNames) regexec(&re, name, 1, &match, 0);
    for (const std::string &name : random_names(pattern)) regexec(&re, name.c_str(), 1, &match, 0);
    regexec(&re, long_text(pattern).c_str(), 1, &match, 0);
    regfree(&re);
    return 0;
}
