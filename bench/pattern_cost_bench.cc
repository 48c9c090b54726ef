// Patterns and the C library's regex engine: what the cost check lets
// through must compile within 10 ms and 4 MB and match a text of 1,024
// bytes within 10 ms.
//   check:   the check itself, on the patterns it refuses and on long ones
//   compile: regcomp and regfree of the costliest patterns the check
//            accepts (counter KB: what the compiled pattern holds)
//   match:   regexec of each, freshly compiled, against a 1,024-byte text
//            chosen to keep many of its parts under way
// After the table, one line per accepted pattern: its slowest compile and
// match over a few rounds and its memory, against the targets.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <regex.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

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
    };
    return all;
}

std::vector<std::string> refused() {
    return {"a" + std::string(22, '+'),
            "a?+?+?+?+?+?+?+?+?+?+?+?+",
            "a??????????b??????????????+++++",
            "(((((((((((((((((((b)?)?)?)?)?)?)?)?)?)?)?)?)?)?)+)+)+)+)+",
            "(.*)(.*)(.*)(.*)(.*)(.*)(.*)(.*)(.*)\\9\\8\\7\\6\\5\\4\\3\\2\\1z",
            ".*x.{12}y"};
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
    return 0;
}
