// The hex and ascii dump writers and readers on 4 MB of random bytes,
// against a plain memcpy of the same bytes. Throughput counts the bytes
// dumped or read back, not the characters of the dump text.
//
// Writers: to a string, queued on a descriptor and flushed to /dev/null,
// and to a stdio stream on /dev/null. Readers: from a file in the page
// cache through the descriptor buffers and through stdio.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "basalt.h"
#include "support/ratio_main.h"

namespace {

constexpr int kBytes = 4 << 20;

const std::vector<unsigned char> &data() {
    static const std::vector<unsigned char> bytes = [] {
        std::vector<unsigned char> b(kBytes);
        std::mt19937 gen(20240611);
        for (auto &c : b) c = static_cast<unsigned char>(gen());
        return b;
    }();
    return bytes;
}

// A file under /tmp holding a dump text, removed at exit.
class DumpFile {
  public:
    explicit DumpFile(const std::string &text) {
        char name[] = "/tmp/dumps-bench-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            std::abort();
        close(fd);
        path_ = name;
    }
    ~DumpFile() { unlink(path_.c_str()); }
    DumpFile(const DumpFile &) = delete;
    DumpFile &operator=(const DumpFile &) = delete;
    const char *path() const { return path_.c_str(); }

  private:
    std::string path_;
};

std::string taken(char *s) {
    std::string r(s);
    std::free(s);
    return r;
}

const DumpFile &hex_file() {
    static const DumpFile f(taken(hexdump_string(0, data().data(), kBytes)));
    return f;
}

const DumpFile &ascii_file() {
    static const DumpFile f(taken(asciistring(data().data(), kBytes)));
    return f;
}

void done(benchmark::State &state) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBytes);
}

// ---- peer ----

void BM_Memcpy(benchmark::State &state) {
    std::vector<unsigned char> out(kBytes);
    for (auto _ : state) {
        std::memcpy(out.data(), data().data(), kBytes);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    done(state);
}

// ---- writers ----

void BM_HexdumpString(benchmark::State &state) {
    for (auto _ : state) {
        char *s = hexdump_string(0, data().data(), kBytes);
        benchmark::DoNotOptimize(s);
        std::free(s);
    }
    done(state);
}

void BM_Fdhexdump(benchmark::State &state) {
    const int fd = open("/dev/null", O_WRONLY);
    for (auto _ : state) {
        fdhexdump(fd, data().data(), kBytes);
        while (fdflush(fd) > 0) {
        }
    }
    fdclose(fd);
    done(state);
}

void BM_Hexdump(benchmark::State &state) {
    FILE *f = std::fopen("/dev/null", "w");
    for (auto _ : state) hexdump(f, data().data(), kBytes);
    std::fclose(f);
    done(state);
}

void BM_Asciistring(benchmark::State &state) {
    for (auto _ : state) {
        char *s = asciistring(data().data(), kBytes);
        benchmark::DoNotOptimize(s);
        std::free(s);
    }
    done(state);
}

void BM_Fdasciidump(benchmark::State &state) {
    const int fd = open("/dev/null", O_WRONLY);
    for (auto _ : state) {
        fdasciidump(fd, data().data(), kBytes);
        while (fdflush(fd) > 0) {
        }
    }
    fdclose(fd);
    done(state);
}

void BM_Asciidump(benchmark::State &state) {
    FILE *f = std::fopen("/dev/null", "w");
    for (auto _ : state) asciidump(f, data().data(), kBytes);
    std::fclose(f);
    done(state);
}

// ---- readers ----

template <int (*kRead)(int, void *, int)>
void fd_reader(benchmark::State &state, const DumpFile &file) {
    std::vector<unsigned char> out(kBytes);
    const int fd = open(file.path(), O_RDONLY);
    for (auto _ : state) {
        fdseek(fd, 0, SEEK_SET);
        if (kRead(fd, out.data(), kBytes) != kBytes) {
            state.SkipWithError("short read");
            break;
        }
    }
    fdclose(fd);
    if (out != data()) state.SkipWithError("bytes differ");
    done(state);
}

template <int (*kRead)(FILE *, void *, int)>
void stdio_reader(benchmark::State &state, const DumpFile &file) {
    std::vector<unsigned char> out(kBytes);
    FILE *f = std::fopen(file.path(), "r");
    for (auto _ : state) {
        std::rewind(f);
        if (kRead(f, out.data(), kBytes) != kBytes) {
            state.SkipWithError("short read");
            break;
        }
    }
    std::fclose(f);
    if (out != data()) state.SkipWithError("bytes differ");
    done(state);
}

void BM_FdreadHexdump(benchmark::State &state) { fd_reader<fdread_hexdump>(state, hex_file()); }
void BM_ReadHexdump(benchmark::State &state) { stdio_reader<read_hexdump>(state, hex_file()); }
void BM_FdreadAsciidump(benchmark::State &state) {
    fd_reader<fdread_asciidump>(state, ascii_file());
}
void BM_ReadAsciidump(benchmark::State &state) {
    stdio_reader<read_asciidump>(state, ascii_file());
}

BENCHMARK(BM_HexdumpString)->Name("hexwrite:hexdump_string");
BENCHMARK(BM_Fdhexdump)->Name("hexwrite:fdhexdump");
BENCHMARK(BM_Hexdump)->Name("hexwrite:hexdump");
BENCHMARK(BM_Memcpy)->Name("hexwrite:memcpy");
BENCHMARK(BM_FdreadHexdump)->Name("hexread:fdread_hexdump");
BENCHMARK(BM_ReadHexdump)->Name("hexread:read_hexdump");
BENCHMARK(BM_Memcpy)->Name("hexread:memcpy");
BENCHMARK(BM_Asciistring)->Name("asciiwrite:asciistring");
BENCHMARK(BM_Fdasciidump)->Name("asciiwrite:fdasciidump");
BENCHMARK(BM_Asciidump)->Name("asciiwrite:asciidump");
BENCHMARK(BM_Memcpy)->Name("asciiwrite:memcpy");
BENCHMARK(BM_FdreadAsciidump)->Name("asciiread:fdread_asciidump");
BENCHMARK(BM_ReadAsciidump)->Name("asciiread:read_asciidump");
BENCHMARK(BM_Memcpy)->Name("asciiread:memcpy");

}  // namespace

int main(int argc, char **argv) {
    return benchsupport::ratio_main(
        argc, argv,
        {"hexdump_string", "fdhexdump", "hexdump", "fdread_hexdump", "read_hexdump",
         "asciistring", "fdasciidump", "asciidump", "fdread_asciidump", "read_asciidump"});
}
