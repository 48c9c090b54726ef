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
