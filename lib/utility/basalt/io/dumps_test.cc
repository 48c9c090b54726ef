// Hex and ascii dumps: exact texts, readers, round trips and displays.
#include "dumps.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "fdio.h"
#include "scratch_dir.h"
#include "stream_capture.h"

namespace {

using testsupport::printed;

using testsupport::ScratchDir;

using Bytes = std::vector<unsigned char>;


// A string returned by the library, taken over and freed.
std::string taken(char *s) {
    std::string r(s);
    std::free(s);
    return r;
}

// A stream positioned at the start of contents.
FILE *stream_of(const std::string &contents) {
    FILE *f = std::tmpfile();
    std::fwrite(contents.data(), 1, contents.size(), f);
    std::rewind(f);
    return f;
}

// Whatever is left on a stream.
std::string rest_of(FILE *f) {
    std::string s;
    int c;
    while ((c = std::fgetc(f)) != EOF) s.push_back(static_cast<char>(c));
    return s;
}

Bytes random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    Bytes b(n);
    for (auto &c : b) c = static_cast<unsigned char>(byte(gen));
    return b;
}

// Random bytes rich in the characters the ascii dump treats specially.
Bytes awkward_bytes(std::size_t n, unsigned seed) {
    static const unsigned char special[] = {'\n', '\t', '\\', 0, ' ', 'x', '0', 0xff, 127, 31, '\r'};
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> pick(0, sizeof special - 1);
    Bytes b(n);
    for (auto &c : b)
        c = byte(gen) < 100 ? special[pick(gen)] : static_cast<unsigned char>(byte(gen));
    return b;
}

const std::string kAlphabet = "ABCDEFGHIJKLMNOPQ";

// ---------------------------------------------------------------- hex dump

TEST(HexDump, ThreeBytes) {
    const std::string expect = "\t00000000  6162 63" + std::string(33, ' ') + "abc\n";
    ASSERT_EQ(expect.size(), 55u);
    EXPECT_EQ(printed([](FILE *f) { hexdump(f, "abc", 3); }), expect);
    EXPECT_EQ(taken(hexdump_string(0, "abc", 3)), expect);
}

TEST(HexDump, FullLineIs68Characters) {
    Bytes b(16);
    for (int i = 0; i < 16; ++i) b[i] = static_cast<unsigned char>(i);
    const std::string expect =
        "\t00000000  0001 0203 0405 0607 0809 0a0b 0c0d 0e0f ________________\n";
    ASSERT_EQ(expect.size(), 68u);
    EXPECT_EQ(printed([&](FILE *f) { hexdump(f, b.data(), 16); }), expect);
    EXPECT_EQ(taken(hexdump_string(0, b.data(), 16)), expect);
}

TEST(HexDump, SeventeenBytesMakeTwoLines) {
    const std::string expect =
        "\t00000000  4142 4344 4546 4748 494a 4b4c 4d4e 4f50 ABCDEFGHIJKLMNOP\n"
        "\t00000010  51" + std::string(38, ' ') + "Q\n";
    EXPECT_EQ(printed([](FILE *f) { hexdump(f, kAlphabet.data(), 17); }), expect);
    EXPECT_EQ(taken(hexdump_string(0, kAlphabet.data(), 17)), expect);
}

TEST(HexDump, CharacterColumnShowsPrintableBytesOnly) {
    const unsigned char b[] = {31, 32, 126, 127, 0x80, 0xff, '\t', '\n', '_', 'z'};
    const std::string expect =
        "\t00000100  1f20 7e7f 80ff 090a 5f7a" + std::string(16, ' ') + "_ ~______z\n";
    EXPECT_EQ(taken(hexdump_string(0x100, b, sizeof b)), expect);
}

TEST(HexDump, BaseOffsetsEachLine) {
    const std::string text = printed([](FILE *f) { Hexdump(f, 0x12345678, kAlphabet.data(), 17); });
    EXPECT_EQ(text.substr(0, 11), "\t12345678  ");
    EXPECT_EQ(text.substr(68, 11), "\t12345688  ");
}

TEST(HexDump, OffsetsWrapAt32Bits) {
    // Offsets are 32-bit values on every platform, so every line keeps its
    // 68 characters.
    Bytes b(32, 'x');
    const std::string text = taken(hexdump_string(0xfffffff8ul, b.data(), 32));
    ASSERT_EQ(text.size(), 136u);
    EXPECT_EQ(text.substr(0, 10), "\tfffffff8 ");
    EXPECT_EQ(text.substr(68, 10), "\t00000008 ");
}

TEST(HexDump, NoBytes) {
    EXPECT_EQ(printed([](FILE *f) { hexdump(f, "", 0); }), "\n");
    EXPECT_EQ(printed([](FILE *f) { Hexdump(f, 16, "", 0); }), "\n");
    EXPECT_EQ(taken(hexdump_string(0, "", 0)), "");
    // A negative count is taken as none.
    EXPECT_EQ(printed([](FILE *f) { hexdump(f, "", -5); }), "\n");
    EXPECT_EQ(taken(hexdump_string(0, "", -5)), "");
}

TEST(HexDump, StreamAndStringAgreeOnEveryLength) {
    // Lengths around the line and the writers' internal chunk sizes.
    const Bytes b = random_bytes(20000, 1);
    for (int l : {1, 2, 15, 16, 17, 31, 32, 33, 255, 3839, 3840, 3841, 7681, 20000}) {
        const std::string s = taken(hexdump_string(0, b.data(), l));
        EXPECT_EQ(printed([&](FILE *f) { hexdump(f, b.data(), l); }), s) << l;
        const std::size_t lines = (l + 15) / 16;
        const std::size_t last = l % 16 ? 52 + l % 16 : 68;
        EXPECT_EQ(s.size(), (lines - 1) * 68 + last) << l;
        // Every line starts with a tab and its offset, and has its
        // character column at the same place.
        for (std::size_t line = 0; line < lines; ++line) {
            char offset[16];
            std::snprintf(offset, sizeof offset, "\t%08zx ", line * 16);
            EXPECT_EQ(s.substr(line * 68, 10), offset);
            EXPECT_EQ(s[line * 68 + 50], ' ');
        }
    }
}

TEST(HexDump, EachByteInItsPlace) {
    const Bytes b = random_bytes(16, 2);
    const std::string s = taken(hexdump_string(0, b.data(), 16));
    for (int i = 0; i < 16; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", b[i]);
        EXPECT_EQ(s.substr(11 + 5 * (i / 2) + 2 * (i % 2), 2), pair) << i;
        const char shown = b[i] >= 32 && b[i] <= 126 ? static_cast<char>(b[i]) : '_';
        EXPECT_EQ(s[51 + i], shown) << i;
    }
}

// ---------------------------------------------------------------- hex reader

int read_hex_text(const std::string &text, Bytes &out, int l, std::string *rest = nullptr) {
    FILE *f = stream_of(text);
    out.assign(static_cast<std::size_t>(std::max(l, 0)) + 8, 0xee);
    const int n = read_hexdump(f, out.data(), l);
    if (rest) *rest = rest_of(f);
    std::fclose(f);
    return n;
}

TEST(HexRead, RoundTripRandom) {
    const Bytes b = random_bytes(100003, 3);
    for (int l : {0, 1, 2, 3, 15, 16, 17, 31, 32, 33, 100, 1000, 4097, 100003}) {
        const std::string text = taken(hexdump_string(0, b.data(), l));
        Bytes out;
        ASSERT_EQ(read_hex_text(text, out, l), l) << l;
        EXPECT_TRUE(std::equal(b.begin(), b.begin() + l, out.begin())) << l;
        EXPECT_EQ(out[l], 0xee) << "stored beyond l " << l;
    }
}

TEST(HexRead, BlanksInTheCharacterColumn) {
    for (int l : {1, 5, 16, 17, 40}) {
        const Bytes b(l, 0x20);
        const std::string text = printed([&](FILE *f) { hexdump(f, b.data(), l); });
        Bytes out;
        ASSERT_EQ(read_hex_text(text, out, l), l) << l;
        EXPECT_TRUE(std::equal(b.begin(), b.end(), out.begin())) << l;
    }
}

TEST(HexRead, StopsAfterLBytesInsideAShortLine) {
    // The character column of the short line holds hex-looking text; the
    // count keeps it from being taken for groups, and the stream is left
    // at the next line.
    const std::string body = "abcd";
    std::string text = printed([&](FILE *f) { hexdump(f, body.data(), 4); }) + "next line\n";
    Bytes out;
    std::string rest;
    ASSERT_EQ(read_hex_text(text, out, 4, &rest), 4);
    EXPECT_EQ(std::string(out.begin(), out.begin() + 4), body);
    EXPECT_EQ(rest, "next line\n");
}

// A full line of 8 groups holding the bytes first .. first + 15, with an
// arbitrary offset token and character column.
std::string full_line(int first) {
    std::string s = "x";
    char group[8];
    for (int i = 0; i < 16; i += 2) {
        std::snprintf(group, sizeof group, " %02x%02x", first + i, first + i + 1);
        s += group;
    }
    return s + " column\n";
}

std::vector<int> run(int first, int n) {
    std::vector<int> v;
    for (int i = 0; i < n; ++i) v.push_back(first + i);
    return v;
}

std::vector<int> operator+(std::vector<int> a, const std::vector<int> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(HexRead, LenientInput) {
    struct Case {
        std::string text;
        int l;
        std::vector<int> expect;
    };
    const Case cases[] = {
        // Any offset text, runs of blanks and tabs, either case.
        {"whatever   0A0b\t\t FFfe  \n", 4, {0x0a, 0x0b, 0xff, 0xfe}},
        // Groups of 2 digits; past 8 groups the line is ignored.
        {"0 01 02 03 04 05 06 07 08 09\n1 0a \n", 8, run(1, 8)},
        {"0 01 02 03 04 05 06 07 08 09\n1 0a \n", 9, run(1, 8) + std::vector<int>{10}},
        // Not validated: a non-digit counts as -1.
        {"0 zz z5 5z \n", 3, {0xef, 0xf5, 0x4f}},
        // A 1-character token pairs its digit with the end of the token.
        {"0 5 7 \n", 2, {0x4f, 0x6f}},
        // A token of 3, or 5 or more, characters gives one byte.
        {"0 123 45678 9a \n", 3, {0x12, 0x45, 0x9a}},
        // Reading ends at an empty line, at the end of input, and at a
        // line without groups.
        {full_line(0) + "\n" + full_line(16), 32, run(0, 16)},
        {full_line(0), 32, run(0, 16)},
        {full_line(0) + "00000010\n" + full_line(16), 32, run(0, 16)},
        {full_line(0) + "   \t \n" + full_line(16), 32, run(0, 16)},
        {full_line(0) + full_line(16), 32, run(0, 32)},
        {"", 4, {}},
        // The newline that fgets keeps belongs to the last token: it makes
        // a group of 4 digits one of 5 characters, or is a 1-character
        // group of its own (the value -17); then the tokens run out.
        {"0 0a0b\n0 0c0d \n", 4, {0x0a}},
        {"0 0a0b \n0 0c0d \n", 4, {0x0a, 0x0b, 0xef}},
    };
    for (const Case &c : cases) {
        Bytes out;
        const int n = read_hex_text(c.text, out, c.l);
        ASSERT_EQ(n, static_cast<int>(c.expect.size())) << c.text;
        for (int i = 0; i < n; ++i) EXPECT_EQ(out[i], c.expect[i]) << c.text << " byte " << i;
    }
}

TEST(HexRead, CanonicalLookingLinesThatAreNot) {
    // Lines laid out like the writer's but differing in one character: the
    // general tokenizer must decide.
    const std::string good =
        "\t00000000  4142 4344 4546 4748 494a 4b4c 4d4e 4f50 ABCDEFGHIJKLMNOP\n";
    struct Case {
        std::size_t at;
        char c;
        int stored;
        std::string expect;
    };
    const Case cases[] = {
        {50, 'Z', 15, "ABCDEFGHIJKLMNO"},    // last group 5 characters long
        {11, 'g', 16, "\xf1" "BCDEFGHIJKLMNOP"},  // a non-digit, still 4 long
        {9, '\t', 16, "ABCDEFGHIJKLMNOP"},   // another separator
        {5, ' ', 15, std::string("\0ABCDEFGHIJKLMN", 15)},  // offset in two tokens
        {0, ' ', 16, "ABCDEFGHIJKLMNOP"},
    };
    for (const Case &c : cases) {
        std::string line = good;
        line[c.at] = c.c;
        Bytes out;
        ASSERT_EQ(read_hex_text(line, out, 16), c.stored) << line;
        EXPECT_EQ(std::string(out.begin(), out.begin() + c.stored),
                  std::string(c.expect.data(), c.stored)) << line;
    }
}

TEST(HexRead, NothingAskedReadsNothing) {
    FILE *f = stream_of("\t00000000  4142\n");
    unsigned char out[1] = {7};
    EXPECT_EQ(read_hexdump(f, out, 0), 0);
    EXPECT_EQ(read_hexdump(f, out, -1), 0);
    EXPECT_EQ(out[0], 7);
    EXPECT_EQ(rest_of(f), "\t00000000  4142\n");
    std::fclose(f);
}

// ---------------------------------------------------------------- ascii dump

int read_ascii_text(const std::string &text, Bytes &out, int l, std::string *rest = nullptr);

TEST(AsciiDump, SingleBytes) {
    struct Case {
        unsigned char c;
        const char *stream;  // asciidump
        const char *string;  // asciistring
    };
    const Case cases[] = {
        {0x00, "\\0x00", "\\0x00"}, {'\\', "\\\\", "\\\\"}, {'a', "a", "a"},
        {' ', " ", " "},            {'~', "~", "~"},       {'\n', "\n", "\n"},
        {'\t', "\t", "\\0x09"},     {0x7f, "\\0x7f", "\\0x7f"}, {0x80, "\\0x80", "\\0x80"},
        {0xff, "\\0xff", "\\0xff"}, {0x1f, "\\0x1f", "\\0x1f"}, {'\r', "\\0x0d", "\\0x0d"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(printed([&](FILE *f) { asciidump(f, &c.c, 1); }), c.stream) << int(c.c);
        EXPECT_EQ(taken(asciistring(&c.c, 1)), c.string) << int(c.c);
    }
}

TEST(AsciiDump, HundredPrintableBytes) {
    std::string data;
    for (int i = 0; i < 100; ++i) data.push_back(static_cast<char>('A' + i % 26));
    ASSERT_EQ(data.find('\\'), std::string::npos);
    const std::string expect = data.substr(0, 80) + "\n" + data.substr(80);
    EXPECT_EQ(printed([&](FILE *f) { asciidump(f, data.data(), 100); }), expect);
    EXPECT_EQ(taken(asciistring(data.data(), 100)), expect);
}

TEST(AsciiDump, LineBreaks) {
    struct Case {
        std::string data;
        std::string string;  // asciistring
        std::string stream;  // asciidump
    };
    const std::string a79(79, 'a'), a80(80, 'a');
    const Case cases[] = {
        // An escape that takes the count past 79 ends a line of 84.
        {a79 + '\x01' + "b", a79 + "\\0x01\nb", a79 + "\\0x01\nb"},
        {a79 + "\\b", a79 + "\\\\\nb", a79 + "\\\\\nb"},
        // A tab counts 5 escaped, 1 raw.
        {a79 + "\tb", a79 + "\\0x09\nb", a79 + "\t\nb"},
        // A newline in the data restarts the count; no break after it.
        {std::string(50, 'a') + "\n" + a79, std::string(50, 'a') + "\n" + a79,
         std::string(50, 'a') + "\n" + a79},
        {a79 + "\n" + "b", a79 + "\nb", a79 + "\nb"},
        // Exactly 80 characters: a break, but nothing added at the end.
        {a80, a80 + "\n", a80 + "\n"},
        {a80 + "c", a80 + "\nc", a80 + "\nc"},
        {"abc", "abc", "abc"},
        // 16 escapes: 80 characters.
        {std::string(16, '\0') + "z", [] {
             std::string s;
             for (int i = 0; i < 16; ++i) s += "\\0x00";
             return s + "\nz";
         }(),
         ""},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(taken(asciistring(c.data.data(), static_cast<int>(c.data.size()))), c.string);
        const std::string stream = c.stream.empty() ? c.string : c.stream;
        EXPECT_EQ(printed([&](FILE *f) {
                      asciidump(f, c.data.data(), static_cast<int>(c.data.size()));
                  }),
                  stream);
    }
}

TEST(AsciiDump, LinesHold80To84Characters) {
    const Bytes b = random_bytes(50000, 4);
    const std::string s = taken(asciistring(b.data(), static_cast<int>(b.size())));
    // Without newline bytes in the data every line but the last is 80 to 84.
    Bytes nonl = b;
    for (auto &c : nonl) if (c == '\n') c = 'n';
    const std::string t = taken(asciistring(nonl.data(), static_cast<int>(nonl.size())));
    std::size_t start = 0, nl;
    int lines = 0;
    while ((nl = t.find('\n', start)) != std::string::npos) {
        EXPECT_GE(nl - start, 80u);
        EXPECT_LE(nl - start, 84u);
        start = nl + 1;
        ++lines;
    }
    EXPECT_GT(lines, 1000);
    EXPECT_LE(t.size() - start, 84u);
}

TEST(AsciiDump, StringSizesAtTheExtremes) {
    // Only escapes: 16 of them fill a line of 80, so 10000 make 625 lines,
    // each with its break (the last one included).
    const Bytes zeros(10000, 0);
    const std::string z = taken(asciistring(zeros.data(), 10000));
    EXPECT_EQ(z.size(), 50625u);
    EXPECT_EQ(z.substr(0, 81), [] {
        std::string s;
        for (int i = 0; i < 16; ++i) s += "\\0x00";
        return s + "\n";
    }());
    // Only plain bytes: 125 lines of 80.
    const Bytes plain(10000, 'a');
    const std::string a = taken(asciistring(plain.data(), 10000));
    EXPECT_EQ(a.size(), 10125u);
    EXPECT_EQ(a.substr(0, 81), std::string(80, 'a') + "\n");
    Bytes out;
    ASSERT_EQ(read_ascii_text(z, out, 10000), 10000);
    EXPECT_TRUE(std::equal(zeros.begin(), zeros.end(), out.begin()));
}

TEST(AsciiDump, NoBytes) {
    EXPECT_EQ(printed([](FILE *f) { asciidump(f, "", 0); }), "\n");
    EXPECT_EQ(taken(asciistring("", 0)), "\n");
    EXPECT_EQ(taken(asciistring("", -3)), "\n");
}

TEST(AsciiDump, StreamAndStringDifferOnlyInTabs) {
    const Bytes b = awkward_bytes(30000, 5);
    for (int l : {1, 7, 80, 81, 4000, 16383, 16384, 30000}) {
        const std::string s = taken(asciistring(b.data(), l));
        const std::string f = printed([&](FILE *fp) { asciidump(fp, b.data(), l); });
        Bytes notab(b.begin(), b.begin() + l);
        for (auto &c : notab) if (c == '\t') c = 0x07;
        const std::string s2 = taken(asciistring(notab.data(), l));
        const std::string f2 = printed([&](FILE *fp) { asciidump(fp, notab.data(), l); });
        EXPECT_EQ(s2, f2) << l;
        if (std::count(b.begin(), b.begin() + l, '\t') > 0) {
            EXPECT_NE(s, f) << l;
        }
    }
}

// ---------------------------------------------------------------- ascii reader

int read_ascii_text(const std::string &text, Bytes &out, int l, std::string *rest) {
    FILE *f = stream_of(text);
    out.assign(static_cast<std::size_t>(std::max(l, 0)) + 8, 0xee);
    const int n = read_asciidump(f, out.data(), l);
    if (rest) *rest = rest_of(f);
    std::fclose(f);
    return n;
}

TEST(AsciiRead, RoundTripBothWriters) {
    const Bytes b = awkward_bytes(70001, 6);
    const Bytes r = random_bytes(70001, 7);
    for (const Bytes *data : {&b, &r}) {
        for (int l : {1, 2, 3, 4, 5, 6, 16, 79, 80, 81, 100, 1000, 3277, 16384, 70001}) {
            const std::string s = taken(asciistring(data->data(), l));
            const std::string f = printed([&](FILE *fp) { asciidump(fp, data->data(), l); });
            for (const std::string *text : {&s, &f}) {
                Bytes out;
                std::string rest;
                ASSERT_EQ(read_ascii_text(*text + "TAIL", out, l, &rest), l) << l;
                EXPECT_TRUE(std::equal(data->begin(), data->begin() + l, out.begin())) << l;
                EXPECT_EQ(out[l], 0xee) << l;
                // The reader stops right behind the dump (and its last break).
                EXPECT_EQ(rest, "TAIL") << l;
            }
        }
    }
}

TEST(AsciiRead, HundredPrintableBytesLeaveTheStreamAfterThe20th) {
    std::string data;
    for (int i = 0; i < 100; ++i) data.push_back(static_cast<char>('A' + i % 26));
    const std::string text = data.substr(0, 80) + "\n" + data.substr(80) + "\nmore";
    Bytes out;
    std::string rest;
    ASSERT_EQ(read_ascii_text(text, out, 100, &rest), 100);
    EXPECT_EQ(std::string(out.begin(), out.begin() + 100), data);
    EXPECT_EQ(rest, "\nmore");
}

TEST(AsciiRead, Forms) {
    struct Case {
        std::string text;
        int l;
        std::string expect;
        std::string rest;
    };
    const Case cases[] = {
        {"\\0x00", 1, std::string(1, '\0'), ""},
        {"\\\\", 1, "\\", ""},
        {"\\0x09\t", 2, "\t\t", ""},
        {"\\0xFFa", 2, "\xff" "a", ""},
        // The character after the backslash is not examined.
        {"\\Zx41", 1, "A", ""},
        {"\\0Q41", 1, "A", ""},
        // Bad digits count as -1.
        {"\\0xzz", 1, "\xef", ""},
        // A newline is data and restarts the count.
        {"ab\ncd", 5, "ab\ncd", ""},
        // More input than asked for stays on the stream.
        {"abcdef", 3, "abc", "def"},
        {"\\\\\\\\", 1, "\\", "\\\\"},
        // Input that ends early gives a short count.
        {"abc", 5, "abc", ""},
        {"ab\\0x4", 3, "ab", ""},
        {"ab\\", 3, "ab", ""},
        {"", 2, "", ""},
    };
    for (const Case &c : cases) {
        Bytes out;
        std::string rest;
        const int n = read_ascii_text(c.text, out, c.l, &rest);
        ASSERT_EQ(n, static_cast<int>(c.expect.size())) << c.text;
        EXPECT_EQ(std::string(out.begin(), out.begin() + n), c.expect) << c.text;
        EXPECT_EQ(rest, c.rest) << c.text;
    }
}

TEST(AsciiRead, BreakCharacterIsDroppedWhateverItIs) {
    // After a byte that takes the count above 79 one character is dropped.
    const std::string a80(80, 'a');
    Bytes out;
    std::string rest;
    ASSERT_EQ(read_ascii_text(a80 + "Xbc", out, 82, &rest), 82);
    EXPECT_EQ(std::string(out.begin(), out.begin() + 82), a80 + "bc");
    ASSERT_EQ(read_ascii_text(a80 + "Xbc", out, 80, &rest), 80);
    EXPECT_EQ(rest, "bc");
    // An escape ending the line is followed by its break as well.
    ASSERT_EQ(read_ascii_text(std::string(79, 'a') + "\\0x41" + "\n" + "z", out, 80, &rest), 80);
    EXPECT_EQ(out[79], 'A');
    EXPECT_EQ(rest, "z");
}

TEST(AsciiRead, NothingAskedReadsNothing) {
    FILE *f = stream_of("\n");
    unsigned char out[1] = {7};
    EXPECT_EQ(read_asciidump(f, out, 0), 0);
    EXPECT_EQ(out[0], 7);
    EXPECT_EQ(rest_of(f), "\n");
    std::fclose(f);
}

// ---------------------------------------------------------------- displays

std::string display(int n, const std::string &data, int l = -1) {
    std::vector<char> buf(static_cast<std::size_t>(n) + 16, 'Q');
    printable_string(buf.data(), n, data.data(), l < 0 ? static_cast<int>(data.size()) : l);
    for (std::size_t i = n; i < buf.size(); ++i) EXPECT_EQ(buf[i], 'Q') << "written past n";
    return std::string(buf.data());
}

TEST(PrintableString, Forms) {
    EXPECT_EQ(display(100, "ab\ncd\\e\tf\x01\xff"), "ab\\ncd\\\\e\\0x09f\\0x01\\0xff");
    EXPECT_EQ(display(100, std::string(1, '\0')), "\\0x00");
    EXPECT_EQ(display(100, ""), "\n");
}

TEST(PrintableString, StopsWhileAWholeFormFits) {
    struct Case {
        int n;
        std::string data;
        std::string expect;
    };
    const Case cases[] = {
        {10, std::string(20, 'a'), "aaaaa"},
        {10, std::string("aaaa") + '\0' + "bb", "aaaa\\0x00"},
        {10, "aaaa\nbb", "aaaa\\n"},
        {12, "aaaa\nbb", "aaaa\\nb"},
        {6, "abc", "a"},
        {5, "abc", ""},
        {1, "abc", ""},
        {2, "", "\n"},
        {1, "", ""},  // no room for the newline: only the NUL
    };
    for (const Case &c : cases) EXPECT_EQ(display(c.n, c.data), c.expect) << c.n << c.data;
    char untouched = 'Q';
    printable_string(&untouched, 0, "abc", 3);
    EXPECT_EQ(untouched, 'Q');
}

TEST(Printable, Classes) {
    struct Case {
        std::string s;
        int n;
        int expect;
    };
    const Case cases[] = {
        {"hello", 5, 2},
        {std::string("hi\0\x07", 4), 4, 1},
        {std::string("hi\x07\0", 4), 4, 0},
        {"tab\there", 8, 0},
        {"line\n", 5, 0},
        {"~ ", 2, 2},
        {"\x7f", 1, 0},
        {"\x80", 1, 0},
        {"", 0, 2},
        {"abc", 2, 2},
    };
    for (const Case &c : cases) EXPECT_EQ(printable(c.s.data(), c.n), c.expect) << c.s;
}

TEST(Xchardump, TextAndBytes) {
    const char text[8] = "sta1";
    EXPECT_EQ(printed([&](FILE *f) { Xchardump(f, "sta", "station code", text, 8); }),
              "sta = 'sta1' station code\n");
    EXPECT_EQ(printed([&](FILE *f) { Xchardump(f, "sta", "d", text, 2); }), "sta = 'st' d\n");
    const unsigned char bin[3] = {1, 'a', 0};
    EXPECT_EQ(printed([&](FILE *f) { Xchardump(f, "raw", "three bytes", bin, 3); }),
              "raw (3 bytes) # three bytes\n\t00000000  0161 00" + std::string(33, ' ') +
                  "_a_\n");
    EXPECT_EQ(printed([&](FILE *f) { Xchardump(f, "none", "empty", "", 0); }),
              "none = '' empty\n");
}

TEST(ShowBytes, DoubleAndFloat) {
    struct Case {
        double x;
        const char *d;
        const char *f;
    };
    const Case cases[] = {
        {1.0, " 3ff0000000000000", " 3f800000"},
        {-2.5, " c004000000000000", " c0200000"},
        {0.0, " 0000000000000000", " 00000000"},
        {0.1, " 3fb999999999999a", " 3dcccccd"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(printed([&](FILE *f) { showdouble(f, c.x); }), c.d);
        EXPECT_EQ(printed([&](FILE *f) { showfloat(f, static_cast<float>(c.x)); }), c.f);
    }
}

TEST(Prthexcmp, PrintsDifferingRows) {
    std::string a(40, 'a'), b(40, 'a');
    b[17] = 'B';
    b[39] = 'Z';
    const std::string expect =
        "\nrows\n"
        "a> \t00000010  6161 6161 6161 6161 6161 6161 6161 6161 aaaaaaaaaaaaaaaa\n"
        "b> \t00000010  6142 6161 6161 6161 6161 6161 6161 6161 aBaaaaaaaaaaaaaa\n"
        "\n"
        "a> \t00000020  6161 6161 6161 6161" + std::string(21, ' ') + "aaaaaaaa\n"
        "b> \t00000020  6161 6161 6161 615a" + std::string(21, ' ') + "aaaaaaaZ\n"
        "\n";
    EXPECT_EQ(printed([&](FILE *f) { prthexcmp(f, "rows", a.data(), b.data(), 40); }), expect);
    EXPECT_EQ(printed([&](FILE *f) { prthexcmp(f, nullptr, a.data(), b.data(), 40); }),
              expect.substr(6));
    EXPECT_EQ(printed([&](FILE *f) { prthexcmp(f, nullptr, a.data(), a.data(), 40); }), "");
}

// ---------------------------------------------------------------- conversions

TEST(Mem2hex, LowerCasePairs) {
    const unsigned char b[] = {0x00, 0x0a, 0xab, 0xff, 0x10};
    char s[11];
    std::memset(s, 'Q', sizeof s);
    mem2hex(b, 5, s);
    EXPECT_STREQ(s, "000aabff10");
    mem2hex(b, 0, s);
    EXPECT_STREQ(s, "");
}

TEST(Hex2mem, Table) {
    struct Case {
        const char *hex;
        int result;
        std::vector<int> expect;
    };
    const Case cases[] = {
        {"0a 0B\n", 2, {0x0a, 0x0b}},
        {"abc", -1, {}},
        {"0g", -1, {}},
        {"", 0, {}},
        {" \t\n", 0, {}},
        {"a\tB c\nD", 2, {0xab, 0xcd}},  // blanks even between the digits
        {"DEADbeef", 4, {0xde, 0xad, 0xbe, 0xef}},
        {"00ff", 2, {0x00, 0xff}},
        {"0a\r", -1, {}},
        {"0x12", -1, {}},
    };
    for (const Case &c : cases) {
        unsigned char out[16];
        std::memset(out, 0xee, sizeof out);
        ASSERT_EQ(hex2mem(c.hex, out), c.result) << c.hex;
        for (int i = 0; i < c.result; ++i) EXPECT_EQ(out[i], c.expect[i]) << c.hex;
        if (c.result >= 0) {
            EXPECT_EQ(out[c.result], 0xee) << c.hex;
        }
    }
}

TEST(Hex2mem, RoundTripWithMem2hex) {
    const Bytes b = random_bytes(1000, 8);
    std::vector<char> s(2001);
    mem2hex(b.data(), 1000, s.data());
    Bytes out(1000);
    ASSERT_EQ(hex2mem(s.data(), out.data()), 1000);
    EXPECT_EQ(out, b);
}

TEST(Hex2int, EveryCharacter) {
    for (int c = 0; c < 256; ++c) {
        int expect = -1;
        if (c >= '0' && c <= '9') expect = c - '0';
        if (c >= 'a' && c <= 'f') expect = c - 'a' + 10;
        if (c >= 'A' && c <= 'F') expect = c - 'A' + 10;
        EXPECT_EQ(hex2int(static_cast<char>(c)), expect) << c;
    }
}

// ---------------------------------------------------------------- descriptors

// What fn queues on a descriptor, once it is closed.
std::string fd_written(const std::function<void(int)> &fn) {
    ScratchDir dir;
    const std::string path = dir.file("out");
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    fn(fd);
    EXPECT_EQ(fdclose(fd), 0);
    return testsupport::read_file(path);
}

// A descriptor reading contents, closed (and its buffers forgotten) at the end.
class FdInput {
  public:
    explicit FdInput(const std::string &contents) {
        testsupport::write_file(dir_.file("in"), contents);
        fd_ = open(dir_.file("in").c_str(), O_RDONLY);
        EXPECT_GE(fd_, 0);
    }
    ~FdInput() { fdclose(fd_); }
    int fd() const { return fd_; }
    // Everything left, read through the buffers.
    std::string rest() {
        std::string s;
        char buf[4096];
        int n;
        while ((n = fdread(fd_, buf, sizeof buf)) > 0) s.append(buf, n);
        return s;
    }

  private:
    ScratchDir dir_;
    int fd_ = -1;
};

TEST(FdHexDump, SameTextAsTheString) {
    const Bytes b = random_bytes(10000, 9);
    for (int l : {1, 3, 16, 17, 3840, 3841, 10000}) {
        EXPECT_EQ(fd_written([&](int fd) { fdhexdump(fd, b.data(), l); }),
                  taken(hexdump_string(0, b.data(), l)))
            << l;
    }
    EXPECT_EQ(fd_written([](int fd) { fdhexdump(fd, "abc", 3); }),
              "\t00000000  6162 63" + std::string(33, ' ') + "abc\n");
}

TEST(FdHexDump, NoBytesWritesNothing) {
    EXPECT_EQ(fd_written([](int fd) { fdhexdump(fd, "", 0); }), "");
}

TEST(FdHexDump, OnlyQueued) {
    ScratchDir dir;
    const std::string path = dir.file("out");
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    fdhexdump(fd, "abc", 3);
    EXPECT_EQ(testsupport::read_file(path), "");
    EXPECT_EQ(fdflush(fd), 55);
    EXPECT_EQ(testsupport::read_file(path).size(), 55u);
    fdclose(fd);
}

TEST(FdHexRead, RoundTrip) {
    const Bytes b = random_bytes(50000, 10);
    const Bytes blanks(100, 0x20);
    for (const Bytes *data : {&b, &blanks}) {
        for (int l : {1, 2, 15, 16, 17, 33, 100}) {
            const std::string text = fd_written([&](int fd) { fdhexdump(fd, data->data(), l); });
            FdInput in(text + "next\n");
            Bytes out(l + 8, 0xee);
            ASSERT_EQ(fdread_hexdump(in.fd(), out.data(), l), l) << l;
            EXPECT_TRUE(std::equal(data->begin(), data->begin() + l, out.begin())) << l;
            EXPECT_EQ(out[l], 0xee) << l;
            EXPECT_EQ(in.rest(), "next\n") << l;
        }
    }
    // Several dumps one after another, as a packet file holds them.
    const std::string text = fd_written([&](int fd) {
        fdhexdump(fd, b.data(), 50000);
        fdhexdump(fd, b.data() + 7, 9);
        fdhexdump(fd, b.data() + 100, 4097);
        fdwrite(fd, "end\n", 4);
    });
    FdInput in(text);
    Bytes out(50000);
    ASSERT_EQ(fdread_hexdump(in.fd(), out.data(), 50000), 50000);
    EXPECT_EQ(out, b);
    ASSERT_EQ(fdread_hexdump(in.fd(), out.data(), 9), 9);
    EXPECT_TRUE(std::equal(b.begin() + 7, b.begin() + 16, out.begin()));
    ASSERT_EQ(fdread_hexdump(in.fd(), out.data(), 4097), 4097);
    EXPECT_TRUE(std::equal(b.begin() + 100, b.begin() + 4197, out.begin()));
    char line[16];
    EXPECT_EQ(fdgets(in.fd(), line, sizeof line), 3);
    EXPECT_STREQ(line, "end");
}

TEST(FdHexRead, ReadsWhatTheStreamWriterWrote) {
    const Bytes b = random_bytes(1000, 11);
    FdInput in(printed([&](FILE *f) { Hexdump(f, 0x4000, b.data(), 1000); }));
    Bytes out(1000);
    ASSERT_EQ(fdread_hexdump(in.fd(), out.data(), 1000), 1000);
    EXPECT_EQ(out, b);
}

TEST(FdHexRead, LinesWithoutTheirNewline) {
    struct Case {
        std::string text;
        int l;
        std::vector<int> expect;
    };
    const Case cases[] = {
        // fdgets drops the newline, so a last group keeps its 4 digits;
        // then the line's tokens run out.
        {"0 0a0b\n0 0c0d\n", 4, {0x0a, 0x0b}},
        {"0 0a0b\n\n0 0c0d\n", 4, {0x0a, 0x0b}},
        {"0\n0 0c0d\n", 4, {}},
        {"0 0a0b", 2, {}},  // an unterminated line is no line
        {"", 2, {}},
        // The rest of a line beyond 1023 characters is discarded.
        {full_line(0).substr(0, 42) + std::string(2000, 'f') + "\nx 2021\n", 18,
         run(0, 16) + std::vector<int>{0x20, 0x21}},
    };
    for (const Case &c : cases) {
        FdInput in(c.text);
        Bytes out(c.l + 1);
        const int n = fdread_hexdump(in.fd(), out.data(), c.l);
        ASSERT_EQ(n, static_cast<int>(c.expect.size())) << c.text;
        for (int i = 0; i < n; ++i) EXPECT_EQ(out[i], c.expect[i]) << c.text << " byte " << i;
    }
}

TEST(FdAsciiDump, SameTextAsTheString) {
    const Bytes b = awkward_bytes(40000, 12);
    for (int l : {1, 80, 81, 16384, 40000}) {
        EXPECT_EQ(fd_written([&](int fd) { fdasciidump(fd, b.data(), l); }),
                  taken(asciistring(b.data(), l)))
            << l;
    }
    EXPECT_EQ(fd_written([](int fd) { fdasciidump(fd, "", 0); }), "\n");
    EXPECT_EQ(fd_written([](int fd) { fdasciidump(fd, "\t", 1); }), "\\0x09");
}

TEST(FdAsciiRead, RoundTripStopsBehindTheDump) {
    const Bytes b = awkward_bytes(70001, 13);
    const Bytes r = random_bytes(70001, 14);
    for (const Bytes *data : {&b, &r}) {
        for (int l : {1, 2, 5, 79, 80, 81, 1000, 16384, 16385, 70001}) {
            const std::string text = fd_written([&](int fd) {
                fdasciidump(fd, data->data(), l);
                fdwrite(fd, "TAIL", 4);
            });
            FdInput in(text);
            Bytes out(l + 8, 0xee);
            ASSERT_EQ(fdread_asciidump(in.fd(), out.data(), l), l) << l;
            EXPECT_TRUE(std::equal(data->begin(), data->begin() + l, out.begin())) << l;
            EXPECT_EQ(out[l], 0xee) << l;
            EXPECT_EQ(in.rest(), "TAIL") << l;
        }
    }
}

TEST(FdAsciiRead, HundredPrintableBytes) {
    std::string data;
    for (int i = 0; i < 100; ++i) data.push_back(static_cast<char>('a' + i % 26));
    const std::string text = fd_written([&](int fd) {
        fdasciidump(fd, data.data(), 100);
        fdwrite(fd, "\n", 1);
    });
    ASSERT_EQ(text, data.substr(0, 80) + "\n" + data.substr(80) + "\n");
    FdInput in(text);
    Bytes out(100);
    ASSERT_EQ(fdread_asciidump(in.fd(), out.data(), 100), 100);
    EXPECT_EQ(std::string(out.begin(), out.end()), data);
    EXPECT_EQ(fdgetc(in.fd()), '\n');
    EXPECT_EQ(fdgetc(in.fd()), -1);
}

TEST(FdAsciiRead, TabsOfBothWritersReadBackAsTabs) {
    const std::string data = "a\tb\t\t";
    const std::string raw = printed([&](FILE *f) { asciidump(f, data.data(), 5); });
    const std::string escaped = fd_written([&](int fd) { fdasciidump(fd, data.data(), 5); });
    EXPECT_EQ(raw, data);
    EXPECT_EQ(escaped, "a\\0x09b\\0x09\\0x09");
    for (const std::string *text : {&raw, &escaped}) {
        FdInput in(*text);
        Bytes out(5);
        ASSERT_EQ(fdread_asciidump(in.fd(), out.data(), 5), 5);
        EXPECT_EQ(std::string(out.begin(), out.end()), data);
        Bytes out2;
        ASSERT_EQ(read_ascii_text(*text, out2, 5), 5);
        EXPECT_EQ(std::string(out2.begin(), out2.begin() + 5), data);
    }
}

TEST(FdAsciiRead, ShortDump) {
    FdInput in("ab\\0x4");
    Bytes out(8);
    EXPECT_EQ(fdread_asciidump(in.fd(), out.data(), 5), 2);
    EXPECT_EQ(out[0], 'a');
    EXPECT_EQ(out[1], 'b');
}

TEST(FdAsciiRead, PipeDeliveringSmallPieces) {
    // Reads from a pipe return whatever has arrived, so escapes and line
    // breaks are split across reads anywhere.
    const Bytes b = awkward_bytes(5000, 15);
    const std::string text = taken(asciistring(b.data(), 5000)) + "TAIL";
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::thread writer([&] {
        for (std::size_t i = 0; i < text.size(); i += 7) {
            const std::size_t n = std::min<std::size_t>(7, text.size() - i);
            ASSERT_EQ(write(fds[1], text.data() + i, n), static_cast<ssize_t>(n));
        }
        close(fds[1]);
    });
    Bytes out(5000);
    const int n = fdread_asciidump(fds[0], out.data(), 5000);
    std::string rest;
    char buf[64];
    int got;
    while ((got = fdread(fds[0], buf, sizeof buf)) > 0) rest.append(buf, got);
    writer.join();
    fdclose(fds[0]);
    ASSERT_EQ(n, 5000);
    EXPECT_EQ(out, b);
    EXPECT_EQ(rest, "TAIL");
}

}  // namespace
