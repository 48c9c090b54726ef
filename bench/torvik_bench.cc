// The segment directory writer and reader against the plain system calls:
//
//   put:torvik       / put:write_osync  one 512-byte `b` packet appended per
//                                       iteration; the peer formats the same
//                                       header and writes header, body and
//                                       newline with one write(2) on a file
//                                       opened O_SYNC|O_APPEND
//   read:torvik      / read:read        every packet of a directory of 512-byte
//                                       packets read back with torvikreap; the
//                                       peer reads the same files in 1 MB
//                                       chunks (bytes/s in the table)
//   read_cold:torvik / read_cold:read  the same with the files dropped from
//                                       the page cache before each pass
//                                       (posix_fadvise), so that both read
//                                       from the disk
//   seek_time:torvikafter, seek_time:torvikseek / seek_time:readdir
//                                       positioning by time and by packet id in
//                                       a directory of 1,000 segment files; the
//                                       peer lists that directory once
//
// The files live in a scratch directory under $TMPDIR (or /var/tmp) made
// once per run and removed at the end.
#include <benchmark/benchmark.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/ratio_main.h"
#include "torvik.h"

namespace {

namespace fs = std::filesystem;

constexpr int kBody = 512;
constexpr int kReadPackets = 20000;  // about 11 MB to read back
constexpr int kReadPerFile = 5000;
constexpr int kSegments = 1000;      // files of the positioning directory
constexpr double kBaseTime = 1700000000.0;
char kName[] = "AK_BRW_BHZ";

std::string body() {
    std::string s(kBody, '\0');
    for (int i = 0; i < kBody; i++) s[i] = static_cast<char>(i * 37 + 11);
    return s;
}

int open_dir(const std::string &dir, const char *mode) {
    return torvikopen(const_cast<char *>(dir.c_str()), const_cast<char *>(mode));
}

// Writes count packets into a new segment directory, perfile to a file.
void fill(const std::string &dir, int count, int perfile, double step) {
    fs::create_directory(dir);
    int orb = open_dir(dir, "b");
    if (orb < 0) std::abort();
    torvikset(orb, TORVIK_MAXPKTS, perfile, 0);
    std::string b = body();
    for (int i = 0; i < count; i++)
        if (torvikput(orb, kName, kBaseTime + i * step, b.data(), kBody) != 0) std::abort();
    torvikclose(orb);
}

std::vector<std::string> files_of(const std::string &dir) {
    std::vector<std::string> paths;
    for (const auto &entry : fs::directory_iterator(dir)) paths.push_back(entry.path().string());
    return paths;
}

class Scratch {
  public:
    Scratch() {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp ? tmp : "/var/tmp") +
                              "/torvik-bench-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        root_ = pattern;
        fs::create_directory(put_dir());
        read_dir_ = root_ + "/read";
        fill(read_dir_, kReadPackets, kReadPerFile, 0.025);
        for (const std::string &path : files_of(read_dir_)) read_bytes_ += fs::file_size(path);
        seek_dir_ = root_ + "/seek";
        fill(seek_dir_, 2 * kSegments, 2, 1.0);
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;

    std::string put_dir() const { return root_ + "/put"; }
    std::string osync_file() const { return root_ + "/osync"; }
    const std::string &read_dir() const { return read_dir_; }
    const std::string &seek_dir() const { return seek_dir_; }
    std::size_t read_bytes() const { return read_bytes_; }

  private:
    std::string root_, read_dir_, seek_dir_;
    std::size_t read_bytes_ = 0;
};

Scratch &scratch() {
    static Scratch s;
    return s;
}

// ---- put ----

double put_time = kBaseTime;

void BM_PutTorvik(benchmark::State &state) {
    int orb = open_dir(scratch().put_dir(), "b");
    if (orb < 0) {
        state.SkipWithError("cannot open the directory");
        return;
    }
    std::string b = body();
    std::size_t bytes = 0;
    for (auto _ : state) {
        put_time += 0.025;
        if (torvikput(orb, kName, put_time, b.data(), kBody) != 0) {
            state.SkipWithError("torvikput failed");
            break;
        }
        bytes += kBody;
    }
    torvikclose(orb);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void BM_PutWriteOsync(benchmark::State &state) {
    int fd = open(scratch().osync_file().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_SYNC, 0664);
    if (fd < 0) {
        state.SkipWithError("cannot open the file");
        return;
    }
    std::string b = body();
    std::vector<char> packet(512 + kBody + 1);
    std::size_t bytes = 0;
    double time = kBaseTime;
    for (auto _ : state) {
        time += 0.025;
        int n = std::snprintf(packet.data(), 512, "%s %s %s %d %.7f\n", "#orb", "b", kName, kBody,
                              time);
        std::memcpy(packet.data() + n, b.data(), kBody);
        packet[static_cast<std::size_t>(n) + kBody] = '\n';
        std::size_t length = static_cast<std::size_t>(n) + kBody + 1;
        if (write(fd, packet.data(), length) != static_cast<ssize_t>(length)) {
            state.SkipWithError("write failed");
            break;
        }
        bytes += kBody;
    }
    close(fd);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

// ---- read ----

// Drops the files' pages from the page cache (they are clean: the writer
// synced them), outside the timing.
void drop_cache(benchmark::State &state, const std::vector<std::string> &files) {
    state.PauseTiming();
    for (const std::string &path : files) {
        int fd = open(path.c_str(), O_RDONLY);
        if (fd >= 0) {
            posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
            close(fd);
        }
    }
    state.ResumeTiming();
}

void BM_ReadTorvik(benchmark::State &state, bool cold) {
    const std::string &dir = scratch().read_dir();
    std::vector<std::string> files = files_of(dir);
    char *packet = nullptr;
    int bufsize = 0;
    for (auto _ : state) {
        if (cold) drop_cache(state, files);
        int orb = open_dir(dir, "r");
        int count = 0, pktid, nbytes;
        char srcname[64];
        double time;
        while (torvikreap(orb, &pktid, srcname, &time, &packet, &nbytes, &bufsize) == 0) {
            benchmark::DoNotOptimize(packet);
            count++;
        }
        torvikclose(orb);
        if (count != kReadPackets) {
            state.SkipWithError("wrong packet count");
            break;
        }
    }
    std::free(packet);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(scratch().read_bytes()));
}

void BM_ReadRead(benchmark::State &state, bool cold) {
    std::vector<std::string> files = files_of(scratch().read_dir());
    std::vector<char> buf(std::size_t{1} << 20);
    for (auto _ : state) {
        if (cold) drop_cache(state, files);
        std::size_t bytes = 0;
        for (const std::string &path : files) {
            int fd = open(path.c_str(), O_RDONLY);
            ssize_t n;
            while ((n = read(fd, buf.data(), buf.size())) > 0) bytes += static_cast<std::size_t>(n);
            close(fd);
        }
        benchmark::DoNotOptimize(buf.data());
        if (bytes != scratch().read_bytes()) {
            state.SkipWithError("wrong byte count");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(scratch().read_bytes()));
}

// ---- positioning ----

// Targets spread over the directory so that every call opens another file.
int target(int i) { return static_cast<int>((static_cast<unsigned>(i) * 7919U) % (2 * kSegments)); }

void BM_SeekAfter(benchmark::State &state) {
    int orb = open_dir(scratch().seek_dir(), "r");
    int i = 0;
    for (auto _ : state) {
        int id = target(i++);
        // Half a second before packet id: the answer is packet id.
        if (torvikafter(orb, kBaseTime + id - 0.5) != id) {
            state.SkipWithError("torvikafter went wrong");
            break;
        }
    }
    torvikclose(orb);
}

void BM_SeekId(benchmark::State &state) {
    int orb = open_dir(scratch().seek_dir(), "r");
    int i = 0;
    for (auto _ : state) {
        int id = target(i++);
        if (torvikseek(orb, id) != id) {
            state.SkipWithError("torvikseek went wrong");
            break;
        }
    }
    torvikclose(orb);
}

void BM_SeekReaddir(benchmark::State &state) {
    std::string dir = scratch().seek_dir();
    for (auto _ : state) {
        DIR *d = opendir(dir.c_str());
        int count = 0;
        while (readdir(d) != nullptr) count++;
        closedir(d);
        if (count != kSegments + 2) {
            state.SkipWithError("wrong file count");
            break;
        }
    }
}

}  // namespace

BENCHMARK(BM_PutTorvik)->Name("put:torvik")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PutWriteOsync)->Name("put:write_osync")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ReadTorvik, warm, false)->Name("read:torvik")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadRead, warm, false)->Name("read:read")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadTorvik, cold, true)->Name("read_cold:torvik")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadRead, cold, true)->Name("read_cold:read")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SeekAfter)->Name("seek_time:torvikafter")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SeekId)->Name("seek_time:torvikseek")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SeekReaddir)->Name("seek_time:readdir")->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv) {
    scratch();  // the files are made before any timing
    return benchsupport::ratio_main(argc, argv, {"torvik", "torvikafter", "torvikseek"});
}
