// Reading times from text: str2epoch against the C library.
//   decimal:   plain decimal epoch times, str2epoch against strtod
//   calendar:  "yyyy-mm-dd hh:mm:ss" texts, str2epoch against strptime+timegm
//   decimal_threads: the decimal path from 1 and 4 threads at once
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "support/ratio_main.h"
#include "timeparse.h"

namespace {

std::vector<std::string> decimal_texts() {
    std::vector<std::string> texts;
    std::mt19937_64 rng(1);
    for (int i = 0; i < 1024; i++) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.7f", 1.0e9 + static_cast<double>(rng() % 1000000000) / 7.0);
        texts.push_back(buf);
    }
    return texts;
}

std::vector<std::string> calendar_texts() {
    std::vector<std::string> texts;
    std::mt19937_64 rng(2);
    for (int i = 0; i < 1024; i++) {
        time_t t = static_cast<time_t>(946684800 + rng() % 1000000000);
        struct tm tm {};
        gmtime_r(&t, &tm);
        char buf[64];
        std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
        texts.push_back(buf);
    }
    return texts;
}

const std::vector<std::string> &decimals() {
    static const std::vector<std::string> texts = decimal_texts();
    return texts;
}

const std::vector<std::string> &calendars() {
    static const std::vector<std::string> texts = calendar_texts();
    return texts;
}

void decimal_str2epoch(benchmark::State &state) {
    const auto &texts = decimals();
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(str2epoch(const_cast<char *>(texts[i++ & 1023].c_str())));
    }
}
BENCHMARK(decimal_str2epoch)->Name("decimal:str2epoch");

void decimal_strtod(benchmark::State &state) {
    const auto &texts = decimals();
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(std::strtod(texts[i++ & 1023].c_str(), nullptr));
    }
}
BENCHMARK(decimal_strtod)->Name("decimal:strtod");

void calendar_str2epoch(benchmark::State &state) {
    const auto &texts = calendars();
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(str2epoch(const_cast<char *>(texts[i++ & 1023].c_str())));
    }
}
BENCHMARK(calendar_str2epoch)->Name("calendar:str2epoch");

void calendar_strptime(benchmark::State &state) {
    const auto &texts = calendars();
    std::size_t i = 0;
    for (auto _ : state) {
        struct tm tm {};
        strptime(texts[i++ & 1023].c_str(), "%Y-%m-%d %H:%M:%S", &tm);
        benchmark::DoNotOptimize(timegm(&tm));
    }
}
BENCHMARK(calendar_strptime)->Name("calendar:strptime");

void decimal_threads_str2epoch(benchmark::State &state) {
    const auto &texts = decimals();
    std::size_t i = static_cast<std::size_t>(state.thread_index()) * 97;
    for (auto _ : state) {
        benchmark::DoNotOptimize(str2epoch(const_cast<char *>(texts[i++ & 1023].c_str())));
    }
}
BENCHMARK(decimal_threads_str2epoch)->Name("decimal_threads:str2epoch")->Threads(1)->Threads(4);

void decimal_threads_strtod(benchmark::State &state) {
    const auto &texts = decimals();
    std::size_t i = static_cast<std::size_t>(state.thread_index()) * 97;
    for (auto _ : state) {
        benchmark::DoNotOptimize(std::strtod(texts[i++ & 1023].c_str(), nullptr));
    }
}
BENCHMARK(decimal_threads_strtod)->Name("decimal_threads:strtod")->Threads(1)->Threads(4);

}  // namespace

int main(int argc, char **argv) { return benchsupport::ratio_main(argc, argv, {"str2epoch"}); }
