#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "basalt.h"
#include "child.h"
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

// The installation root is fixed for the life of a process once found, so
// each root is tried in a child of its own.
TEST(StdDlopen, BaseNameLooksOnlyUnderTheInstallationLib) {
    testsupport::ScratchDir root;
    std::filesystem::create_directories(root.file("lib"));
    // A link, not a copy: the same library loaded twice from two files would
    // duplicate its globals.
    std::filesystem::create_symlink(basalt_path(), root.file("lib/libprobe.so.3"));
    std::filesystem::create_symlink(basalt_path(), root.file("lib/libplain.so"));
    std::filesystem::create_symlink(basalt_path(), root.file("libtop.so.3"));

    testsupport::ChildResult r = testsupport::run_in_child([&] {
        setenv("KORVANEL", root.path().c_str(), 1);
        void *h = std_dlopen(const_cast<char *>("probe"));
        std::printf("%d", h != nullptr && dlsym(h, "getkorvanel") == dlsym(RTLD_DEFAULT, "getkorvanel"));
        if (h) dlclose(h);
        // Only lib/lib<name>.so.3 is tried.
        for (const char *name : {"absent", "plain", "top", "libprobe.so.3", "probe.so.3"})
            std::printf("%d", std_dlopen(const_cast<char *>(name)) == nullptr);
    });
    EXPECT_EQ(r.out, "111111");
}

// The root is the one getkorvanel found, the compiled default included: an
// empty root looks in /lib.
TEST(StdDlopen, BaseNameFollowsTheRootGetkorvanelFound) {
    testsupport::ChildResult r = testsupport::run_in_child([] {
        setenv("KORVANEL", "/nonexistent-root", 1);
        (void)getkorvanel();
        // A later change of the variable does not move the root.
        testsupport::ScratchDir other;
        std::filesystem::create_directories(other.file("lib"));
        std::filesystem::create_symlink(basalt_path(), other.file("lib/libprobe.so.3"));
        setenv("KORVANEL", other.path().c_str(), 1);
        std::printf("%d", std_dlopen(const_cast<char *>("probe")) == nullptr);
    });
    EXPECT_EQ(r.out, "1");
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
