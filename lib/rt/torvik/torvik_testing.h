// Helpers shared by the libtorvik tests.
#ifndef TORVIK_TESTING_H
#define TORVIK_TESTING_H

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "torvik.h"

namespace torvik_testing {

inline char *cs(const std::string &s) { return const_cast<char *>(s.c_str()); }

// A string the library made for the caller, freed; if_null when null.
inline std::string take(char *s, const char *if_null = "") {
    std::string text = s != nullptr ? s : if_null;
    std::free(s);
    return text;
}

inline std::string fixed7(double time) {
    char text[64];
    std::snprintf(text, sizeof text, "%.7f", time);
    return text;
}

// A header line, a whole packet and an end-of-segment marker as a writer
// with representation b puts them.
inline std::string raw_header(const std::string &src, int nbytes, double time) {
    return "#orb b " + src + " " + std::to_string(nbytes) + " " + fixed7(time) + "\n";
}
inline std::string raw_packet(const std::string &src, double time, const std::string &body) {
    return raw_header(src, static_cast<int>(body.size()), time) + body + "\n";
}
inline std::string raw_marker(double time) {
    return "#orb b LastSegmentPacket 0 " + fixed7(time) + "\n";
}

// A handle closed at the end of its scope.
class Handle {
  public:
    Handle(const std::string &path, const char *mode)
        : id_(torvikopen(cs(path), const_cast<char *>(mode))) {}
    ~Handle() { close(); }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    int id() const { return id_; }
    Torvikfile *record() const { return fd2torvik(id_, nullptr); }
    int close() {
        int result = id_ > 0 ? torvikclose(id_) : 0;
        id_ = -1;
        return result;
    }
    int put(const std::string &src, double time, const std::string &body) const {
        return torvikput(id_, cs(src), time, const_cast<char *>(body.data()),
                         static_cast<int>(body.size()));
    }

  private:
    int id_;
};

struct Got {
    int result = -99;
    int pktid = -99;
    std::string src;
    double time = 0;
    std::string body;
};

// A reading handle with the caller's buffers, closed at the end of its
// scope.
class Reader {
  public:
    explicit Reader(const std::string &path, const char *mode = "r")
        : id_(torvikopen(const_cast<char *>(path.c_str()), const_cast<char *>(mode))) {}
    ~Reader() {
        if (id_ > 0) torvikclose(id_);
        std::free(buf_);
    }
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;
    int id() const { return id_; }
    int seek(int which) const { return torvikseek(id_, which); }
    int tell() const { return torviktell(id_); }
    Got reap() { return fill(torvikreap(id_, &pktid_, srcname_, &time_, &buf_, &nbytes_, &bufsize_)); }
    Got get(int which) {
        return fill(torvikget(id_, which, &pktid_, srcname_, &time_, &buf_, &nbytes_, &bufsize_));
    }
    char *buf() const { return buf_; }
    int bufsize() const { return bufsize_; }
    int nbytes() const { return nbytes_; }

  private:
    Got fill(int result) {
        Got g;
        g.result = result;
        g.pktid = pktid_;
        if (result == 0) {
            g.src = srcname_;
            g.time = time_;
            g.body.assign(buf_ != nullptr ? buf_ : "", static_cast<std::size_t>(nbytes_));
        }
        return g;
    }
    int id_;
    int pktid_ = -99;
    char srcname_[64] = "";
    double time_ = 0;
    char *buf_ = nullptr;
    int nbytes_ = 0;
    int bufsize_ = 0;
};

// Runs this test binary afresh (in a child made by the caller) on the
// tests that match filter; a fresh process has given no handle yet and
// has not chosen its header form.
[[noreturn]] inline void exec_self(const char *filter) {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) std::exit(3);
    self[n] = '\0';
    std::string option = std::string("--gtest_filter=") + filter;
    execl(self, self, option.c_str(), static_cast<char *>(nullptr));
    std::exit(4);
}

}  // namespace torvik_testing

#endif
