// Fuzz target for the cost check of patterns: any bytes (up to 1,024) as a
// pattern. A pattern the check accepts is compiled by the C library and
// matched against a few source names and against a text of 1,024 bytes
// made of the pattern's own characters, the text most likely to keep many
// of its parts under way. Run with -timeout=1 (fuzz/pattern_cost_fuzz.options):
// a timeout, or memory past the limit, is a pattern the check should have
// refused.
#include <regex.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "pattern_cost_private.h"

namespace {

constexpr std::size_t kLongest = 1024;

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > kLongest) return 0;
    const std::string pattern(reinterpret_cast<const char *>(data), size);
    if (basalt::pattern_refusal(pattern.c_str()) != nullptr) return 0;
    regex_t re;
    if (regcomp(&re, pattern.c_str(), REG_EXTENDED) != 0) return 0;
    regmatch_t match;
    for (const char *name : kNames) regexec(&re, name, 1, &match, 0);
    regexec(&re, long_text(pattern).c_str(), 1, &match, 0);
    regfree(&re);
    return 0;
}
