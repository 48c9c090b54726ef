#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "basalt.h"
#include "kitbag.h"
#include "scratch_dir.h"

namespace {

// The path of the loaded libbasalt, a real shared library to load again.
std::string basalt_path() {
    Dl_info info{};
    dladdr(reinterpret_cast<void *>(&newtbl), &info);
    return info.dli_fname ? info.dli_fname : "";
}

}  // namespace

TEST(StdDlopen, BaseNameLooksOnlyUnderTheInstallationLib) {
    testsupport::ScratchDir root;
    std::filesystem::create_directories(root.file("lib"));
    // A link, not a copy: the same library loaded twice from two files would
    // duplicate its globals.
    std::filesystem::create_symlink(basalt_path(), root.file("lib/libprobe.so.3"));
    setenv("KORVANEL", root.path().c_str(), 1);

    void *h = std_dlopen(const_cast<char *>("probe"));
    EXPECT_NE(h, nullptr) << dlerror();
    if (h) dlclose(h);
    // Without the ".so.3" file under lib/ nothing is found.
    EXPECT_EQ(std_dlopen(const_cast<char *>("absent")), nullptr);
    unsetenv("KORVANEL");
}

TEST(StdDlopen, AbsolutePathIsUsedAsIs) {
    std::string path = basalt_path();
    void *h = std_dlopen(path.data());
    EXPECT_NE(h, nullptr);
    if (h) dlclose(h);
    EXPECT_EQ(std_dlopen(const_cast<char *>("/nonexistent/libx.so.3")), nullptr);
}

TEST(ExecName, IsTheRunningProgram) {
    std::string name = getexecname();
    EXPECT_EQ(name, std::filesystem::canonical("/proc/self/exe").string());
    EXPECT_EQ(getexecname(), getexecname());  // cached
}

TEST(HostName, CutAtFirstDot) {
    char buf[256];
    ASSERT_EQ(my_hostname(buf), 0);
    EXPECT_NE(buf[0], '\0');
    EXPECT_EQ(std::strchr(buf, '.'), nullptr);
}
