// Trip flags: the per-process and per-program files, the outside calls and
// the bit numbers of the "tripdebug" parameter file.
#include "tripflags.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "elog_capture.h"
#include "kitbag_process.h"
#include "scratch_dir.h"

using testsupport::in_child;
using testsupport::out;
using testsupport::read_file;
using testsupport::ScratchDir;
using testsupport::write_file;

namespace {

// Runs body in a child whose working directory and parameter-file path are
// the scratch directory.
testsupport::ChildResult in_dir(const ScratchDir &dir,
                                const std::function<void()> &body) {
    return in_child([&] {
        if (chdir(dir.path().c_str()) != 0) std::_Exit(90);
        setenv("PFPATH", dir.path().c_str(), 1);
        body();
    });
}

std::string pid_file() { return "tripdebug." + std::to_string(getpid()); }

std::string my_program() {
    char *path = pidexecname(getpid());
    std::string p = path ? path : "";
    std::free(path);
    if (p.empty()) return "noexecname";
    auto slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

char *cs(const std::string &s) { return const_cast<char *>(s.c_str()); }

std::string hex(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string h;
    for (unsigned char c : bytes) {
        h += digits[c >> 4];
        h += digits[c & 15];
    }
    return h;
}

const std::string kZeroFile(32, '\0');

TEST(Tripflags, NoTripFileGivesZeroAndCreatesNothing) {
    ScratchDir dir;
    auto r = in_dir(dir, [] {
        for (int i = 0; i < 3; i++) out(std::to_string(tripdebug(cs("flag"))));
        struct stat st;
        out(stat(pid_file().c_str(), &st) == 0 ? "made" : "none");
        out(stat(("tripdebug." + my_program()).c_str(), &st) == 0 ? "made" : "none");
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.out, "000nonenone");
}

TEST(Tripflags, SetFlagIsReportedOnceThenCleared) {
    ScratchDir dir;
    auto r = in_dir(dir, [] {
        out(std::to_string(tripdebug(cs("dump"))));  // no file yet
        out(std::to_string(tripset(cs(pid_file()), cs(my_program()), cs("dump"))));
        out(std::to_string(tripdebug(cs("dump"))));
        out(std::to_string(tripdebug(cs("dump"))));
        out(std::to_string(triptst(cs(pid_file()), cs(my_program()), cs("dump"))));
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.out, "00100");
}

TEST(Tripflags, UnknownNamesUseBitZero) {
    ScratchDir dir;
    auto r = in_dir(dir, [] {
        out(std::to_string(tripset(cs("tf"), cs("app"), cs("nosuch"))));
        out(std::to_string(triptst(cs("tf"), cs("app"), cs("other"))));
        out(" " + hex(read_file("tf")));
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.out, "01 80" + std::string(62, '0'));
}

TEST(Tripflags, TripdebugReportsUnknownNamesThroughBitZero) {
    ScratchDir dir;
    write_file(dir.file("tripdebug." + my_program()), "\x80" + std::string(31, '\0'));
    auto r = in_dir(dir, [] {
        out(std::to_string(tripdebug(cs("anything"))));
        out(std::to_string(tripdebug(cs("else"))));
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.out, "10");
    EXPECT_EQ(read_file(dir.file("tripdebug." + my_program())), kZeroFile);
}

struct BitCase {
    int bit;
    int byte;
    unsigned char mask;
};

TEST(Tripflags, BitNumbersSelectByteAndMask) {
    const BitCase cases[] = {{0, 0, 0x80}, {7, 0, 0x01}, {9, 1, 0x40},
                             {17, 2, 0x40}, {255, 31, 0x01}};
    for (const BitCase &c : cases) {
        ScratchDir dir;
        write_file(dir.file("tripdebug.pf"),
                   "standard &Arr{\n\tflag\t" + std::to_string(c.bit) + "\n}\n");
        auto r = in_dir(dir, [] {
            out(std::to_string(tripset(cs("tf"), cs("app"), cs("flag"))));
        });
        EXPECT_EQ(r.out, "0") << c.bit;
        std::string expect(32, '\0');
        expect[c.byte] = static_cast<char>(c.mask);
        EXPECT_EQ(hex(read_file(dir.file("tf"))), hex(expect)) << c.bit;

        // The program sees and clears the same bit.
        ASSERT_EQ(rename(dir.file("tf").c_str(),
                         dir.file("tripdebug." + my_program()).c_str()), 0);
        r = in_dir(dir, [] {
            out(std::to_string(tripdebug(cs("flag"))));
            out(std::to_string(tripdebug(cs("flag"))));
        });
        EXPECT_EQ(r.out, "10") << c.bit;
        EXPECT_EQ(read_file(dir.file("tripdebug." + my_program())), kZeroFile);
    }
}

TEST(Tripflags, ClearLeavesOtherBits) {
    ScratchDir dir;
    write_file(dir.file("tripdebug.pf"), "standard &Arr{\n\ta 1\n\tb 2\n}\n");
    auto r = in_dir(dir, [] {
        out(std::to_string(tripset(cs("tf"), cs("x"), cs("a"))));
        out(std::to_string(tripset(cs("tf"), cs("x"), cs("b"))));
        out(std::to_string(tripclr(cs("tf"), cs("x"), cs("a"))));
        out(std::to_string(triptst(cs("tf"), cs("x"), cs("a"))));
        out(std::to_string(triptst(cs("tf"), cs("x"), cs("b"))));
    });
    EXPECT_EQ(r.out, "00001");
    EXPECT_EQ(static_cast<unsigned char>(read_file(dir.file("tf"))[0]), 0x20);
}

TEST(Tripflags, OutOfRangeBitNumbersAreRefused) {
    for (const char *n : {"256", "1000", "-1"}) {
        ScratchDir dir;
        write_file(dir.file("tripdebug.pf"),
                   std::string("standard &Arr{\n\tfar ") + n + "\n}\n");
        write_file(dir.file("tripdebug." + my_program()), std::string(32, '\xff'));
        auto r = in_dir(dir, [] {
            out(std::to_string(tripset(cs("tf"), cs("app"), cs("far"))));
            out(std::to_string(tripclr(cs("tf"), cs("app"), cs("far"))));
            out(std::to_string(triptst(cs("tf"), cs("app"), cs("far"))));
            out(std::to_string(tripdebug(cs("far"))));
        });
        EXPECT_TRUE(r.exited) << n;
        EXPECT_EQ(r.out, "-1-1-10") << n;
        EXPECT_EQ(read_file(dir.file("tf")), kZeroFile) << n;
        EXPECT_EQ(read_file(dir.file("tripdebug." + my_program())),
                  std::string(32, '\xff')) << n;
    }
}

TEST(Tripflags, TriptstCreatesNothingTripsetCreatesZeroFile) {
    ScratchDir dir;
    auto r = in_dir(dir, [] {
        out(std::to_string(triptst(cs("tf"), cs("app"), cs("x"))));
        struct stat st;
        out(stat("tf", &st) == 0 ? "made" : "none");
        out(std::to_string(tripclr(cs("tf"), cs("app"), cs("x"))));
        if (stat("tf", &st) == 0) out(" " + std::to_string(st.st_mode & 0777));
    });
    EXPECT_EQ(r.out, "-1none0 " + std::to_string(0664 & ~[] {
                         mode_t m = umask(0);
                         umask(m);
                         return m;
                     }()));
    EXPECT_EQ(read_file(dir.file("tf")), kZeroFile);
}

TEST(Tripflags, ProgramArrayOverridesStandard) {
    ScratchDir dir;
    write_file(dir.file("tripdebug.pf"),
               "standard &Arr{\n\tflag 5\n}\nprog &Arr{\n\tflag 7\n}\n");
    auto r = in_dir(dir, [] {
        out(std::to_string(tripset(cs("p"), cs("prog"), cs("flag"))));
    });
    EXPECT_EQ(r.out, "0");
    r = in_dir(dir, [] {
        out(std::to_string(tripset(cs("q"), cs("other"), cs("flag"))));
    });
    EXPECT_EQ(r.out, "0");
    EXPECT_EQ(static_cast<unsigned char>(read_file(dir.file("p"))[0]), 0x01);
    EXPECT_EQ(static_cast<unsigned char>(read_file(dir.file("q"))[0]), 0x04);
}

TEST(Tripflags, OutsideCallsKeepTheirFirstFile) {
    ScratchDir dir;
    auto r = in_dir(dir, [] {
        out(std::to_string(tripset(cs("first"), cs("app"), cs("x"))));
        out(std::to_string(triptst(cs("second"), cs("app"), cs("x"))));
        struct stat st;
        out(stat("second", &st) == 0 ? "made" : "none");
    });
    EXPECT_EQ(r.out, "01none");
}

TEST(Tripflags, PerProcessFileWinsAndLateFileTakesEffect) {
    ScratchDir dir;
    write_file(dir.file("tripdebug." + my_program()), "\x80" + std::string(31, '\0'));
    auto r = in_dir(dir, [] {
        testsupport::write_file(pid_file(), std::string(32, '\0'));
        out(std::to_string(tripdebug(cs("x"))));
    });
    EXPECT_EQ(r.out, "0");

    ScratchDir empty;
    r = in_dir(empty, [] {
        out(std::to_string(tripdebug(cs("x"))));
        testsupport::write_file(pid_file(), "\x80" + std::string(31, '\0'));
        out(std::to_string(tripdebug(cs("x"))));
        // Once mapped, the mapping stays even when the file goes.
        unlink(pid_file().c_str());
        out(std::to_string(tripdebug(cs("x"))));
    });
    EXPECT_EQ(r.out, "010");
}

TEST(Tripflags, EmptyTripFileEndsTheProcess) {
    ScratchDir dir;
    auto r = in_dir(dir, [] {
        testsupport::write_file(pid_file(), "");
        out(pid_file());
        tripdebug(cs("x"));
        out("survived");
    });
    EXPECT_FALSE(r.exited && r.exit_code == 0);
    EXPECT_EQ(r.out.find("survived"), std::string::npos);
    EXPECT_NE(r.err.find("Couldn't mmap '" + r.out + "'"), std::string::npos) << r.err;
}

TEST(Tripflags, UncreatableFileIsLoggedAndRefused) {
    ScratchDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    auto r = in_dir(dir, [] {
        if (setgid(65534) != 0 || setuid(65534) != 0) std::_Exit(91);
        out(std::to_string(tripset(cs("tf"), cs("app"), cs("x"))));
        out(std::to_string(tripclr(cs("tf"), cs("app"), cs("x"))));
        out("|" + testsupport::elog_register_text());
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.out.substr(0, 5), "-1-1|");
    EXPECT_NE(r.out.find("Couldn't open tf"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(strerror(EACCES)), std::string::npos) << r.out;
}

TEST(Tripflags, AppNameOfTripFileNames) {
    struct Case {
        std::string filename;
        const char *expect;  // null: NULL result
    };
    std::string self = my_program();
    const Case cases[] = {
        {pid_file(), self.c_str()},
        {"tripdebug.myprog", "myprog"},
        {"/tmp/tripdebug.1234", nullptr},
        {"other", nullptr},
        {"xtripdebug.12", nullptr},
    };
    for (const Case &c : cases) {
        char *got = tripappname(cs(c.filename));
        if (c.expect == nullptr) {
            EXPECT_EQ(got, nullptr) << c.filename;
        } else {
            ASSERT_NE(got, nullptr) << c.filename;
            EXPECT_STREQ(got, c.expect) << c.filename;
        }
    }
    // A process id that names no process.
    char *none = tripappname(cs("tripdebug.999999999"));
    ASSERT_NE(none, nullptr);
    EXPECT_STREQ(none, "noexecname");
}

}  // namespace
