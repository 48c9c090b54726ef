// Buffered descriptor I/O against the C library and the plain system calls,
// over a 100 MB file of 512-byte records (511 characters and a newline):
//
//   lines:fdgets  / lines:getline  every line of the file; the argument is
//                                  the record size
//   read:fdread   / read:read      the whole file in requests of the
//                                  argument's size
//   write:fdwrite / write:write    the whole file written again; fdwrite
//                                  queues 512-byte records and fdflush writes
//                                  them whenever the argument's count of
//                                  bytes is queued, write(2) writes pieces of
//                                  the argument's size: the same system calls
//
// The file lives in a scratch directory under /tmp made once per run and
// removed at the end.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "basalt.h"
#include "support/ratio_main.h"

namespace {

constexpr std::size_t kRecord = 512;
constexpr std::size_t kFileSize = std::size_t{100} << 20;

std::string make_records() {
    std::string all(kFileSize, '\0');
    for (std::size_t at = 0; at < kFileSize; at += kRecord) {
        for (std::size_t i = 0; i < kRecord - 1; i++)
            all[at + i] = static_cast<char>('!' + (at / kRecord + i) % 90);
        all[at + kRecord - 1] = '\n';
    }
    return all;
}

class Scratch {
  public:
    Scratch() {
        char dir[] = "/tmp/fdio-bench-XXXXXX";
        if (mkdtemp(dir) == nullptr) std::abort();
        dir_ = dir;
        records_ = make_records();
        input_ = dir_ + "/records";
        output_ = dir_ + "/written";
        int fd = open(input_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || write_all(fd, records_.data(), records_.size()) != 0) std::abort();
        close(fd);
    }
    ~Scratch() {
        unlink(input_.c_str());
        unlink(output_.c_str());
        rmdir(dir_.c_str());
    }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;

    const char *input() const { return input_.c_str(); }
    const char *output() const { return output_.c_str(); }
    const std::string &records() const { return records_; }

  private:
    static int write_all(int fd, const char *p, std::size_t n) {
        while (n > 0) {
            ssize_t k = write(fd, p, n);
            if (k <= 0) return -1;
            p += k;
            n -= static_cast<std::size_t>(k);
        }
        return 0;
    }
    std::string dir_, input_, output_, records_;
};

Scratch &scratch() {
    static Scratch s;
    return s;
}

void done(benchmark::State &state, std::size_t bytes) {
    if (bytes != kFileSize) state.SkipWithError("wrong byte count");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(kFileSize));
}

// ---- lines ----

void BM_LinesFdgets(benchmark::State &state) {
    const char *path = scratch().input();
    std::vector<char> line(2 * static_cast<std::size_t>(state.range(0)));
    std::size_t bytes = 0;
    for (auto _ : state) {
        int fd = open(path, O_RDONLY);
        bytes = 0;
        int n;
        while ((n = fdgets(fd, line.data(), static_cast<int>(line.size()))) >= 0) {
            benchmark::DoNotOptimize(line.data());
            bytes += static_cast<std::size_t>(n) + 1;
        }
        fdclose(fd);
    }
    done(state, bytes);
}

void BM_LinesGetline(benchmark::State &state) {
    const char *path = scratch().input();
    std::size_t bytes = 0;
    for (auto _ : state) {
        FILE *f = std::fopen(path, "r");
        char *line = nullptr;
        std::size_t size = 0;
        bytes = 0;
        ssize_t n;
        while ((n = getline(&line, &size, f)) >= 0) {
            benchmark::DoNotOptimize(line);
            bytes += static_cast<std::size_t>(n);
        }
        std::free(line);
        std::fclose(f);
    }
    done(state, bytes);
}

// ---- reads ----

void BM_ReadFdread(benchmark::State &state) {
    const char *path = scratch().input();
    const auto request = static_cast<int>(state.range(0));
    std::vector<char> buf(static_cast<std::size_t>(request));
    std::size_t bytes = 0;
    for (auto _ : state) {
        int fd = open(path, O_RDONLY);
        bytes = 0;
        int n;
        while ((n = fdread(fd, buf.data(), request)) > 0) bytes += static_cast<std::size_t>(n);
        benchmark::DoNotOptimize(buf.data());
        fdclose(fd);
    }
    done(state, bytes);
}

void BM_ReadRead(benchmark::State &state) {
    const char *path = scratch().input();
    const auto request = static_cast<std::size_t>(state.range(0));
    std::vector<char> buf(request);
    std::size_t bytes = 0;
    for (auto _ : state) {
        int fd = open(path, O_RDONLY);
        bytes = 0;
        ssize_t n;
        while ((n = read(fd, buf.data(), request)) > 0) bytes += static_cast<std::size_t>(n);
        benchmark::DoNotOptimize(buf.data());
        close(fd);
    }
    done(state, bytes);
}

// ---- writes ----

void BM_WriteFdwrite(benchmark::State &state) {
    const char *path = scratch().output();
    const std::string &all = scratch().records();
    const auto per_call = static_cast<std::size_t>(state.range(0));
    std::size_t bytes = 0;
    for (auto _ : state) {
        int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        bytes = 0;
        std::size_t queued = 0;
        for (std::size_t at = 0; at < all.size(); at += kRecord) {
            fdwrite(fd, all.data() + at, static_cast<int>(kRecord));
            queued += kRecord;
            if (queued >= per_call) {
                int n = fdflush(fd);
                if (n > 0) bytes += static_cast<std::size_t>(n);
                queued = 0;
            }
        }
        int n = fdflush(fd);
        if (n > 0) bytes += static_cast<std::size_t>(n);
        fdclose(fd);
    }
    done(state, bytes);
}

void BM_WriteWrite(benchmark::State &state) {
    const char *path = scratch().output();
    const std::string &all = scratch().records();
    const auto per_call = static_cast<std::size_t>(state.range(0));
    std::size_t bytes = 0;
    for (auto _ : state) {
        int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        bytes = 0;
        for (std::size_t at = 0; at < all.size(); at += per_call) {
            ssize_t n = write(fd, all.data() + at, std::min(per_call, all.size() - at));
            if (n > 0) bytes += static_cast<std::size_t>(n);
        }
        close(fd);
    }
    done(state, bytes);
}

}  // namespace

BENCHMARK(BM_LinesFdgets)->Name("lines:fdgets")->Arg(512)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LinesGetline)->Name("lines:getline")->Arg(512)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadFdread)->Name("read:fdread")->Arg(512)->Arg(65536)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadRead)->Name("read:read")->Arg(512)->Arg(65536)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteFdwrite)->Name("write:fdwrite")->Arg(512)->Arg(65536)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteWrite)->Name("write:write")->Arg(512)->Arg(65536)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) { return benchsupport::ratio_main(argc, argv, {"fdgets","fdread","fdwrite"}); }
