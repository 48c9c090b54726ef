// Small RAII helpers shared by the file tests and the directory readers.
#ifndef BASALT_FILESYS_PRIVATE_H
#define BASALT_FILESYS_PRIVATE_H

#include <dirent.h>

#include <cerrno>
#include <cstddef>
#include <memory>

namespace basalt {

// Working buffers for paths hold this many bytes.
constexpr std::size_t kPathBuffer = 4096;

// Puts errno back, on leaving the scope, as it was on entering it.
class ErrnoKeeper {
  public:
    ErrnoKeeper() : saved_(errno) {}
    ~ErrnoKeeper() { errno = saved_; }
    ErrnoKeeper(const ErrnoKeeper &) = delete;
    ErrnoKeeper &operator=(const ErrnoKeeper &) = delete;

  private:
    int saved_;
};

struct DirCloser {
    void operator()(DIR *dir) const { closedir(dir); }
};
// An open directory stream, closed with its owner.
using DirStream = std::unique_ptr<DIR, DirCloser>;

}  // namespace basalt

#endif
