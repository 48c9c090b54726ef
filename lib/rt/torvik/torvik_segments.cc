// Segment directories: file names, listing and picking files, moving from
// file to file, writing packets as a ring of files, and the repair of a
// directory a writer left unfinished.
#include "_torvik.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "alloc_private.h"
#include "dumps.h"
#include "elog.h"
#include "fdio.h"
#include "filetests.h"
#include "input_private.h"

char *Lastpacket = const_cast<char *>("#orb b LastSegmentPacket 0 ");

namespace {

using torvik::kMarkerName;

constexpr int kOpenWriting = O_RDWR | O_CREAT | O_APPEND | O_SYNC | O_CLOEXEC;
constexpr mode_t kFileMode = 0664;

using Owned = std::unique_ptr<char, torvik::FreeDeleter>;

// The leading decimal integer of s (like atoi, clamped to an int).
int leading_int(const char *s) {
    while (*s == ' ' || *s == '\t') s++;
    bool negative = false;
    if (*s == '+' || *s == '-') negative = *s++ == '-';
    long long value = 0;
    while (*s >= '0' && *s <= '9') {
        value = value * 10 + (*s++ - '0');
        if (value > INT_MAX) value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

struct Segment {
    std::string name;
    int time;
    int pktid;
};

// True for a regular file (links followed) of the directory.
bool regular_entry(int dirfd, const struct dirent64 *entry) {
    if (entry->d_type == DT_REG) return true;
    if (entry->d_type != DT_UNKNOWN && entry->d_type != DT_LNK) return false;
    struct stat64 st;
    return fstatat64(dirfd, entry->d_name, &st, 0) == 0 && S_ISREG(st.st_mode);
}

// The segment files of dir: its regular files whose names begin with a
// digit 1 to 9, ordered by name time and then first packet id, so that
// files rolled within one second keep their order (and by name where both
// agree). The directory is read afresh on every call.
std::vector<Segment> list_segments(const char *dir) {
    std::vector<Segment> segments;
    if (dir == nullptr) return segments;
    DIR *stream = opendir(dir);
    if (stream == nullptr) return segments;
    int dirfd = ::dirfd(stream);
    while (const struct dirent64 *entry = readdir64(stream)) {
        const char *name = entry->d_name;
        if (name[0] < '1' || name[0] > '9' || !regular_entry(dirfd, entry)) continue;
        Segment segment{name, 0, 0};
        torvik_parse_filename(const_cast<char *>(name), &segment.time, &segment.pktid);
        segments.push_back(std::move(segment));
    }
    closedir(stream);
    std::sort(segments.begin(), segments.end(), [](const Segment &a, const Segment &b) {
        if (a.time != b.time) return a.time < b.time;
        if (a.pktid != b.pktid) return a.pktid < b.pktid;
        return a.name < b.name;
    });
    return segments;
}

std::string join(const char *dir, const std::string &name) {
    std::string path(dir);
    if (path.empty() || path.back() != '/') path += '/';
    return path + name;
}

char *new_string(const std::string &s) { return TORVIK_STRDUP(s.c_str(), "filename"); }

// Size of a file counted as the directory total counts it.
double counted_size(const char *path) { return static_cast<double>(filesize(path)); }

// Drops whatever is still queued for the handle's descriptor and cuts the
// file back to `size`, so that a packet that was not written whole leaves
// nothing behind. The handle keeps a descriptor on the same file.
void discard_packet(Torvikfile *atorvik, off_t size) {
    int fd = atorvik->fd;
    int keep = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (keep < 0 || null < 0) {
        if (keep >= 0) close(keep);
        if (null >= 0) close(null);
        fdflush(fd);  // nothing better: let the next flush try again
        return;
    }
    // Writes to a read-only descriptor fail, so closing drops the queue.
    dup2(null, fd);
    close(null);
    fdclose(fd);
    if (ftruncate(keep, size) != 0)
        elog_log(1, "failed to remove a partly written packet from %s", atorvik->filename);
    atorvik->fd = keep;
}

// ---- Repair ----

// Positioned reads of one file, for the repair: a file a writer left
// behind is read, never mapped, so that nothing can fault on it.
class FileBytes {
  public:
    explicit FileBytes(const char *path) : fd_(open(path, O_RDONLY | O_CLOEXEC)) {
        struct stat64 st;
        if (fd_ >= 0 && fstat64(fd_, &st) == 0) size_ = static_cast<long long>(st.st_size);
    }
    ~FileBytes() {
        if (fd_ >= 0) close(fd_);
    }
    FileBytes(const FileBytes &) = delete;
    FileBytes &operator=(const FileBytes &) = delete;

    long long size() const { return size_; }
    int fd() const { return fd_; }

    // Reads [pos, pos + n) as far as the file goes; the count read.
    std::size_t read(long long pos, char *buf, std::size_t n) const {
        std::size_t done = 0;
        while (done < n) {
            ssize_t got = pread64(fd_, buf + done, n - done, static_cast<off64_t>(pos) + done);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            done += static_cast<std::size_t>(got);
        }
        return done;
    }

  private:
    int fd_;
    long long size_ = 0;
};

// What the end of a segment file needs before the marker.
struct Tail {
    bool marker = false;  // it ends with a recognised marker already
    int body_bytes = 0;   // bytes that complete the body of its last raw packet
    bool open = false;    // it ends inside a line of its own, after its packets
    long long torn = -1;  // that line is a header cut short: its offset
};

constexpr long long kLeastHeader = 13;  // bytes a marker candidate needs

// True when the file ends with a recognised marker: its last line that
// begins with a raw header (the first line included), read from the end.
bool ends_with_marker(const FileBytes &file) {
    const long long size = file.size();
    constexpr std::size_t kBlock = 16384;
    char block[kBlock + 8];
    for (long long hi = size; hi > 0;) {
        const long long lo = std::max(0LL, hi - static_cast<long long>(kBlock));
        const long long from = lo > 0 ? lo - 1 : 0;  // the byte before lo too
        const auto got = static_cast<long long>(
            file.read(from, block, static_cast<std::size_t>(hi + 7 - from)));
        for (long long i = hi - 1; i >= lo; i--) {
            if (size - i < kLeastHeader || (i > 0 && (i - 1 - from >= got || block[i - 1 - from] != '\n')) ||
                got - (i - from) < 7 || std::memcmp(block + (i - from), "#orb b ", 7) != 0)
                continue;
            const std::size_t length = std::strlen(Lastpacket);
            char head[64];
            return size - i >= static_cast<long long>(length) &&
                   file.read(i, head, length) == length && std::memcmp(head, Lastpacket, length) == 0;
        }
        hi = lo;
    }
    return false;
}

// Looks at the end of a segment file. A file that does not end with a
// marker is read forward as a reader reads it, stepping over raw bodies by
// their sizes (so that nothing in a body is taken for a header), to find
// how it ends:
// - in the body of a raw packet: the body is to be completed with blanks
//   and two newlines (as many bytes as it lacks plus nine), so that the
//   marker stands on a line of its own;
// - inside a line after its packets: that line is to be ended with a
//   newline and, when it would read as a header (a header cut short, the
//   first one included), made a comment first, so that no reader waits on
//   it or takes the marker into it;
// - at the end of a raw body whose trailer is missing: a newline is to
//   be added, so that the marker stands on a line of its own;
// - at the end of a line: the marker follows at once.
Tail inspect_tail(const char *filename) {
    Tail tail;
    FileBytes file(filename);
    const long long size = file.size();
    if (size <= 0) return tail;
    if (ends_with_marker(file)) {
        tail.marker = true;
        return tail;
    }
    torvik::Input input;
    input.reset(file.fd(), 0);
    char line[1024];
    for (;;) {
        const std::int64_t at = input.tell();
        const int n = input.gets(line, sizeof line);
        if (n == -2) {
            if (at < size) {
                tail.open = true;
                char start[5];
                if (file.read(at, start, sizeof start) == sizeof start && std::memcmp(start, "#orb", 4) == 0)
                    tail.torn = at;
            }
            return tail;
        }
        if (n < 0) return tail;
        char representation[16], srcname[64];
        double time;
        int nbytes;
        if (n <= 4 || std::strncmp(line, "#orb", 4) != 0 ||
            torvik_parse_line(line, representation, srcname, &time, &nbytes) != 0 ||
            representation[0] != 'b' || nbytes <= 0)
            continue;
        const std::int64_t newline = input.tell() - 1;
        const std::int64_t end = newline + nbytes;  // the body's last byte
        if (end >= size) {
            tail.body_bytes = static_cast<int>(std::min<long long>(end - size + 10, INT_MAX));
            return tail;
        }
        if (end + 1 == size) {
            // Whole, but its trailer is missing: the marker needs a line.
            tail.open = true;
            return tail;
        }
        input.seek(end + 1, false);
    }
}

// Appends what the tail needs and a marker dated marker_time to a segment
// file a writer left unfinished. The number of steps that failed.
int finish_file(const char *file, const Tail &tail, double marker_time) {
    int failures = 0;
    if (tail.torn >= 0) {
        elog_log(0, "commenting out the header cut short at offset %lld in segment file %s", tail.torn,
                 file);
        int fd = open(file, O_WRONLY | O_SYNC | O_CLOEXEC);
        if (fd < 0 || pwrite64(fd, "#cut", 4, static_cast<off64_t>(tail.torn)) != 4) {
            elog_log(1, "failed to comment out the header cut short in segment file %s", file);
            failures++;
        }
        if (fd >= 0) close(fd);
    }
    int fd = open(file, kOpenWriting, kFileMode);
    if (fd >= 0) {
        const int addbytes = tail.body_bytes > 0 ? tail.body_bytes : tail.open ? 1 : 0;
        if (addbytes > 0) {
            elog_log(0, "adding %d extra bytes to segment file %s", addbytes, file);
            std::string pad(static_cast<std::size_t>(addbytes), ' ');
            pad.back() = '\n';
            if (addbytes > 2) pad[pad.size() - 2] = '\n';
            if (fdwrite(fd, pad.data(), addbytes) != addbytes) {
                elog_log(1, "failed to append extra %d bytes to segment file %s", addbytes, file);
                failures++;
            }
        }
        char marker[128];
        int length = std::snprintf(marker, sizeof marker, "%s %s %s %d %.7f\n", "#orb", "b",
                                   kMarkerName, 0, marker_time);
        if (fdwrite(fd, marker, length) != length) {
            elog_log(1, "failed to append final last packet to segment file %s", file);
            failures++;
        }
    }
    if (fd < 0 || fdclose(fd) != 0) {
        elog_log(1, "failed to close segment file %s", file);
        failures++;
    }
    return failures;
}

struct WriterState {
    int pktid;
    double maxtime;
    double time;
    int nbytes;
};

}  // namespace

extern "C" {

void torvik_parse_filename(char *filename, int *time, int *pktid) {
    *time = 0;
    *pktid = 0;
    if (filename == nullptr) return;
    const char *base = std::strrchr(filename, '/');
    base = base != nullptr ? base + 1 : filename;
    *time = leading_int(base);
    const char *dot = std::strrchr(base, '.');
    if (dot != nullptr) *pktid = leading_int(dot + 1);
}

Tbl *segmentfiles(char *dir) {
    Tbl *names = newtbl(0);
    for (const Segment &segment : list_segments(dir))
        pushtbl(names, TORVIK_STRDUP(segment.name.c_str(), "segment name"));
    return names;
}

int torvikopenfile(Torvikfile *atorvik, char *filename) {
    int time, pktid;
    torvik_parse_filename(filename, &time, &pktid);
    if (atorvik->fd >= 0 && atorvik->filename != nullptr &&
        std::strcmp(filename, atorvik->filename) == 0) {
        torvik::Input::of(atorvik).seek(0, false);
        atorvik->first_pktid = pktid;
        atorvik->pktid = pktid - 1;
        return 0;
    }
    if (atorvik->fd >= 0 && fdclose(atorvik->fd) != 0)
        elog_log(1, "failed to properly close segment file %s",
                 atorvik->filename != nullptr ? atorvik->filename : "Unknown file");
    atorvik->fd = -1;
    // The name may be the handle's own path: copy it before replacing.
    char *path = TORVIK_STRDUP(filename, "atorvik->filename");
    int fd = atorvik->flags.write ? open(path, kOpenWriting, kFileMode)
                                  : open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) elog_log(1, "Can't open '%s' to write", path);
    std::free(atorvik->filename);
    atorvik->filename = path;
    clrtbl(atorvik->index, nullptr);
    if (fd < 0) {
        atorvik->pktid = -1;
        return -1;
    }
    atorvik->fd = fd;
    torvik::Input::of(atorvik).reset(fd, 0);
    atorvik->first_pktid = pktid;
    atorvik->pktid = pktid - 1;
    return 0;
}

char *filebytime(Torvikfile *atorvik, double time) {
    if (atorvik->dirname == nullptr) return new_string(atorvik->filename ? atorvik->filename : "");
    std::vector<Segment> segments = list_segments(atorvik->dirname);
    if (segments.empty()) return nullptr;
    const Segment *pick = &segments.front();
    for (const Segment &segment : segments)
        if (segment.time <= time) pick = &segment;
    return new_string(join(atorvik->dirname, pick->name));
}

char *nextfile(Torvikfile *atorvik) {
    const char *current = atorvik->filename != nullptr ? atorvik->filename : "";
    if (atorvik->dirname == nullptr) return new_string(current);
    int time, pktid;
    torvik_parse_filename(const_cast<char *>(current), &time, &pktid);
    for (const Segment &segment : list_segments(atorvik->dirname))
        if (segment.time > time || (segment.time == time && segment.pktid > pktid))
            return new_string(join(atorvik->dirname, segment.name));
    return new_string(current);
}

char *filebypktid(Torvikfile *atorvik, int pktid) {
    if (atorvik->dirname == nullptr) {
        if (pktid < 0) return nullptr;
        return new_string(atorvik->filename ? atorvik->filename : "");
    }
    std::vector<Segment> segments = list_segments(atorvik->dirname);
    if (segments.empty()) return nullptr;
    for (std::size_t i = 0; i + 1 < segments.size(); i++)
        if (segments[i].pktid <= pktid && segments[i + 1].pktid > pktid)
            return new_string(join(atorvik->dirname, segments[i].name));
    if (pktid >= segments.back().pktid)
        return new_string(join(atorvik->dirname, segments.back().name));
    return nullptr;
}

char *torvikfilename(Torvikfile *atorvik, double time, int pktid) {
    char name[400];  // room for any double printed whole
    std::snprintf(name, sizeof name, "%.0f.%d", time, pktid);
    if (atorvik->dirname == nullptr) return new_string(name);
    return new_string(join(atorvik->dirname, name));
}

int advancefile(Torvikfile *atorvik) {
    Owned next(nextfile(atorvik));
    if (atorvik->filename != nullptr && std::strcmp(next.get(), atorvik->filename) == 0)
        return -1;
    return torvikopenfile(atorvik, next.get()) == 0 ? 0 : -1;
}

double maxtime(Torvikfile *atorvik) {
    Owned newest(filebytime(atorvik, 1.0e35));
    if (newest == nullptr) return 0.0;
    if (torvikopenfile(atorvik, newest.get()) != 0) return 0.0;
    int time, first;
    torvik_parse_filename(newest.get(), &time, &first);
    int pktid = torvik_newest(atorvik);
    int slot = pktid - atorvik->first_pktid;
    if (pktid >= 0 && slot >= 0 && slot < maxtbl(atorvik->index)) {
        auto *entry = static_cast<TorvikPkt *>(gettbl(atorvik->index, slot));
        // Never so far below the file's own name time that the next file
        // (named one second after this time at the least) would sort
        // before it: a file may hold packets older than its name (a writer
        // that went back to packets it had written before, after a
        // restart), and the next file must still be read after it.
        if (!torvik::is_marker(entry->srcname))
            return std::max(entry->time, static_cast<double>(time) - 1.0);
    }
    return static_cast<double>(time) + atorvik->segment_period;
}

int torvik_new_segment(Torvikfile *atorvik, double time) {
    if (atorvik->dirname == nullptr) return 0;
    if (atorvik->flags.newsegment) {
        atorvik->flags.newsegment = 0;
        return 1;
    }
    if (time - atorvik->maxtime < atorvik->max_time_gap &&
        time >= static_cast<double>(atorvik->first_time) + atorvik->segment_period)
        return 1;
    long long span = static_cast<long long>(atorvik->pktid) - atorvik->first_pktid;
    if (span >= atorvik->maxpkts) return 1;
    if (atorvik->segment_bytes >= atorvik->max_segment_size) {
        atorvik->segment_bytes = 0;
        return 1;
    }
    if (span >= atorvik->maxpktid) {
        if (std::trunc(time) > std::trunc(atorvik->time) || atorvik->count >= atorvik->maxskip) {
            atorvik->count = 0;
            return 1;
        }
        atorvik->count++;
        return 0;
    }
    return 0;
}

int finish_segment(Torvikfile *atorvik) {
    int result = 0;
    if (atorvik->fd >= 0 && atorvik->flags.written) {
        if (torvik_write_hdr(atorvik, const_cast<char *>(kMarkerName), atorvik->maxtime, 0) != 0) {
            elog_log(1, "failed to write final last packet to segment file %s", atorvik->filename);
            result = -1;
        } else if (fdflush(atorvik->fd) <= 0) {
            elog_log(1, "Failed to write out packet #%d", atorvik->pktid);
            result = -1;
        }
    }
    atorvik->flags.written = 0;
    return result;
}

void torvikcleanup(Torvikfile *atorvik) {
    if (atorvik->dirname == nullptr) return;
    std::vector<Segment> segments = list_segments(atorvik->dirname);
    std::vector<std::string> paths;
    double total = 0.0;
    for (const Segment &segment : segments) {
        paths.push_back(join(atorvik->dirname, segment.name));
        total += counted_size(paths.back().c_str());
    }
    for (std::size_t i = 0; total > atorvik->maxsize && paths.size() - i > 1; i++) {
        total -= counted_size(paths[i].c_str());
        if (unlink(paths[i].c_str()) != 0)
            elog_log(1, "Can't remove %s", paths[i].c_str());
        else if (atorvik->flags.verbose > 0)
            elog_debug(0, "Removed %s", paths[i].c_str());
    }
}

int torvikput(int orb, char *srcname, double time, char *packet, int nbytes) {
    Torvikfile *atorvik = fd2torvik(orb, nullptr);
    if (atorvik == nullptr) return -1;
    if (!std::isfinite(time)) {
        // It could name no segment file and no reader could place it.
        elog_log(0, "packet from %s has no usable time; not written", srcname);
        return -1;
    }
    if (torvik_new_segment(atorvik, time)) {
        finish_segment(atorvik);
        torvikcleanup(atorvik);
        double name_time;
        if (time - atorvik->maxtime < atorvik->max_time_gap)
            name_time = atorvik->maxtime + 1 >= time ? atorvik->maxtime + 1 : time;
        else
            name_time = atorvik->maxtime > 0 ? atorvik->maxtime + 1 : time;
        if (atorvik->pktid < 0) atorvik->pktid = 0;
        int pktid = atorvik->pktid;
        Owned name(torvikfilename(atorvik, name_time, pktid));
        if (torvikopenfile(atorvik, name.get()) != 0) {
            // The next put tries this file again, with the same id.
            atorvik->pktid = pktid;
            atorvik->flags.newsegment = 1;
            return -1;
        }
        atorvik->first_time = static_cast<int>(std::clamp(name_time, -2147483648.0, 2147483647.0));
        atorvik->first_pktid = atorvik->pktid;
        torvik::to_end(atorvik);
    }
    int fd = atorvik->fd;
    struct stat64 st;
    off_t before = fstat64(fd, &st) == 0 ? static_cast<off_t>(st.st_size) : -1;
    WriterState saved{atorvik->pktid, atorvik->maxtime, atorvik->time, atorvik->nbytes};
    // A packet that does not reach the file whole is taken back out of it
    // and out of the count, so that the ids of the file stay those a
    // reader gives its packets.
    auto fail = [&] {
        if (before >= 0) discard_packet(atorvik, before);
        atorvik->pktid = saved.pktid;
        atorvik->maxtime = saved.maxtime;
        atorvik->time = saved.time;
        atorvik->nbytes = saved.nbytes;
        return -1;
    };
    if (torvik_write_hdr(atorvik, srcname, time, nbytes) != 0) return fail();
    switch (atorvik->representation[0]) {
    case 'a': fdasciidump(fd, packet, nbytes > 0 ? nbytes : 0); break;
    case 'm':
        if (nbytes > 0) {
            // The text up to its first NUL, and never past the byte count.
            const void *nul = std::memchr(packet, '\0', static_cast<std::size_t>(nbytes));
            int length = nul != nullptr ? static_cast<int>(static_cast<const char *>(nul) - packet)
                                        : nbytes;
            if (length > 0 && fdwrite(fd, packet, length) != length) return fail();
        }
        break;
    case 'x':
        if (nbytes > 0) fdhexdump(fd, packet, nbytes);
        break;
    case 'b':
        if (nbytes > 0 && fdwrite(fd, packet, nbytes) != nbytes) return fail();
        break;
    default: break;
    }
    if (atorvik->representation[0] != 'f' && fdwrite(fd, "\n", 1) != 1) {
        elog_log(1, "failed to write trailing <lf> to fd #%d", fd);
        return fail();
    }
    if (fdflush(fd) <= 0) {
        elog_log(1, "Failed to write out packet #%d", atorvik->pktid);
        return fail();
    }
    atorvik->flags.written = 1;
    long long counted = static_cast<long long>(atorvik->segment_bytes) + (nbytes > 0 ? nbytes : 0) + 128;
    atorvik->segment_bytes = static_cast<int>(std::min<long long>(counted, INT_MAX));
    return 0;
}

int torvikstat(int orb, Tbl **files, double *size) {
    *files = newtbl(0);
    *size = 0.0;
    Torvikfile *atorvik = fd2torvik(orb, nullptr);
    if (atorvik == nullptr) return -1;
    if (atorvik->dirname == nullptr) return 0;
    for (const Segment &segment : list_segments(atorvik->dirname)) {
        std::string path = join(atorvik->dirname, segment.name);
        *size += counted_size(path.c_str());
        pushtbl(*files, new_string(path));
    }
    return 0;
}

int has_last_packet(char *filename, int *addbytes) {
    const Tail tail = inspect_tail(filename);
    *addbytes = tail.body_bytes;
    return tail.marker ? 1 : 0;
}

int torvikcorrect(int orb) {
    Torvikfile *atorvik = fd2torvik(orb, nullptr);
    if (atorvik == nullptr || atorvik->dirname == nullptr) return 0;
    std::vector<Segment> segments = list_segments(atorvik->dirname);
    int repairs = 0;
    double marker_time = 2147483000.0;
    for (auto it = segments.rbegin(); it != segments.rend(); ++it) {
        std::string path = join(atorvik->dirname, it->name);
        char *file = path.data();
        if (is_empty(file)) {
            elog_log(0, "removing empty segment file %s", file);
            repairs++;
            if (unlink(file) != 0) {
                elog_log(1, "failed to remove %s", file);
                repairs++;
            }
        } else if (const Tail tail = inspect_tail(file); !tail.marker) {
            elog_log(0, "adding final last packet to segment file %s", file);
            repairs++;
            repairs += finish_file(file, tail, marker_time - 0.999);
        }
        marker_time = it->time;
    }
    return repairs;
}

}  // extern "C"
