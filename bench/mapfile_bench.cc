// mapfile of a file already in the shared cache (a hit and its release)
// against mapping the same file by hand each time: open, mmap, munmap,
// close. The argument is the file's size.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "basalt.h"
#include "support/ratio_main.h"

namespace {

// A file of n bytes under /tmp, made once per size and removed at exit.
class BenchFile {
  public:
    explicit BenchFile(std::size_t n) {
        char name[] = "/tmp/mapfile-bench-XXXXXX";
        int fd = mkstemp(name);
        if (fd < 0) std::abort();
        std::string block(4096, 'm');
        for (std::size_t done = 0; done < n;) {
            std::size_t k = n - done < block.size() ? n - done : block.size();
            if (write(fd, block.data(), k) != static_cast<ssize_t>(k)) std::abort();
            done += k;
        }
        close(fd);
        path_ = name;
    }
    ~BenchFile() { unlink(path_.c_str()); }
    BenchFile(const BenchFile &) = delete;
    BenchFile &operator=(const BenchFile &) = delete;
    const char *path() const { return path_.c_str(); }

  private:
    std::string path_;
};

const char *file_of(std::size_t n) {
    static std::map<std::size_t, BenchFile> files;
    auto it = files.find(n);
    if (it == files.end()) it = files.try_emplace(n, n).first;
    return it->second.path();
}

void BM_Mapfile(benchmark::State &state) {
    const char *path = file_of(static_cast<std::size_t>(state.range(0)));
    char *held = nullptr;
    // The file is in the cache before the clock runs, and stays there.
    if (mapfile(path, nullptr, &held) < 0) {
        state.SkipWithError("mapfile failed");
        return;
    }
    for (auto _ : state) {
        char *p = nullptr;
        int n = mapfile(path, nullptr, &p);
        benchmark::DoNotOptimize(p);
        benchmark::DoNotOptimize(n);
        unmapfile(path, nullptr);
    }
    unmapfile(path, nullptr);
}

void BM_Mmap(benchmark::State &state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const char *path = file_of(size);
    for (auto _ : state) {
        int fd = open(path, O_RDONLY);
        void *p = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
        benchmark::DoNotOptimize(p);
        munmap(p, size);
        close(fd);
    }
}

}  // namespace

BENCHMARK(BM_Mapfile)->Name("map:mapfile")->Arg(1 << 12)->Arg(1 << 20)->Arg(1 << 26);
BENCHMARK(BM_Mmap)->Name("map:mmap")->Arg(1 << 12)->Arg(1 << 20)->Arg(1 << 26);

int main(int argc, char **argv) { return benchsupport::ratio_main(argc, argv, {"mapfile"}); }
