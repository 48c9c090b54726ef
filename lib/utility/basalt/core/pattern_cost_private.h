// The cost of a POSIX extended regular expression to the C library's engine,
// estimated from its syntax before it is compiled.
//
// The engine turns a pattern into an automaton whose nodes it copies for
// every repetition ("x+" is x followed by x*, "x{m,n}" is m copies of x and
// n - m optional ones), computes for each node the set of nodes reachable
// without reading a character (its closure), and builds the states of a
// match, sets of nodes, as it reads the text, starting again at every
// character. Some short patterns make it work for hours or take gigabytes on
// the way. Every pattern the system compiles is first handed to
// pattern_refusal(), which reads the pattern once, sums up each
// subexpression in a few figures and refuses, with the reason, a pattern
// that
//   - holds a back-reference ("\1" to "\9"): they are matched by
//     backtracking;
//   - puts one repetition operator right after another ("a**", "a?+",
//     "a{2}+"), which POSIX leaves undefined;
//   - repeats a group that can match the empty string when the group holds a
//     repetition or another such group ("(a?)+", "((b)?)?", "((a|)|)*"):
//     the empty paths nest and the closures grow exponentially;
//   - nests groups more than kMaxDepth deep;
//   - would make the engine copy more than kMaxCopies nodes for its
//     repetitions ("a{2100}", "((a{100}){100})", "((a+)+)+..."), or create
//     more than kMaxNodes in all;
//   - would give its nodes closures of more than kMaxClosures entries in all,
//     or its reading nodes more than kMaxFollows entries after them (long
//     runs of optional copies such as "[a-z]{1,1000}", wide alternations);
//   - lets the engine build more states than it can keep: behind a part
//     that can end at many different times (".*x", "a{1,20}") each
//     following place that can read the character that part ended on can
//     double them (".*x.{12}", ".{1,20}x.{20}"). The estimate below counts
//     such places (a loop over one place, ".*", is only on or off, a run
//     of distinct characters, "_BH", counts once, and a part that cannot
//     read the character the part before it ended on starts afresh each
//     time, "[[:alpha:]]+[0-9]{1,255}"); it overestimates, so where it
//     passes kMaxBits the states are counted (pattern_states_private.h)
//     and the pattern is refused only when they pass that budget.
// Ordinary patterns ("AK_.*_BH[ZN]", "(AK|TA)_BRW_BH.",
// "[A-Z]{2}_[A-Z]{3}_BH[ZNE](/.*)?") stay far below every bound.
//
// Everything here is inline and allocates only with malloc, so that each
// library of the system (also the database library, which must not need
// the C++ runtime) compiles its own copy with hidden visibility.
#ifndef BASALT_PATTERN_COST_PRIVATE_H
#define BASALT_PATTERN_COST_PRIVATE_H

#include <regex.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "pattern_states_private.h"
#include "pattern_syntax_private.h"

namespace basalt {
namespace pattern_cost {

constexpr double kMaxCopies = 2000;
constexpr double kMaxNodes = 10000;
constexpr double kMaxClosures = 100000;
constexpr double kMaxFollows = 100000;
constexpr double kMaxBits = 8;
constexpr double kMany = 1e9;

inline double at_most(double a, double b) { return a < b ? a : b; }
inline double at_least(double a, double b) { return a > b ? a : b; }

// What a subexpression costs: an automaton fragment with one entry and one
// exit, summed up.
struct Cost {
    double nodes = 0;      // nodes the engine makes for it
    double first = 0;      // size of the closure of its entry, within it
    double tail_eps = 0;   // non-reading nodes whose closure reaches its exit
    double tail_read = 0;  // reading nodes whose successor's closure reaches its exit
    double closures = 0;   // sum of the closure sizes of its nodes, within it
    double follows = 0;    // sum over its reading nodes of their successor's closure, within it
    bool nullable = true;  // matches the empty string
    // How many different states a match can go through: a part that starts
    // at many different times can be under way at several offsets at once,
    // and the states are the sets of such offsets.
    double shortest = 0;  // fewest characters it can take
    double longest = 0;   // most characters it can take (kMany: no bound)
    Chars reads;          // the characters its places read
    Chars ends;           // the characters it can end on
    double places = 0;    // reading nodes, a run of distinct characters counting once
    double at_once = 0;   // places under way at once when it starts once
    double offsets = 0;   // places under way at any of many offsets
    double spread = 0;    // places under way at a few offsets: how many more than one
};

// How many different numbers of characters it can take, so at how many
// different times what follows it can start.
inline double exits(const Cost &c) {
    return c.longest >= kMany ? kMany : c.longest - c.shortest + 1;
}

// About the base 2 logarithm of the number of states a match can go through,
// or more.
inline double state_bits(const Cost &c) { return c.offsets + c.spread; }

// A node that reads one character of the set; places 0 for a character that
// only continues a run of distinct characters (a run is under way at one
// offset at a time).
inline Cost reading_atom(const Chars &set, double places = 1) {
    Cost c;
    c.nodes = c.first = c.tail_read = c.closures = 1;
    c.nullable = false;
    c.shortest = c.longest = 1;
    c.reads = c.ends = set;
    c.places = c.at_once = places;
    return c;
}

// An anchor ("^", "$", "\b", ...) reads nothing: a node on the way.
inline Cost anchor() {
    Cost c;
    c.nodes = c.first = c.tail_eps = c.closures = 1;
    return c;
}

inline Cost concat(const Cost &a, const Cost &b) {
    Cost c;
    c.nodes = a.nodes + b.nodes;
    c.first = a.first + (a.nullable ? b.first : 0);
    c.tail_eps = b.tail_eps + (b.nullable ? a.tail_eps : 0);
    c.tail_read = b.tail_read + (b.nullable ? a.tail_read : 0);
    c.closures = a.closures + b.closures + a.tail_eps * b.first;
    c.follows = a.follows + b.follows + a.tail_read * b.first;
    c.nullable = a.nullable && b.nullable;
    c.shortest = a.shortest + b.shortest;
    c.longest = at_most(a.longest + b.longest, kMany);
    c.reads = a.reads;
    c.reads.add(b.reads);
    c.ends = b.ends;
    if (b.nullable) c.ends.add(a.ends);
    c.places = a.places + b.places;
    c.offsets = a.offsets + b.offsets;
    c.spread = a.spread + b.spread;
    c.at_once = at_least(a.at_once, b.at_once);
    // b starts at several times, and what b has under way survives the
    // character a ends on: its places overlap. After a part of unbounded
    // length each of them adds an offset; after one of bounded length no
    // more than the offsets it can end at.
    if (exits(a) > 1 && a.ends.meets(b.reads)) {
        const double overlap = at_most(b.places, exits(a) * b.at_once);
        c.at_once = a.at_once + overlap;
        if (exits(a) >= kMany)
            c.offsets += overlap;
        else
            c.spread += at_most(overlap, exits(a) - 1);
    }
    return c;
}

// a|b: one branching node before both.
inline Cost alternate(const Cost &a, const Cost &b) {
    Cost c;
    c.nodes = a.nodes + b.nodes + 1;
    c.first = 1 + a.first + b.first;
    c.nullable = a.nullable || b.nullable;
    c.tail_eps = a.tail_eps + b.tail_eps + (c.nullable ? 1 : 0);
    c.tail_read = a.tail_read + b.tail_read;
    c.closures = a.closures + b.closures + c.first;
    c.follows = a.follows + b.follows;
    c.shortest = at_most(a.shortest, b.shortest);
    c.longest = at_least(a.longest, b.longest);
    c.reads = a.reads;
    c.reads.add(b.reads);
    c.ends = a.ends;
    c.ends.add(b.ends);
    c.places = a.places + b.places;
    c.at_once = a.at_once + b.at_once;
    c.offsets = a.offsets + b.offsets;
    c.spread = a.spread + b.spread;
    return c;
}

// (a): an opening and a closing node around it.
inline Cost group(const Cost &a) {
    Cost c = a;
    c.nodes = a.nodes + 2;
    c.first = 1 + a.first + (a.nullable ? 1 : 0);
    c.tail_eps = 1 + a.tail_eps + (a.nullable ? 1 : 0);
    c.closures = a.closures + a.tail_eps + c.first + 1;
    c.follows = a.follows + a.tail_read;
    return c;
}

// a*: a looping node before a, to which a's exit leads back. A loop over
// one place (".*", "[ab]*") is only on or off; a longer one starts again
// while an earlier round may still be under way.
inline Cost star(const Cost &a) {
    Cost c = a;
    c.nodes = a.nodes + 1;
    c.first = 1 + a.first;
    c.tail_eps = 1 + a.tail_eps;
    c.closures = a.closures + c.first + a.tail_eps * c.first;
    c.follows = a.follows + a.tail_read * c.first;
    c.nullable = true;
    c.shortest = 0;
    c.longest = kMany;
    if (a.places <= 1) {
        c.places = c.at_once = 0;
    } else {
        c.at_once = a.places;
        if (exits(a) > 1 && a.ends.meets(a.reads)) c.offsets = a.offsets + a.places;
    }
    return c;
}

// a?: a branching node that may skip a.
inline Cost optional(const Cost &a) {
    Cost c = a;
    c.nodes = a.nodes + 1;
    c.first = 1 + a.first;
    c.tail_eps = a.tail_eps + 1;
    c.closures = a.closures + c.first;
    c.nullable = true;
    c.shortest = 0;
    return c;
}

// a{m,n} (n < 0: no upper bound): m copies, then a* or n - m optional
// copies, each of which may skip to the end. Stops early once the copies
// pass the node bound (the caller refuses the result).
inline Cost interval(const Cost &a, long m, long n) {
    Cost c;
    for (long i = 0; i < m && c.nodes <= kMaxNodes; i++) c = concat(c, a);
    if (n < 0) return concat(c, star(a));
    const Cost skip = optional(a);
    Cost tail;
    for (long i = m; i < n && tail.nodes <= kMaxNodes; i++) tail = concat(tail, skip);
    if (n > m && exits(a) < kMany) {
        // The optional copies under way at once are a range of them: a
        // state is a range, not any set.
        double bits = 0;
        for (double range = static_cast<double>(n - m) + 1; range > 1; range /= 2) bits++;
        tail.spread = static_cast<double>(n - m) * a.spread + bits * at_least(a.at_once, 1);
    }
    return concat(c, tail);
}

// One level of grouping while the pattern is read.
struct Level {
    Cost done;  // the alternatives finished so far
    bool has_done = false;
    Cost branch;  // the branch being read, up to its last item
    Cost last;    // its last item: what a repetition applies to
    bool has_last = false;
    bool last_repeated = false;     // the last item ends with a repetition operator
    bool last_group = false;        // the last item is a group ...
    bool last_group_risky = false;  // ... that holds a repetition or a nullable group
    bool holds_repetition = false;
    bool holds_nullable_group = false;
    // The run of distinct plain characters the branch ends with.
    bool run_open = false;
    Chars run;

    void push(const Cost &item) {
        if (has_last) branch = concat(branch, last);
        last = item;
        has_last = true;
        last_repeated = last_group = last_group_risky = run_open = false;
    }
    void push_set(const Chars &set) { push(reading_atom(set)); }
    // A plain character: it continues the run when the run lacks it.
    void push_char(unsigned char c) {
        const Chars one = Chars::one(c);
        const bool continues = run_open && !run.meets(one);
        push(reading_atom(one, continues ? 0 : 1));
        if (!continues) run = Chars();
        run.add(c);
        run_open = true;
    }
    void end_branch() {
        Cost whole = has_last ? concat(branch, last) : branch;
        done = has_done ? alternate(done, whole) : whole;
        has_done = true;
        branch = Cost();
        has_last = last_repeated = last_group = last_group_risky = run_open = false;
    }
    Cost close() {
        end_branch();
        return done;
    }
};

// Reads the pattern: null and its cost in *whole, or why its shape alone
// refuses it (a constant text). Malformed patterns are read as leniently
// as possible and judged by what the engine would build of them before it
// gives up.
inline const char *measure(const char *s, Cost *whole) {
    *whole = Cost();
    if (s == nullptr) return nullptr;
    Level levels[kMaxDepth + 1];
    int depth = 0;
    double copied = 0;  // nodes copied so far for repetitions
    for (std::size_t i = 0; s[i] != '\0';) {
        Level &l = levels[depth];
        const char c = s[i];
        bool repetition = false;
        long m = 0, n = 0;
        std::size_t next = i + 1;
        Chars set;
        switch (c) {
            case '\\': {
                const char e = s[i + 1];
                if (e >= '1' && e <= '9')
                    return "pattern too complex (back-references are not supported)";
                if (e == 'b' || e == 'B' || e == '<' || e == '>' || e == '`' || e == '\'')
                    l.push(anchor());
                else if (escape_class(e, &set))
                    l.push_set(set);
                else
                    l.push_char(static_cast<unsigned char>(e != '\0' ? e : c));
                next = e != '\0' ? i + 2 : i + 1;
                break;
            }
            case '[':
                next = read_bracket(s, i, &set);
                l.push_set(set);
                break;
            case '.':
                l.push_set(Chars::all());
                break;
            case '^':
            case '$':
                l.push(anchor());
                break;
            case '(':
                if (depth == kMaxDepth) return "pattern too complex (groups nested too deep)";
                levels[++depth] = Level();
                break;
            case ')':
                if (depth == 0) {  // a lone ')' is an ordinary character
                    l.push_char(')');
                } else {
                    const Cost inner = l.close();
                    const bool risky = l.holds_repetition || l.holds_nullable_group;
                    Level &outer = levels[--depth];
                    const Cost g = group(inner);
                    outer.push(g);
                    outer.last_group = true;
                    outer.last_group_risky = risky;
                    outer.holds_repetition = outer.holds_repetition || l.holds_repetition;
                    outer.holds_nullable_group =
                        outer.holds_nullable_group || l.holds_nullable_group || g.nullable;
                }
                break;
            case '|':
                l.end_branch();
                break;
            case '*':
                repetition = true;
                m = 0;
                n = -1;
                break;
            case '+':
                repetition = true;
                m = 1;
                n = -1;
                break;
            case '?':
                repetition = true;
                m = 0;
                n = 1;
                break;
            case '{':
                if (read_interval(s, i, &m, &n, &next)) {
                    repetition = true;
                } else {
                    l.push_char('{');
                }
                break;
            default:
                l.push_char(static_cast<unsigned char>(c));
                break;
        }
        // A repetition with nothing before it is an error of the engine.
        if (repetition && l.has_last) {
            if (l.last_repeated)
                return "pattern too complex (a repetition operator follows another)";
            if (l.last_group && l.last.nullable && l.last_group_risky)
                return "pattern too complex (a repeated group that can match the empty string "
                       "holds a repetition or another such group)";
            // A repeated character stands apart from the run it ended.
            Cost operand = l.last;
            if (l.run_open) operand.places = operand.at_once = 1;
            Cost repeated;
            if (m == 0 && n < 0)
                repeated = star(operand);
            else if (m == 0 && n == 1)
                repeated = optional(operand);
            else
                repeated = interval(operand, m, n);
            copied += at_least(repeated.nodes - operand.nodes - 1, 0);
            l.last = repeated;
            l.last_repeated = true;
            l.run_open = false;
            l.holds_repetition = true;
        }
        if (copied > kMaxCopies) return "pattern too complex (its repetitions expand too far)";
        i = next;
    }
    // Groups left open are an error of the engine; it has built them by then.
    while (depth > 0) {
        const Cost inner = levels[depth].close();
        levels[--depth].push(group(inner));
    }
    *whole = levels[0].close();
    return nullptr;
}

// Null when the pattern may be compiled, else why not (a constant text).
inline const char *pattern_refusal(const char *s) {
    Cost whole;
    if (const char *why = measure(s, &whole)) return why;
    if (whole.nodes > kMaxNodes) return "pattern too complex (too long)";
    if (whole.closures > kMaxClosures || whole.follows > kMaxFollows)
        return "pattern too complex (too many optional or alternative parts)";
    // The estimate of the states is rough; past its bound they are counted.
    if (state_bits(whole) > kMaxBits && !states::count(s).complete)
        return "pattern too complex (too many parts can be under way at once)";
    return nullptr;
}

}  // namespace pattern_cost

using pattern_cost::pattern_refusal;

// regcomp() of a pattern the check accepts. For one it refuses nothing is
// compiled: REG_ESPACE, with the reason in *why (else *why is null).
inline int regcomp_checked(regex_t *re, const char *pattern, int flags, const char **why) {
    *why = pattern_refusal(pattern);
    if (*why != nullptr) return REG_ESPACE;
    return regcomp(re, pattern, flags);
}

}  // namespace basalt

#endif
