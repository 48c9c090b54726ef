// A scratch directory made for one test and removed with everything in it.
#ifndef TEST_SUPPORT_SCRATCH_DIR_H
#define TEST_SUPPORT_SCRATCH_DIR_H

#include <cstdint>
#include <string>
#include <vector>

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

// A regular file that a 32-bit time_t or off_t cannot describe.
struct FarFile {
    std::string path;
    std::int64_t size;   // bytes
    std::int64_t mtime;  // modification time, epoch seconds
};
// Makes two such files in dir: "dated", of 5 bytes, dated
// 2040-01-01 00:00:00 UTC, and "big", a sparse file of 3 GiB dated
// 2023-11-14 22:13:20 UTC. The dates are set by touch(1), so that they do
// not pass through the test's own time_t. Empty when the file system refuses
// either file or its date.
std::vector<FarFile> far_files(const ScratchDir &dir);

}  // namespace testsupport

#endif
