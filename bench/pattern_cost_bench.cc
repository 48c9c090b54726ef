// Patterns and the C library's regex engine: what the cost check lets
// through must compile within 10 ms and 4 MB and match a text of 1,024
// bytes within 10 ms, and the states the engine builds and keeps over
// 200,000 names must hold at most 16 MB.
//   check:   the check itself, on the patterns it refuses and on long ones
//   compile: regcomp and regfree of the costliest patterns the check
//            accepts (counter KB: what the compiled pattern holds)
//   match:   regexec of each, freshly compiled, against a 1,024-byte text
//            chosen to keep many of its parts under way
// After the table, one line per accepted pattern: its slowest compile and
// match over a few rounds and its memory, against the targets. Then, for
// ordinary selects and the costliest patterns the check accepts: the states
// the check counts, its own time and memory, and the engine's heap growth
// over 200,000 random 64-byte names made of the pattern's own characters;
// and the check's time and memory on the patterns it refuses.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <regex.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "costly_patterns.h"
#include "pattern_cost_private.h"

namespace {

constexpr std::size_t kText = 1024;

std::string repeated(const std::string &unit, std::size_t size = kText) {
    std::string text;
    while (text.size() < size) text += unit;
    text.resize(size);
    return text;
}

std::string random_of(const std::string &letters, unsigned seed) {
    std::mt19937 rng(seed);
    std::string text;
    for (std::size_t i = 0; i < kText; i++) text += letters[rng() % letters.size()];
    return text;
}

std::string station_list() {
    std::string list = "(";
    for (int i = 0; i < 80; i++) list += (i ? "|AK_S" : "AK_S") + std::to_string(100 + i) + "_BH.";
    return list + ")";
}

// Whole names of 200 stations anywhere in a name.
std::string long_list() {
    std::string list = ".*(";
    const char channels[] = "ZNE";
    for (int i = 0; i < 200; i++)
        list += (i ? "|AK_S" : "AK_S") + std::to_string(100 + i) + "_BH" + channels[i % 3];
    return list + ")/.*";
}

struct Case {
    const char *name;
    std::string pattern;
    std::string text;
};

// The costliest accepted patterns found while the check's bounds were set,
// and long ordinary ones.
const std::vector<Case> &cases() {
    static const std::vector<Case> all = {
        {"loop_then_choices", ".+x(x|.){3}$", random_of("ax", 1)},
        {"loop_then_uneven", "(a|b)*(a|ab){2}(y|$)", random_of("ab", 2)},
        {"loop_then_dots", ".*x.{5}y", random_of("ax", 3)},
        {"class_loop_then_class", "[ax]*x[ax]{5}y", random_of("ax", 4)},
        {"optional_blocks", "([ab]{40}){0,45}x", random_of("ab", 5)},
        {"copies", "a{2000}", repeated("a")},
        {"dot_copies", ".{2000}", repeated("a")},
        {"long_literal", repeated("a", kText - 1) + "b", repeated("a")},
        {"station_list", station_list(), repeated("AK_S100_BH")},
        {"letters_then_digits", "[[:alpha:]]+[0-9]{1,255}", repeated("a1")},
        {"optional_run", "[a-z]{1,100}", repeated("a")},
        {"many_groups", repeated("(.*)", 160) + "z", repeated("a")},
        {"ordinary", "AK_.*_BH[ZN]", "AK_" + repeated("x", kText - 3)},
        // Accepted on their count of states.
        {"loop_then_ten_dots", ".*x.{10}", random_of("ax", 6)},
        {"range_then_ten_dots", ".{1,10}x.{10}", random_of("ax", 7)},
        {"two_windows", "(.*x.{9}){2}", random_of("ax", 8)},
        {"dots_then_word_end", ".*x.{10}\\b", random_of("ax-", 9)},
        {"long_list_anywhere", long_list(), random_of("AK_S0123BHZNE/", 10)},
    };
    return all;
}

// Refused, the slowest to count: many states of many places each.
std::string long_list_then_window() {
    std::string list = long_list();
    return list.substr(0, list.size() - 2) + ".*x.{8}";
}

std::vector<std::string> refused() {
    return {"a" + std::string(22, '+'),
            "a?+?+?+?+?+?+?+?+?+?+?+?+",
            "a??????????b??????????????+++++",
            "(((((((((((((((((((b)?)?)?)?)?)?)?)?)?)?)?)?)?)?)+)+)+)+)+",
            "(.*)(.*)(.*)(.*)(.*)(.*)(.*)(.*)(.*)\\9\\8\\7\\6\\5\\4\\3\\2\\1z",
            ".*x.{12}y",
            ".*x.{16}",
            ".*x.{20}",
            ".{1,20}x.{20}",
            "[ax]*x[ax]{16}y",
            long_list_then_window()};
}

void check_refused(benchmark::State &state) {
    const std::vector<std::string> patterns = refused();
    std::size_t i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(basalt::pattern_refusal(patterns[i++ % patterns.size()].c_str()));
}
BENCHMARK(check_refused)->Name("check:refused");

void check_accepted(benchmark::State &state) {
    std::size_t i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(basalt::pattern_refusal(cases()[i++ % cases().size()].pattern.c_str()));
}
BENCHMARK(check_accepted)->Name("check:accepted");

void compile(benchmark::State &state, const Case &c) {
    std::size_t kept = 0;
    for (auto _ : state) {
        const std::size_t before = mallinfo2().uordblks;
        regex_t re;
        if (regcomp(&re, c.pattern.c_str(), REG_EXTENDED) != 0) {
            state.SkipWithError("does not compile");
            return;
        }
        kept = mallinfo2().uordblks - before;
        regfree(&re);
    }
    state.counters["KB"] = static_cast<double>(kept) / 1024;
}

// Each round on a fresh compile: the engine keeps the states it has built
// in the compiled pattern, and the first match builds them.
void match(benchmark::State &state, const Case &c) {
    for (auto _ : state) {
        state.PauseTiming();
        regex_t re;
        if (regcomp(&re, c.pattern.c_str(), REG_EXTENDED) != 0) {
            state.SkipWithError("does not compile");
            return;
        }
        state.ResumeTiming();
        regmatch_t m;
        benchmark::DoNotOptimize(regexec(&re, c.text.c_str(), 1, &m, 0));
        state.PauseTiming();
        regfree(&re);
        state.ResumeTiming();
    }
}

double ms_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Each accepted pattern compiled and matched: the median of seven rounds
// (the slowest would show what else the machine was doing).
void print_targets() {
    std::printf("\nAgainst the targets (compile within 10 ms and 4 MB, match 1,024 bytes within 10 ms):\n");
    for (const Case &c : cases()) {
        if (basalt::pattern_refusal(c.pattern.c_str()) != nullptr) {
            std::printf("  %-22s refused by the check: %s\n", c.name, basalt::pattern_refusal(c.pattern.c_str()));
            continue;
        }
        std::vector<double> compiles, matches;
        std::size_t kept = 0;
        for (int round = 0; round < 7; round++) {
            const std::size_t before = mallinfo2().uordblks;
            auto start = std::chrono::steady_clock::now();
            regex_t re;
            if (regcomp(&re, c.pattern.c_str(), REG_EXTENDED) != 0) break;
            compiles.push_back(ms_since(start));
            kept = std::max(kept, mallinfo2().uordblks - before);
            regmatch_t m;
            start = std::chrono::steady_clock::now();
            regexec(&re, c.text.c_str(), 1, &m, 0);
            matches.push_back(ms_since(start));
            regfree(&re);
        }
        if (compiles.empty()) continue;
        std::sort(compiles.begin(), compiles.end());
        std::sort(matches.begin(), matches.end());
        const double compile_ms = compiles[compiles.size() / 2], match_ms = matches[matches.size() / 2];
        std::printf("  %-22s %4zu bytes: compile %6.2f ms %6.0f KB, match %6.2f ms%s\n", c.name,
                    c.pattern.size(), compile_ms, static_cast<double>(kept) / 1024, match_ms,
                    compile_ms <= 10 && match_ms <= 10 && kept <= (4u << 20) ? "" : "  OVER");
    }
}

// The heap the engine keeps after matching 200,000 random 64-byte names
// made of the pattern's own characters, and the time a name.
void growth(const std::string &pattern, double *mb, double *us) {
    std::string letters;
    for (char c : pattern)
        if (letters.find(c) == std::string::npos) letters += c;
    regex_t re;
    *mb = *us = -1;
    if (regcomp(&re, pattern.c_str(), REG_EXTENDED | REG_NOSUB) != 0) return;
    std::mt19937 rng(1);
    constexpr int kNames = 200000;
    char name[65] = {};
    const std::size_t before = mallinfo2().uordblks;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kNames; i++) {
        for (int j = 0; j < 64; j++) name[j] = letters[rng() % letters.size()];
        regexec(&re, name, 0, nullptr, 0);
    }
    *us = ms_since(start) * 1000 / kNames;
    *mb = (static_cast<double>(mallinfo2().uordblks) - static_cast<double>(before)) / (1 << 20);
    regfree(&re);
}

// The count of states the check makes, with its own time and memory.
void print_count(const std::string &pattern, const char *name) {
    const auto start = std::chrono::steady_clock::now();
    const char *why = basalt::pattern_refusal(pattern.c_str());
    const double check_ms = ms_since(start);
    const auto count = basalt::pattern_cost::states::count(pattern.c_str());
    std::printf("  %-34.34s check %7.3f ms, %5zu states %s, count %6zu KB", name, check_ms, count.states,
                count.complete ? "     " : "(over)", count.memory / 1024);
    if (why != nullptr) {
        std::printf("  refused\n");
        return;
    }
    double mb, us;
    growth(pattern, &mb, &us);
    std::printf(", heap %7.2f MB, %5.2f us a name%s\n", mb, us, mb <= 16 ? "" : "  OVER");
}

void print_states() {
    std::printf("\nStates counted; engine heap over 200,000 random 64-byte names (target: 16 MB):\n");
    for (const std::string &p : testsupport::ordinary_selects()) print_count(p, p.c_str());
    for (const Case &c : cases()) print_count(c.pattern, c.name);
    std::printf("Refused:\n");
    for (const std::string &p : refused()) print_count(p, p.c_str());
}

}  // namespace

int main(int argc, char **argv) {
    for (const Case &c : cases()) {
        benchmark::RegisterBenchmark((std::string("compile:") + c.name).c_str(), compile, c);
        benchmark::RegisterBenchmark((std::string("match:") + c.name).c_str(), match, c);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    print_targets();
    print_states();
    return 0;
}
