// A scratch directory made for one test and removed with everything in it.
#ifndef TEST_SUPPORT_SCRATCH_DIR_H
#define TEST_SUPPORT_SCRATCH_DIR_H

#include <string>

namespace testsupport {

class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::string &path() const { return path_; }
    // path() + "/" + name
    std::string file(const std::string &name) const;

  private:
    std::string path_;
};

// Whole contents of a file ("" when it cannot be read).
std::string read_file(const std::string &path);
// Writes (replaces) a file.
void write_file(const std::string &path, const std::string &contents);
// Replaces a file that a running process may read at any moment: the new
// contents go to a file beside it, renamed over it, so a reader sees the
// old file or the new one, never a half-written one.
void replace_file(const std::string &path, const std::string &contents);

}  // namespace testsupport

#endif
