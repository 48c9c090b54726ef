#include "scratch_dir.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testsupport {

ScratchDir::ScratchDir() {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/korvanel-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string ScratchDir::file(const std::string &name) const {
    return path_ + "/" + name;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

void replace_file(const std::string &path, const std::string &contents) {
    const std::string temporary = path + ".new";
    write_file(temporary, contents);
    std::filesystem::rename(temporary, path);
}

std::vector<FarFile> far_files(const ScratchDir &dir) {
    const std::vector<FarFile> files = {
        {dir.file("dated"), 5, 2208988800},
        {dir.file("big"), std::int64_t{3} << 30, 1700000000},
    };
    write_file(files[0].path, "12345");
    const int fd = open(files[1].path.c_str(), O_CREAT | O_WRONLY | O_LARGEFILE, 0644);
    if (fd < 0) return {};
    const bool sparse = ftruncate64(fd, files[1].size) == 0;
    close(fd);
    if (!sparse) return {};
    for (const FarFile &f : files) {
        const std::string touch = "touch -d @" + std::to_string(f.mtime) + " '" + f.path + "'";
        if (std::system(touch.c_str()) != 0) return {};
    }
    return files;
}

}  // namespace testsupport
