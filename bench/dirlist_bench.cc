// Listing a segment directory: dirfiles against std::filesystem's directory
// iterator followed by std::sort, over a directory of segment files named
// by their time and first packet id ("2026-12-10-143000.000-12345").
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "filetests.h"
#include "support/ratio_main.h"
#include "tbl.h"

namespace {

// A directory of n segment files, made once per size and removed at exit.
class SegmentDir {
  public:
    explicit SegmentDir(int n) {
        char pattern[] = "/tmp/dirlist-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) std::abort();
        path_ = pattern;
        std::vector<std::string> names;
        std::time_t t = 1796912400;  // 2026-12-10 14:20:00 UTC
        long pktid = 12345;
        for (int i = 0; i < n; i++) {
            std::tm tm{};
            gmtime_r(&t, &tm);
            char name[64];
            std::snprintf(name, sizeof name, "%04d-%02d-%02d-%02d%02d%02d.%03d-%ld",
                          tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                          tm.tm_sec, (i * 7) % 1000, pktid);
            names.emplace_back(name);
            t += 60;
            pktid += 37 + i % 11;
        }
        std::mt19937 shuffle(42);
        std::shuffle(names.begin(), names.end(), shuffle);
        for (const std::string &name : names) {
            int fd = open((path_ + "/" + name).c_str(), O_CREAT | O_WRONLY, 0644);
            if (fd < 0) std::abort();
            close(fd);
        }
    }
    ~SegmentDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

const std::string &segment_dir(int n) {
    static std::map<int, std::unique_ptr<SegmentDir>> dirs;
    auto &d = dirs[n];
    if (!d) d = std::make_unique<SegmentDir>(n);
    return d->path();
}

void run_dirfiles(benchmark::State &state, int flag) {
    const std::string &dir = segment_dir(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        Tbl *list = dirfiles(dir.c_str(), flag);
        if (maxtbl(list) != state.range(0)) state.SkipWithError("wrong count");
        benchmark::DoNotOptimize(list);
        freetbl(list, std::free);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void run_filesystem(benchmark::State &state, bool regular_only) {
    const std::string &dir = segment_dir(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        std::vector<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(dir)) {
            if (regular_only && !entry.is_regular_file()) continue;
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        if (static_cast<long>(names.size()) != state.range(0)) state.SkipWithError("wrong count");
        benchmark::DoNotOptimize(names.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_list_dirfiles(benchmark::State &state) { run_dirfiles(state, 0); }
void BM_list_filesystem(benchmark::State &state) { run_filesystem(state, false); }
void BM_files_dirfiles(benchmark::State &state) { run_dirfiles(state, 1); }
void BM_files_filesystem(benchmark::State &state) { run_filesystem(state, true); }

}  // namespace

BENCHMARK(BM_list_dirfiles)->Name("list:dirfiles")->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_list_filesystem)->Name("list:std::filesystem")->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_files_dirfiles)->Name("list_regular:dirfiles")->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_files_filesystem)
    ->Name("list_regular:std::filesystem")
    ->Arg(10000)
    ->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv) { return benchsupport::ratio_main(argc, argv, {"dirfiles"}); }
