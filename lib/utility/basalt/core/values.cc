// Values and small lookups: numbers as text, IEEE-754 special values,
// rounding, printable bytes, name/number tables and yes/no words.
#include "values.h"

#include <strings.h>

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kitbag.h"
#include "strtools.h"

namespace {

// Big-endian images of the special values.
constexpr unsigned char kInfinityImage[8] = {0x7F, 0xF0, 0, 0, 0, 0, 0, 0};
constexpr unsigned char kNegativeInfinityImage[8] = {0xFF, 0xF0, 0, 0, 0, 0, 0, 0};
constexpr unsigned char kSignalingNanImage[8] = {0x7F, 0xF0, 0, 0, 0, 0, 0, 0x01};
constexpr unsigned char kQuietNanImage[8] = {0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

constexpr std::uint64_t kSignBit = UINT64_C(0x8000000000000000);
constexpr std::uint64_t kExponentMask = UINT64_C(0x7FF0000000000000);

double from_image(const unsigned char (&image)[8]) {
    unsigned char bytes[8];
    std::memcpy(bytes, image, sizeof bytes);
    unsigned char *cursor = bytes;
    double value = 0.0;
    md2hd(&cursor, &value, 1);
    return value;
}

bool has_image(double x, const unsigned char (&image)[8]) {
    unsigned char bytes[8];
    unsigned char *cursor = bytes;
    hd2md(&x, &cursor, 1);
    return std::memcmp(bytes, image, sizeof bytes) == 0;
}

// The host's 64-bit image of a double (the same bits on every host whose
// doubles are IEEE-754 and ordered like its 64-bit integers).
std::uint64_t bits_of(double x) {
    std::uint64_t bits;
    static_assert(sizeof bits == sizeof x);
    std::memcpy(&bits, &x, sizeof bits);
    return bits;
}

// Texts of the 256 byte values.
struct PrintableForms {
    char text[256][5];
    constexpr PrintableForms() : text{} {
        constexpr char hex[] = "0123456789abcdef";
        for (int c = 0; c < 256; c++) {
            if ((c >= 32 && c <= 127) || c == '\t' || c == '\n') {
                text[c][0] = static_cast<char>(c);
            } else {
                text[c][0] = '\\';
                text[c][1] = 'x';
                text[c][2] = hex[c >> 4];
                text[c][3] = hex[c & 15];
            }
        }
    }
};
constexpr PrintableForms kPrintable;

// True when s, with every character lowered, equals the lower-case word.
bool lowered_equals(const char *s, const char *word) {
    for (;; s++, word++) {
        const int c = std::tolower(static_cast<unsigned char>(*s));
        if (c != static_cast<unsigned char>(*word)) return false;
        if (c == 0) return true;
    }
}

constexpr const char *kTrueWords[] = {"yes", "ok", "y", "true", "1", "on", "t"};
constexpr const char *kFalseWords[] = {"no", "n", "false", "0", "off", "f"};

}  // namespace

extern "C" {

char *strdbl(double x, char *buf) {
    int sign = 1;
    if (x < 0) {
        sign = -1;
        x = -x;
    }
    if (std::isinf(x)) {
        std::strcpy(buf, sign < 0 ? "-Inf" : "Inf");
        return buf;
    }
    if (std::isnan(x)) {
        std::strcpy(buf, "Nan");
        return buf;
    }

    bool with_exponent = false;
    int exponent = 0;
    if (x != 0 && (x > 10000000000.0 || x < 0.001)) {
        // x is finite and positive here: log10 lies within (-324, 309).
        const int e = static_cast<int>(std::log10(x) + 99.0) / 3 - 33;
        exponent = 3 * e;
        x /= std::pow(10.0, exponent);
        with_exponent = true;
    }

    // %.15g of a finite double takes at most 24 characters.
    char text[48];
    std::snprintf(text, sizeof text, "%.15g", sign * x);
    strtrim(text);
    const char *start = text;
    if (start[0] == '0' && start[1] != '\0') start++;

    char suffix[16] = "";
    if (with_exponent) std::snprintf(suffix, sizeof suffix, "e%d", exponent);
    const std::size_t length = std::strlen(start);
    std::memcpy(buf, start, length);
    std::memcpy(buf + length, suffix, std::strlen(suffix) + 1);
    return buf;
}

double fix_strtod(const char *in, char **end) {
    if (in == nullptr) {
        if (end != nullptr) *end = nullptr;
        return 0.0;
    }
    const char *s = in;
    while (*s == ' ') s++;

    struct Special {
        const char *word;
        std::size_t length;
        int which;
    };
    static constexpr Special kSpecials[] = {
        {"Inf", 3, 0}, {"-Inf", 4, 1}, {"NaN", 3, 2}, {"-NaN", 4, 3}};
    for (const Special &special : kSpecials) {
        if (strncasecmp(s, special.word, special.length) != 0) continue;
        if (end != nullptr) *end = const_cast<char *>(s + special.length);
        switch (special.which) {
            case 0: return an_infinity();
            case 1: return -an_infinity();
            case 2: return a_quiet_nan();
            default: return -a_quiet_nan();
        }
    }
    return std::strtod(in, end);
}

double an_infinity(void) { return from_image(kInfinityImage); }

double a_signaling_nan(void) { return from_image(kSignalingNanImage); }

double a_quiet_nan(void) { return from_image(kQuietNanImage); }

double a_nan(void) { return from_image(kQuietNanImage); }

int is_infinity(double x) { return has_image(x, kInfinityImage) ? 1 : 0; }

int is_negative_infinity(double x) { return has_image(x, kNegativeInfinityImage) ? 1 : 0; }

int is_inf(double x) { return (bits_of(x) & ~kSignBit) == kExponentMask ? 1 : 0; }

int is_denormalized(double x) { return (bits_of(x) & kExponentMask) == 0 ? 1 : 0; }

double dround(double x) { return std::floor(x + 0.5); }

double d4round(double x) { return dround(x * 10000.0) * 0.0001; }

double d6round(double x) { return dround(x * 1000000.0) * 0.000001; }

// Unsigned arithmetic: rounding up toward positive infinity in two's
// complement, without overflow near INT_MAX.
int align_int(int i) { return static_cast<int>((static_cast<unsigned>(i) + 3u) & ~3u); }

int align_double(int i) { return static_cast<int>((static_cast<unsigned>(i) + 7u) & ~7u); }

const char *aprintchar(int c) { return kPrintable.text[c & 255]; }

void aprintstr(FILE *file, const char *s, int n) {
    if (file == nullptr) return;
    if (s != nullptr) {
        for (int i = 0; i < n && s[i] != '\0'; i++)
            std::fputs(kPrintable.text[static_cast<unsigned char>(s[i])], file);
    }
    std::fputc('\n', file);
}

char *xlatnum(int num, const Xlat *xlat, int nxlat) {
    if (xlat == nullptr) return nullptr;
    for (int i = 0; i < nxlat; i++)
        if (xlat[i].num == num) return xlat[i].name;
    return nullptr;
}

int xlatname(const char *name, const Xlat *xlat, int nxlat) {
    if (name == nullptr || xlat == nullptr) return -1;
    for (int i = 0; i < nxlat; i++)
        if (xlat[i].name != nullptr && std::strcmp(xlat[i].name, name) == 0) return xlat[i].num;
    return -1;
}

int yesno(const char *s) {
    if (s == nullptr) return 1;
    for (const char *word : kTrueWords)
        if (lowered_equals(s, word)) return -1;
    for (const char *word : kFalseWords)
        if (lowered_equals(s, word)) return 0;
    return 1;
}

}  // extern "C"
