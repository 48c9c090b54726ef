// Methods of the user plug-in library. The plug-in is the loaded libbasalt
// itself, reached through a symbolic link (a link, not a copy: a second copy
// of the library in the process would duplicate its globals). The library's
// state lives for the whole process, so every test runs in a forked child.
#include <gtest/gtest.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "basalt.h"
#include "child.h"
#include "elog_capture.h"
#include "scratch_dir.h"

using testsupport::ChildResult;
using testsupport::out;
using testsupport::ScratchDir;
using testsupport::write_file;

namespace fs = std::filesystem;

namespace {

// The file of the loaded libbasalt.
std::string basalt_path() {
    Dl_info info{};
    dladdr(reinterpret_cast<void *>(&newtbl), &info);
    return info.dli_fname ? fs::canonical(info.dli_fname).string() : "";
}

void *real(const char *name) { return dlsym(RTLD_DEFAULT, name); }

std::string yes(bool b) { return b ? "1" : "0"; }

ChildResult in_child(const std::function<void()> &body) { return testsupport::in_child(body); }

}  // namespace

TEST(UserMethod, FunctionsOfTheLibraryNamedByUserLibrary) {
    ScratchDir scratch;
    const std::string link = scratch.file("libplug.so");
    fs::create_symlink(basalt_path(), link);
    ChildResult r = in_child([&] {
        setenv("USER_LIBRARY", link.c_str(), 1);
        void *a = usermethod("newtbl");
        out(yes(a != nullptr && a == real("newtbl")) + yes(usermethod("newtbl") == a) +
            yes(usermethod("getkorvanel") == real("getkorvanel")) + "\n");
        // A name the library lacks: null, every time.
        out(yes(usermethod("no_such_method_qq") == nullptr) +
            yes(usermethod("no_such_method_qq") == nullptr) + "\n");
        // Null and empty names ask nothing.
        out(yes(usermethod(nullptr) == nullptr) + yes(usermethod("") == nullptr) + "\n");
        out(testsupport::elog_register_text());
    });
    EXPECT_EQ(r.out, "111\n11\n11\n");
}

TEST(UserMethod, DefaultLibraryInTheRootsLibDirectory) {
    ScratchDir scratch;
    fs::create_directories(scratch.file("lib"));
    fs::create_symlink(basalt_path(), scratch.file("lib/libuser.so"));
    ChildResult r = in_child([&] {
        unsetenv("USER_LIBRARY");
        setenv("KORVANEL", scratch.path().c_str(), 1);
        out(yes(usermethod("newarr") == real("newarr")));
    });
    EXPECT_EQ(r.out, "1");
}

TEST(UserMethod, RelativeNameLiesInTheRootsLibDirectory) {
    ScratchDir scratch;
    fs::create_directories(scratch.file("lib"));
    fs::create_symlink(basalt_path(), scratch.file("lib/libsite.so"));
    ChildResult r = in_child([&] {
        setenv("USER_LIBRARY", "libsite.so", 1);
        setenv("KORVANEL", scratch.path().c_str(), 1);
        out(yes(usermethod("newarr") == real("newarr")));
    });
    EXPECT_EQ(r.out, "1");
}

TEST(UserMethod, LibraryThatAppearsLaterIsLoadedThen) {
    ScratchDir scratch;
    const std::string link = scratch.file("libplug.so");
    ChildResult r = in_child([&] {
        setenv("USER_LIBRARY", link.c_str(), 1);
        out(yes(usermethod("newtbl") == nullptr));
        fs::create_symlink(basalt_path(), link);
        out(yes(usermethod("newtbl") == real("newtbl")));
    });
    EXPECT_EQ(r.out, "11");
}

TEST(UserMethod, NothingFromWhatIsNotALoadableLibrary) {
    ScratchDir scratch;
    fs::create_directories(scratch.file("adir"));
    write_file(scratch.file("junk.so"), "not a shared object\n");
    struct Case {
        std::string library;
    };
    const std::vector<Case> cases = {
        {scratch.file("adir")},      // not a regular file
        {scratch.file("junk.so")},   // not a shared object
        {scratch.file("absent.so")}, // not there
    };
    for (const Case &c : cases) {
        ChildResult r = in_child([&] {
            setenv("USER_LIBRARY", c.library.c_str(), 1);
            out(yes(usermethod("newtbl") == nullptr) + yes(usermethod("newarr") == nullptr));
            // No message.
            out(testsupport::elog_register_text());
        });
        EXPECT_EQ(r.out, "11") << c.library;
        EXPECT_EQ(r.err, "") << c.library;
    }
}

TEST(UserMethod, ConcurrentLookups) {
    ScratchDir scratch;
    const std::string link = scratch.file("libplug.so");
    fs::create_symlink(basalt_path(), link);
    ChildResult r = in_child([&] {
        setenv("USER_LIBRARY", link.c_str(), 1);
        const char *names[] = {"newtbl", "newarr", "getkorvanel", "no_such_method_qq"};
        std::vector<int> good(8, 0);
        std::vector<std::thread> threads;
        for (int i = 0; i < 8; i++)
            threads.emplace_back([&, i] {
                int ok = 0;
                for (int k = 0; k < 50; k++) {
                    const char *name = names[(i + k) % 4];
                    void *want = (i + k) % 4 == 3 ? nullptr : real(name);
                    ok += usermethod(name) == want;
                }
                good[i] = ok;
            });
        for (std::thread &t : threads) t.join();
        int total = 0;
        for (int g : good) total += g;
        out(std::to_string(total));
    });
    EXPECT_EQ(r.out, "400");
    EXPECT_EQ(r.err, "");  // no report from a thread checker
}
