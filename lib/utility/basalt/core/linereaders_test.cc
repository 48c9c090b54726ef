// The line readers getaline and intactline.
#include "strtools.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "child.h"
#include "scratch_dir.h"

namespace {

// A stream reading the given text (kept alive by the caller's string).
FILE *stream_of(std::string &text) {
    FILE *f = fmemopen(text.data(), text.size(), "r");
    EXPECT_NE(f, nullptr);
    return f;
}

std::vector<std::string> all_getaline(FILE *f, int n) {
    std::vector<std::string> lines;
    std::vector<char> buf(static_cast<std::size_t>(n), '#');
    while (getaline(f, buf.data(), n) != nullptr) lines.emplace_back(buf.data());
    EXPECT_STREQ(buf.data(), "");
    return lines;
}

TEST(Getaline, LongLineComesInChunks) {
    std::string text = std::string(8, 'a') + std::string(8, 'b') + "cccc\n" +
                       "short\n";
    FILE *f = stream_of(text);
    char buf[10];
    std::memset(buf, '#', sizeof buf);
    ASSERT_EQ(getaline(f, buf, 10), buf);
    EXPECT_STREQ(buf, "aaaaaaaa");
    EXPECT_EQ(buf[9], '\0');
    ASSERT_EQ(getaline(f, buf, 10), buf);
    EXPECT_STREQ(buf, "bbbbbbbb");
    ASSERT_EQ(getaline(f, buf, 10), buf);
    EXPECT_STREQ(buf, "cccc");
    ASSERT_EQ(getaline(f, buf, 10), buf);
    EXPECT_STREQ(buf, "short");
    EXPECT_EQ(getaline(f, buf, 10), nullptr);
    EXPECT_STREQ(buf, "");
    std::fclose(f);
}

TEST(Getaline, Table) {
    struct Case {
        std::string text;
        int n;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"", 80, {}},
        {"\n", 80, {""}},
        {"one\ntwo\n", 80, {"one", "two"}},
        {"last line without newline", 80, {"last line without newline"}},
        {"a\r\n\n", 80, {"a\r", ""}},
        // At most n - 2 characters a chunk, the newline counting as one.
        {"abcdef\n", 5, {"abc", "def", ""}},
        {"ab\n", 5, {"ab"}},
        {"abcd\n", 5, {"abc", "d"}},
    };
    for (Case c : cases) {
        FILE *f = stream_of(c.text);
        EXPECT_EQ(all_getaline(f, c.n), c.lines) << c.text << " n=" << c.n;
        std::fclose(f);
    }
}

TEST(Getaline, NullFileAndTinyBuffers) {
    char buf[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(getaline(nullptr, buf, 4), nullptr);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[3], '\0');

    std::string text = "abc\n";
    FILE *f = stream_of(text);
    char two[2] = {'x', 'x'};
    EXPECT_EQ(getaline(f, two, 2), nullptr);  // no room for a character
    EXPECT_EQ(two[0], '\0');
    char zero = 'z';
    EXPECT_EQ(getaline(f, &zero, 0), nullptr);
    EXPECT_EQ(zero, 'z');                     // nothing written
    std::fclose(f);
}

TEST(Intactline, ReadsLinesOfAnyLength) {
    testsupport::ScratchDir dir;
    const std::string path = dir.file("lines");
    const std::string longline(3000, 'L');
    testsupport::write_file(path, "first\n" + longline + "\n\nlast");
    FILE *f = std::fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);

    char *line = nullptr;
    int size = 0;
    ASSERT_NE(intactline(f, &line, &size), nullptr);
    EXPECT_EQ(size, 1024);
    EXPECT_STREQ(line, "first");
    ASSERT_EQ(intactline(f, &line, &size), line);
    EXPECT_EQ(size, 4096);
    EXPECT_EQ(std::string(line), longline);
    ASSERT_EQ(intactline(f, &line, &size), line);
    EXPECT_STREQ(line, "");
    ASSERT_EQ(intactline(f, &line, &size), line);
    EXPECT_STREQ(line, "last");  // a last line without newline comes whole
    char *kept = line;
    EXPECT_EQ(intactline(f, &line, &size), nullptr);
    EXPECT_EQ(line, kept);  // the buffer stays for the caller to free
    EXPECT_GE(size, 4096);
    std::fclose(f);
    std::free(line);
}

TEST(Intactline, BoundaryLengths) {
    // Lines just around the points where the buffer must double.
    for (std::size_t len : {1021u, 1022u, 1023u, 1024u, 2045u, 2046u, 2047u,
                            2048u, 5000u}) {
        std::string text = std::string(len, 'x') + "\nnext\n";
        FILE *f = stream_of(text);
        char *line = nullptr;
        int size = 0;
        ASSERT_NE(intactline(f, &line, &size), nullptr);
        EXPECT_EQ(std::strlen(line), len) << len;
        EXPECT_GT(static_cast<std::size_t>(size), len) << len;
        ASSERT_NE(intactline(f, &line, &size), nullptr);
        EXPECT_STREQ(line, "next");
        EXPECT_EQ(intactline(f, &line, &size), nullptr);
        std::fclose(f);
        std::free(line);
    }
}

TEST(Intactline, NullFileAndCallerBuffer) {
    char *line = nullptr;
    int size = 0;
    EXPECT_EQ(intactline(nullptr, &line, &size), nullptr);
    EXPECT_EQ(size, 1024);  // allocated first
    std::free(line);

    // A caller's own small buffer is grown as needed.
    line = static_cast<char *>(std::malloc(1));
    size = 1;
    std::string text = "hello world\n";
    FILE *f = stream_of(text);
    ASSERT_NE(intactline(f, &line, &size), nullptr);
    EXPECT_STREQ(line, "hello world");
    EXPECT_EQ(size, 16);
    std::fclose(f);
    std::free(line);
}

TEST(Intactline, DoublingBeyondIntIsOutOfMemory) {
    // A buffer claimed to be just over half the largest int: the next
    // doubling cannot be represented. The line is short, so the small
    // real buffer suffices until then.
    auto result = testsupport::run_in_child([] {
        static char *line;
        static int size;
        static std::string text = "abc";
        line = static_cast<char *>(std::malloc(16));
        size = INT_MAX / 2 + 1;
        FILE *f = fmemopen(text.data(), text.size(), "r");
        intactline(f, &line, &size);
    });
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.err.find("Can't malloc"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("*aline"), std::string::npos) << result.err;
}

}  // namespace
