// Compiling the regular expressions of the expression language.
//
// The system's compiler expands repetitions by copying what they repeat:
// "x+" becomes two copies of x, "x{m,n}" n copies, and nested repetitions
// multiply, so that a pattern of a few dozen characters can take gigabytes
// ("a++++++++++++++++++++", "((((a+)+)+)...)+"). Optional copies cost
// more again: the time to compile grows with the square of a run of them
// ("(a?){5000}" takes seconds). Before compiling, the size of the expansion
// is estimated from the pattern's syntax and a pattern that would grow
// beyond kMaxExpansion is refused.
#include "expr_private.h"

namespace ledgeform {

namespace {

constexpr double kMaxExpansion = 2000;

// One level of grouping: the alternatives finished so far, the branch
// being read and its last atom (what a repetition applies to).
struct Level {
    double done = 0, branch = 0, last = 0;
    bool has_last = false;
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The end of a bracket expression that starts at s[i] == '[' (the index
// after its ']', or the end of the text).
std::size_t bracket_end(const char *s, std::size_t i) {
    std::size_t j = i + 1;
    if (s[j] == '^') j++;
    if (s[j] == ']') j++;
    while (s[j] != '\0' && s[j] != ']') {
        if (s[j] == '[' && (s[j + 1] == ':' || s[j + 1] == '.' || s[j + 1] == '=')) {
            char kind = s[j + 1];
            std::size_t k = j + 2;
            while (s[k] != '\0' && !(s[k] == kind && s[k + 1] == ']')) k++;
            j = s[k] != '\0' ? k + 2 : k;
            continue;
        }
        j++;
    }
    return s[j] == ']' ? j + 1 : j;
}

// The copies an interval "{m}", "{m,}" or "{m,n}" at s[i] makes, and its
// end; false when it is no interval (the brace is then a character).
bool interval(const char *s, std::size_t i, double *copies, std::size_t *end) {
    std::size_t j = i + 1;
    double m = 0, n = -1;
    if (!is_digit(s[j])) return false;
    while (is_digit(s[j])) m = m * 10 + (s[j++] - '0');
    if (s[j] == ',') {
        j++;
        if (is_digit(s[j])) {
            n = 0;
            while (is_digit(s[j])) n = n * 10 + (s[j++] - '0');
        } else {
            n = m + 1;
        }
    }
    if (s[j] != '}') return false;
    *copies = n > m ? n : (m > 1 ? m : 1);
    *end = j + 1;
    return true;
}

// The estimated size of the expanded pattern.
double expansion(const char *s) {
    Level levels[64];
    int depth = 0, beyond = 0;  // levels kept, and opened deeper than that
    levels[0] = Level();
    auto atom = [&](double size) {
        Level &l = levels[depth];
        l.branch += size;
        l.last = size;
        l.has_last = true;
    };
    auto repeat = [&](double times, double extra) {
        Level &l = levels[depth];
        if (!l.has_last) return;
        double grown = l.last * times + extra;
        l.branch += grown - l.last;
        l.last = grown;
    };
    double total = 0;
    for (std::size_t i = 0; s[i] != '\0';) {
        double copies = 0;
        std::size_t end = 0;
        switch (s[i]) {
            case '\\':
                atom(1);
                i += s[i + 1] != '\0' ? 2 : 1;
                continue;
            case '[':
                atom(1);
                i = bracket_end(s, i);
                continue;
            case '(':
                // Groups deeper than the levels kept count as one level.
                if (depth + 1 < 64)
                    levels[++depth] = Level();
                else
                    beyond++;
                i++;
                continue;
            case ')':
                if (beyond > 0) {
                    beyond--;
                } else if (depth > 0) {
                    Level &l = levels[depth];
                    double size = l.done + l.branch + 1;
                    depth--;
                    atom(size);
                }
                i++;
                continue;
            case '|': {
                Level &l = levels[depth];
                l.done += l.branch + 1;
                l.branch = 0;
                l.has_last = false;
                i++;
                continue;
            }
            case '*':
            case '?':
                repeat(1, 1);
                i++;
                continue;
            case '+':
                repeat(2, 1);
                i++;
                continue;
            case '{':
                if (interval(s, i, &copies, &end)) {
                    repeat(copies, 1);
                    i = end;
                    continue;
                }
                break;
            default: break;
        }
        atom(1);
        i++;
        total = levels[0].done + levels[0].branch;
        if (total > kMaxExpansion) return total;
    }
    while (depth > 0) {
        Level &l = levels[depth];
        double size = l.done + l.branch + 1;
        depth--;
        atom(size);
    }
    return levels[0].done + levels[0].branch;
}

}  // namespace

int compile_pattern(regex_t *re, const char *text, char *reason, std::size_t room) {
    if (expansion(text) > kMaxExpansion) {
        std::snprintf(reason, room, "pattern too complex (its repetitions expand too far)");
        return REG_ESPACE;
    }
    int rc = regcomp(re, text, REG_EXTENDED);
    if (rc != 0) regerror(rc, re, reason, room);
    return rc;
}

}  // namespace ledgeform
