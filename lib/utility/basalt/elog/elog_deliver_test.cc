// Delivery of the error log to files, streams and the log relay, and the
// failure path of the log's own work. Every test runs in a forked child.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "basalt.h"
#include "child.h"
#include "elog_capture.h"
#include "scratch_dir.h"

using testsupport::ChildResult;
using testsupport::in_child;
using testsupport::out;
using testsupport::as_int;
using testsupport::as_value;
using testsupport::elog_clear_environment;
using testsupport::elog_program_name;
using testsupport::elog_register_count;
using testsupport::read_file;
using testsupport::run_in_child;
using testsupport::ScratchDir;
using testsupport::write_file;

namespace {

const std::string P = elog_program_name();

// Sets the complain severity's delivery; the log keeps the string itself.
void deliver_complaints(const std::string &words) {
    elog_set(ELOG_DELIVER, 2, strdup(words.c_str()));
}

std::string count() { return std::to_string(elog_register_count()); }

// The file of the loaded libbasalt: a real library without orbelog.
std::string basalt_path() {
    Dl_info info{};
    dladdr(reinterpret_cast<void *>(&elog_log), &info);
    return info.dli_fname ? info.dli_fname : "";
}

const std::string kLoadFailure =
    "Can't dynamically load library kestrel, error messages will be written to stderr.\n";

}  // namespace

TEST(ElogDeliver, StandardErrorAndAFileGetTheSameMessages) {
    ScratchDir dir;
    const std::string file = dir.file("errors");
    write_file(file, "old\n");
    ChildResult r = in_child([&] {
        deliver_complaints("stderr " + file);
        errno = ENOENT;
        elog_log(1, "first");
        elog_log(0, "rep");
        elog_log(0, "rep");
        elog_complain(0, "second");
        out(count());
    });
    EXPECT_EQ(r.out, "0");
    EXPECT_EQ(r.err, P + ": first\n\tNo such file or directory\n" + P + ": rep\n" +
                         "\t** repeated 2 times\n" + P + ": second\n");
    EXPECT_EQ(read_file(file), "old\n" + P + ": first\n\t##=> No such file or directory\n" + P +
                                   ": rep\n\t** repeated 2 times\n" + P + ": second\n");
}

TEST(ElogDeliver, FilesAreCreatedWithMode0664AndRelativePathsWork) {
    ScratchDir dir;
    ChildResult r = in_child([&] {
        umask(0);
        if (chdir(dir.path().c_str()) != 0) std::abort();
        deliver_complaints("./relative");
        elog_set(ELOG_TAG, 2, const_cast<char *>(""));
        elog_complain(0, "x");
    });
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(dir.file("relative")), "x\n");
    struct stat st;
    ASSERT_EQ(stat(dir.file("relative").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0664u);
}

TEST(ElogDeliver, LongMessagesReachTheFileWhole) {
    ScratchDir dir;
    const std::string file = dir.file("long");
    const std::string text(10000, 'z');
    ChildResult r = in_child([&] {
        deliver_complaints(file);
        elog_complain(0, "short");
        elog_complain(0, "%s", text.c_str());
        elog_complain(0, "short again");
    });
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(file), P + ": short\n" + P + ": " + text + "\n" + P + ": short again\n");
}

TEST(ElogDeliver, WordsAreSplitAtBlanksAndTabs) {
    ChildResult r = in_child([] {
        deliver_complaints("  stderr\t\tstdout ");
        elog_complain(0, "both");
    });
    EXPECT_EQ(r.out, P + ": both\n");
    EXPECT_EQ(r.err, P + ": both\n");
}

TEST(ElogDeliver, LogAndIgnoredWordsKeepTheRegister) {
    for (const char *words : {"log", "other", "o", "log ostrich", ""}) {
        ChildResult r = in_child([&] {
            deliver_complaints(words);
            elog_log(0, "waiting");
            elog_complain(0, "kept");
            out(count());
        });
        EXPECT_EQ(r.out, "2") << words;
        EXPECT_EQ(r.err, "") << words;
    }
}

TEST(ElogDeliver, AnUnsetDeliveryDeliversNothing) {
    ChildResult r = in_child([] {
        elog_set(ELOG_DELIVER, 2, nullptr);
        elog_complain(0, "kept");
        out(count());
    });
    EXPECT_EQ(r.out, "1");
    EXPECT_EQ(r.err, "");
}

TEST(ElogDeliver, UnrecognisedWordIsReportedWithTheRegister) {
    struct Case {
        std::string words;
        std::string err;
    };
    const std::vector<Case> cases = {
        {"bogus", "unrecognized delivery 'bogus'\n" + P + ": waiting\n" + P + ": x\n"},
        // The failure path empties the register: the next word has nothing.
        {"bogus stderr", "unrecognized delivery 'bogus'\n" + P + ": waiting\n" + P + ": x\n"},
        {"stderr bogus", P + ": waiting\n" + P + ": x\nunrecognized delivery 'bogus'\n" + P +
                             ": waiting\n" + P + ": x\n"},
        {"logfile", "unrecognized delivery 'logfile'\n" + P + ": waiting\n" + P + ": x\n"},
    };
    for (const Case &c : cases) {
        ChildResult r = in_child([&] {
            deliver_complaints(c.words);
            elog_log(0, "waiting");
            elog_complain(0, "x");
            out(count());
        });
        EXPECT_EQ(r.out, "0") << c.words;
        EXPECT_EQ(r.err, c.err) << c.words;
    }
}

TEST(ElogDeliver, FileThatCannotBeOpenedIsReportedWithTheSystemText) {
    ChildResult r = in_child([] {
        deliver_complaints("/nonexistent-elog-dir/errors");
        elog_log(0, "waiting");
        elog_complain(0, "x");
        out(count() + " errno " + std::to_string(errno));
    });
    EXPECT_EQ(r.out, "0 errno 0");
    EXPECT_EQ(r.err, "Can't open error file '/nonexistent-elog-dir/errors'\n"
                     "\t: No such file or directory\n" +
                         P + ": waiting\n" + P + ": x\n");
}

TEST(ElogDeliver, EnvironmentDeliveryToAFileOnly) {
    ScratchDir dir;
    const std::string file = dir.file("f");
    ChildResult r = in_child([&] {
        setenv("ELOG_DELIVER", (file + "@c").c_str(), 1);
        elog_complain(0, "to the file");
        elog_notify(0, "unset delivery");  // notify has no delivery now
        out(count());
    });
    EXPECT_EQ(r.out, "1");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(file), P + ": to the file\n");
}

TEST(ElogDeliver, FailedFlushesAreReported) {
    ChildResult r = in_child([] {
        std::fputs("pending", stdout);
        close(1);
        elog_complain(0, "x");
        deliver_complaints("stdout");
        elog_complain(0, "y");
    });
    EXPECT_EQ(r.err, "fflush(stdout) failed: -1 : Bad file descriptor\n" + P + ": x\n" +
                         "fflush() failed: -1 : Bad file descriptor\n");
}

TEST(ElogRelay, WithoutTheLibraryTextsGoToStandardError) {
    ScratchDir root;
    ChildResult r = in_child([&] {
        setenv("KORVANEL", root.path().c_str(), 1);
        deliver_complaints("orb:somering");
        elog_log(0, "waiting");
        elog_complain(0, "a");
        elog_complain(0, "b");
        call_orbelog(const_cast<char *>("r"), const_cast<char *>("prog"),
                     const_cast<char *>("direct"));
        out(count());
    });
    EXPECT_EQ(r.out, "0");
    EXPECT_EQ(r.err, kLoadFailure + P + ": " + P + ": waiting\n" + P + ": a\n\n" + P + ": " + P +
                         ": b\n\nprog: direct\n");
}

TEST(ElogRelay, ALibraryWithoutOrbelogIsReportedOnce) {
    ScratchDir root;
    std::filesystem::create_directories(root.file("lib"));
    // A link to the loaded libbasalt: loading it gives the same object again.
    std::filesystem::create_symlink(basalt_path(), root.file("lib/libkestrel.so.3"));
    ChildResult r = in_child([&] {
        setenv("KORVANEL", root.path().c_str(), 1);
        deliver_complaints("orb:ring");
        elog_complain(0, "a");
        elog_complain(0, "b");
    });
    EXPECT_EQ(r.err,
              "Can't find orbelog in library kestrel, error messages will be written to stderr.\n" +
                  P + ": " + P + ": a\n\n" + P + ": " + P + ": b\n\n");
}
