// xargs: batches of arguments run through the shell.
#include "strtools.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

#include "child.h"
#include "scratch_dir.h"
#include "tbl.h"

namespace {

// One run of the recording command: the arguments it received.
using Call = std::vector<std::string>;

// A command that records each of its runs in a log file: a line "CALL",
// then one line "[arg]" per argument.
class Recorder {
  public:
    Recorder() {
        testsupport::write_file(
            script(), "#!/bin/sh\n"
                      "echo CALL >> '" + log() + "'\n"
                      "for a in \"$@\"; do printf '[%s]\\n' \"$a\" >> '" +
                          log() + "'; done\n");
    }
    std::string cmd() const { return "sh " + script(); }
    std::string file(const std::string &name) const { return dir_.file(name); }

    std::vector<Call> calls() const {
        std::vector<Call> calls;
        std::istringstream in(testsupport::read_file(log()));
        for (std::string line; std::getline(in, line);) {
            if (line == "CALL") {
                calls.emplace_back();
            } else if (!calls.empty() && line.size() >= 2) {
                calls.back().push_back(line.substr(1, line.size() - 2));
            }
        }
        return calls;
    }

  private:
    std::string script() const { return dir_.file("record.sh"); }
    std::string log() const { return dir_.file("log"); }
    testsupport::ScratchDir dir_;
};

// A pointer list of the strings (which must outlive it).
Tbl *list_of(const std::vector<std::string> &args) {
    Tbl *t = newtbl(0);
    for (const std::string &a : args) pushtbl(t, const_cast<char *>(a.c_str()));
    return t;
}

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

TEST(Xargs, OneBatchWithTail) {
    Recorder r;
    const std::vector<std::string> args = {"a", "b c", "it's", ""};
    Tbl *t = list_of(args);
    xargs(r.cmd().c_str(), t, "END", 0);
    freetbl(t, nullptr);
    EXPECT_EQ(r.calls(),
              (std::vector<Call>{{"a", "b c", "it's", "", "END"}}));
}

TEST(Xargs, NullTailAddsNothing) {
    Recorder r;
    const std::vector<std::string> args = {"x", "y"};
    Tbl *t = list_of(args);
    xargs(r.cmd().c_str(), t, nullptr, 0);
    freetbl(t, nullptr);
    EXPECT_EQ(r.calls(), (std::vector<Call>{{"x", "y"}}));
}

TEST(Xargs, ArgumentsArriveLiterallyAndRunNothing) {
    Recorder r;
    const std::string pwned = r.file("pwned");
    const std::vector<std::string> args = {
        "$(touch " + pwned + "1)",
        "; touch " + pwned + "2",
        "`touch " + pwned + "3`",
        "' ; touch " + pwned + "4 ; echo '",
        "&& touch " + pwned + "5 #",
        "a\\b\"c$HOME*?",
        "line\nbreak",
    };
    Tbl *t = list_of(args);
    xargs(r.cmd().c_str(), t, "", 0);
    freetbl(t, nullptr);
    for (int i = 1; i <= 5; ++i)
        EXPECT_FALSE(exists(pwned + std::to_string(i))) << i;

    // Each argument is one word, unchanged; the recorder logs lines, so
    // the argument holding a newline shows as two log lines.
    std::vector<Call> calls = r.calls();
    ASSERT_EQ(calls.size(), 1u);
    Call expected(args.begin(), args.end() - 1);
    ASSERT_GE(calls[0].size(), expected.size());
    EXPECT_EQ(Call(calls[0].begin(), calls[0].begin() + expected.size()),
              expected);
}

TEST(Xargs, EmptyListRunsNothing) {
    Recorder r;
    Tbl *t = newtbl(0);
    xargs(r.cmd().c_str(), t, "TAIL", 0);
    xargs(r.cmd().c_str(), nullptr, "TAIL", 0);
    freetbl(t, nullptr);
    EXPECT_TRUE(r.calls().empty());
}

// The lines that batching makes, modelled on the quoted words (plain
// arguments without quotes: each word is the argument in single quotes).
std::vector<std::string> model_lines(const std::string &cmd,
                                     const std::vector<std::string> &args,
                                     const std::string &tail) {
    std::vector<std::string> lines;
    std::string line;
    for (const std::string &a : args) {
        const std::string word = "'" + a + "'";
        if (!line.empty() && word.size() + line.size() + tail.size() > 512) {
            lines.push_back(line + tail);
            line.clear();
        }
        if (line.empty()) line = cmd + " ";
        line += word + " ";
    }
    if (!line.empty()) lines.push_back(line + tail);
    return lines;
}

TEST(Xargs, BatchesStayWithinTheBound) {
    Recorder r;
    std::vector<std::string> args;
    for (int i = 0; i < 20; ++i)
        args.push_back(std::string(90, static_cast<char>('a' + i)));
    const std::vector<std::string> lines = model_lines(r.cmd(), args, "TAIL");
    ASSERT_GE(lines.size(), 4u);

    Tbl *t = list_of(args);
    auto result = testsupport::run_in_child(
        [&] { xargs(r.cmd().c_str(), t, "TAIL", 1); });
    freetbl(t, nullptr);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exit_code, 0);

    // Each line was logged in full before it ran.
    std::size_t at = 0;
    for (const std::string &line : lines) {
        EXPECT_LE(line.size(), 512u + 1);
        const std::size_t found = result.err.find(line, at);
        EXPECT_NE(found, std::string::npos) << line;
        if (found != std::string::npos) at = found + line.size();
    }

    // Every argument arrived once, in order, each run ending with the tail.
    const std::vector<Call> calls = r.calls();
    ASSERT_EQ(calls.size(), lines.size());
    std::vector<std::string> seen;
    for (const Call &c : calls) {
        ASSERT_FALSE(c.empty());
        EXPECT_EQ(c.back(), "TAIL");
        EXPECT_GE(c.size(), 2u);
        seen.insert(seen.end(), c.begin(), c.end() - 1);
    }
    EXPECT_EQ(seen, args);
}

TEST(Xargs, LongArgumentGetsALineOfItsOwn) {
    Recorder r;
    const std::vector<std::string> args = {std::string(600, 'L'), "short",
                                           std::string(700, 'M')};
    Tbl *t = list_of(args);
    xargs(r.cmd().c_str(), t, "TAIL", 0);
    freetbl(t, nullptr);
    EXPECT_EQ(r.calls(), (std::vector<Call>{{args[0], "TAIL"},
                                            {"short", "TAIL"},
                                            {args[2], "TAIL"}}));
}

TEST(Xargs, QuotesCountTowardsTheBound) {
    // Arguments of 100 quotes each take 402 characters once quoted, so
    // each goes on a line of its own.
    Recorder r;
    const std::vector<std::string> args = {std::string(100, '\''),
                                           std::string(100, '\'')};
    Tbl *t = list_of(args);
    xargs(r.cmd().c_str(), t, "", 0);
    freetbl(t, nullptr);
    EXPECT_EQ(r.calls(), (std::vector<Call>{{args[0]}, {args[1]}}));
}

TEST(Xargs, QuietUnlessVerbose) {
    Recorder r;
    const std::vector<std::string> args = {"quiet-arg"};
    Tbl *t = list_of(args);
    auto result = testsupport::run_in_child(
        [&] { xargs(r.cmd().c_str(), t, "", 0); });
    freetbl(t, nullptr);
    EXPECT_EQ(result.err.find("quiet-arg"), std::string::npos) << result.err;
    EXPECT_EQ(r.calls(), (std::vector<Call>{{"quiet-arg"}}));
}

}  // namespace
