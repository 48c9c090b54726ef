// Conversion between the stored form of a field and a program value, and
// between a program value and printable text.
//
// Text fields are fixed-width and blank-padded. Binary fields hold host
// values, moved with memcpy (a field need not be aligned), except Bshort,
// which is always low byte first. Formats come from schemas: a format is
// used only when it holds exactly one conversion fit for the value
// (flags, width and precision allowed, length modifiers dropped), so that a
// bad format can never read a wrong argument.
#include <cfloat>
#include <cstdint>
#include <cstdio>

#include "ledgeform_private.h"

namespace ledgeform {

namespace {

constexpr std::size_t kFormatBuffer = 1024;

bool is_conversion_of(char c, char kind) {
    switch (kind) {
        case 'i': return c != '\0' && std::strchr("diouxXc", c) != nullptr;
        case 'd': return c != '\0' && std::strchr("eEfFgGaA", c) != nullptr;
        default: return c == 's';
    }
}

// Copies fmt into out (which holds strlen(fmt) + 1 bytes) without length
// modifiers; true when it holds exactly one conversion of the kind and no
// width or precision longer than four digits.
bool sanitize(const char *fmt, char kind, char *out) {
    int conversions = 0;
    const char *p = fmt;
    char *o = out;
    while (*p != '\0') {
        if (*p != '%') {
            *o++ = *p++;
            continue;
        }
        if (p[1] == '%') {
            *o++ = *p++;
            *o++ = *p++;
            continue;
        }
        *o++ = *p++;
        while (*p != '\0' && std::strchr("-+ #0'", *p) != nullptr) *o++ = *p++;
        for (int digits = 0; *p >= '0' && *p <= '9'; digits++) {
            if (digits == 4) return false;
            *o++ = *p++;
        }
        if (*p == '.') {
            *o++ = *p++;
            for (int digits = 0; *p >= '0' && *p <= '9'; digits++) {
                if (digits == 4) return false;
                *o++ = *p++;
            }
        }
        while (*p != '\0' && std::strchr("hlLqjzt", *p) != nullptr) p++;
        if (!is_conversion_of(*p, kind)) return false;
        *o++ = *p++;
        conversions++;
    }
    *o = '\0';
    return conversions == 1;
}

// The format to use: fmt when usable, else dflt, else the plain one; an
// empty or null fmt without default gives null (empty text).
template <typename Use>
void with_format(const char *fmt, const char *dflt, char kind, const char *plain, Use use) {
    if (fmt == nullptr || *fmt == '\0') {
        use(dflt);
        return;
    }
    WorkBuffer clean(std::strlen(fmt) + 1, "format");
    use(sanitize(fmt, kind, clean.get()) ? clean.get() : dflt ? dflt : plain);
}

}  // namespace

void format_int(char *buf, std::size_t size, const char *fmt, const char *dflt, int v) {
    with_format(fmt, dflt, 'i', "%d", [&](const char *f) {
        if (f == nullptr)
            buf[0] = '\0';
        else
            std::snprintf(buf, size, f, v);
    });
}

void format_double(char *buf, std::size_t size, const char *fmt, const char *dflt, double v) {
    with_format(fmt, dflt, 'd', "%g", [&](const char *f) {
        if (f == nullptr)
            buf[0] = '\0';
        else
            std::snprintf(buf, size, f, v);
    });
}

void format_string(char *buf, std::size_t size, const char *fmt, const char *s) {
    with_format(fmt, "%s", 's', "%s", [&](const char *f) { std::snprintf(buf, size, f, s ? s : ""); });
}

Dbptr read_dbptr(const char *text) {
    int m[4] = {dbINVALID, dbINVALID, dbINVALID, dbINVALID};
    std::sscanf(text, "%d %d %d %d", &m[0], &m[1], &m[2], &m[3]);
    return make_dbptr(m[0], m[1], m[2], m[3]);
}

}  // namespace ledgeform

using namespace ledgeform;

namespace {

bool too_narrow(int type, int width) {
    if (width >= binary_size(type)) return false;
    elog_log(0, "field of %d bytes can't hold type %d\n", width, type);
    return true;
}

float to_float(double d) {
    if (d > FLT_MAX && d <= DBL_MAX) return FLT_MAX;
    if (d < -FLT_MAX && d >= -DBL_MAX) return -FLT_MAX;
    return static_cast<float>(d);
}

// Logs a type no conversion knows; `storing` picks the message of the
// converters into stored form and text.
int unimplemented(int type, bool storing) {
    if (type == kWaveform)
        elog_log(0, "Waveform not implemented yet.\n");
    else if (type == kResponse)
        elog_log(0, "Response not implemented yet.\n");
    else if (storing)
        elog_log(0, "bad type %d\n", type);
    else
        elog_log(0, "invalid type code %d", type);
    return dbINVALID;
}

// A plain decimal ("-12.5", "1700000000.25000") of at most 15 digits
// filling [p, end): the digits as an integer and the power of ten are exact
// doubles, so their quotient is the correctly rounded value, as strtod
// gives it.
bool read_plain_decimal(const char *p, const char *end, double *value) {
    static const double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                     1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    bool negative = p < end && *p == '-';
    if (p < end && (*p == '-' || *p == '+')) p++;
    // Digits beyond 19 wrap the sum; the count refuses them below.
    uint64_t digits = 0;
    const char *first = p;
    for (unsigned d; p < end && (d = static_cast<unsigned char>(*p) - '0') <= 9; p++)
        digits = digits * 10 + d;
    std::ptrdiff_t ndigits = p - first, decimals = 0;
    if (p < end && *p == '.') {
        const char *point = ++p;
        for (unsigned d; p < end && (d = static_cast<unsigned char>(*p) - '0') <= 9; p++)
            digits = digits * 10 + d;
        decimals = p - point;
        ndigits += decimals;
    }
    if (p != end || ndigits == 0 || ndigits > 15) return false;
    double v = static_cast<double>(digits);
    if (decimals > 0) v /= kPowers[decimals];
    *value = negative ? -v : v;
    return true;
}

bool read_plain_decimal(const char *text, double *value) {
    return read_plain_decimal(text, text + std::strlen(text), value);
}

// The bytes of a stored text field without its padding, as copystrip
// leaves them: up to the first NUL, without leading and trailing blanks.
void stripped_span(const char *stored, int width, const char **begin, const char **end) {
    std::size_t n = width > 0 ? strnlen(stored, static_cast<std::size_t>(width)) : 0;
    const char *b = stored, *e = stored + n;
    while (b < e && *b == ' ') b++;
    while (e > b && e[-1] == ' ') e--;
    *begin = b;
    *end = e;
}

// atoi of a stored integer field of at most nine digits, read in place; false
// for a text this does not cover (the caller reads it the long way).
bool read_short_int(const char *stored, int width, int *value) {
    const char *p = stored, *end = stored + (width > 0 ? width : 0);
    while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) p++;
    if (p < end && static_cast<unsigned char>(*p) >= 0x80) return false;  // the locale's spaces
    bool negative = p < end && *p == '-';
    if (p < end && (*p == '-' || *p == '+')) p++;
    int v = 0, ndigits = 0;
    for (; p < end; p++) {
        unsigned d = static_cast<unsigned char>(*p) - static_cast<unsigned>('0');
        if (d > 9) break;
        if (++ndigits > 9) return false;
        v = v * 10 + static_cast<int>(d);
    }
    *value = negative ? -v : v;
    return true;
}

// A real in text: the value, and whether the whole text (but white space
// after it) was a number.
bool read_real(const char *text, double *value) {
    if (read_plain_decimal(text, value)) return true;
    char *end = nullptr;
    *value = fix_strtod(text, &end);
    return end != nullptr && end != text && whitespace(end);
}

double read_time(const char *text) {
    double value = 0.0;
    if (read_real(text, &value)) return value;
    if (std::strcmp(text, "-") == 0 || blank(text)) return 0.0;
    return str2epoch(const_cast<char *>(text));
}

// Stores a binary value from its program value; false for another type.
bool store_binary(void *value, char *stored, int type) {
    switch (type) {
        case kBfloat: {
            float f = to_float(*static_cast<double *>(value));
            std::memcpy(stored, &f, sizeof f);
            return true;
        }
        case kBdouble: std::memcpy(stored, value, sizeof(double)); return true;
        case kBshort: {
            unsigned v = static_cast<unsigned>(*static_cast<int *>(value));
            stored[0] = static_cast<char>(v & 0xff);
            stored[1] = static_cast<char>((v >> 8) & 0xff);
            return true;
        }
        case kBint: std::memcpy(stored, value, sizeof(int32_t)); return true;
        case kDbptrType: std::memcpy(stored, value, sizeof(Dbptr)); return true;
        default: return false;
    }
}

bool load_binary(const char *stored, void *value, int type) {
    switch (type) {
        case kBfloat: {
            float f;
            std::memcpy(&f, stored, sizeof f);
            *static_cast<double *>(value) = f;
            return true;
        }
        case kBdouble: std::memcpy(value, stored, sizeof(double)); return true;
        case kBshort: {
            auto lo = static_cast<unsigned char>(stored[0]);
            auto hi = static_cast<unsigned char>(stored[1]);
            *static_cast<int *>(value) = static_cast<int16_t>(static_cast<uint16_t>(lo | hi << 8));
            return true;
        }
        case kBint: std::memcpy(value, stored, sizeof(int32_t)); return true;
        case kDbptrType: std::memcpy(value, stored, sizeof(Dbptr)); return true;
        default: return false;
    }
}

// Text formatting shared by dbc2d and dbc2p; dflt null leaves an empty
// format empty.
int format_text(void *value, char *dest, int width, const char *format, int type,
                const char *int_default, const char *real_default) {
    char buf[kFormatBuffer];
    switch (type) {
        case dbSTRING: {
            const char *s = *static_cast<char **>(value);
            sncopy(dest, s ? s : "", width);
            return 0;
        }
        case dbINTEGER:
        case dbYEARDAY:
            format_int(buf, sizeof buf, format, int_default, *static_cast<int *>(value));
            break;
        case dbREAL:
        case dbTIME:
            format_double(buf, sizeof buf, format, real_default, *static_cast<double *>(value));
            break;
        default: return 1;
    }
    sncopy(dest, buf, width);
    return 0;
}

}  // namespace

extern "C" {

int dbc2d(void *value, char *stored, int width, const char *format, int type) {
    int rc = format_text(value, stored, width, format, type, "%d", "%e");
    if (rc <= 0) return rc;
    if (binary_size(type) == 0) return unimplemented(type, true);
    if (too_narrow(type, width)) return dbINVALID;
    store_binary(value, stored, type);
    return 0;
}

int dbd2c(const char *stored, int width, void *value, int type) {
    if (binary_size(type) > 0) {
        if (too_narrow(type, width)) return dbINVALID;
        load_binary(stored, value, type);
        return 0;
    }
    switch (type) {
        case dbSTRING: copystrip(static_cast<char *>(value), stored, width); return 0;
        case dbINTEGER:
        case dbYEARDAY:
        case kOffdateKey: {
            if (read_short_int(stored, width, static_cast<int *>(value))) return 0;
            WorkBuffer text(static_cast<std::size_t>(width) + 1, "temp");
            szcopy(text.get(), stored, width);
            *static_cast<int *>(value) = std::atoi(text.get());
            return 0;
        }
        case dbREAL:
        case dbTIME: {
            const char *begin = nullptr, *end = nullptr;
            stripped_span(stored, width, &begin, &end);
            if (read_plain_decimal(begin, end, static_cast<double *>(value))) return 0;
            WorkBuffer text(static_cast<std::size_t>(width) + 1, "temp");
            copystrip(text.get(), stored, width);
            auto *out = static_cast<double *>(value);
            if (type == dbTIME) {
                *out = read_time(text.get());
                return 0;
            }
            return read_real(text.get(), out) ? 0 : dbINVALID;
        }
        default: return unimplemented(type, false);
    }
}

int dbc2p(void *value, char *text, int width, const char *format, int type) {
    int rc = format_text(value, text, width, format, type, nullptr, nullptr);
    if (rc <= 0) return rc;
    char buf[kFormatBuffer];
    switch (type) {
        case kBfloat:
        case kBdouble:
            format_double(buf, sizeof buf, format, "%g", *static_cast<double *>(value));
            break;
        case kBshort:
        case kBint: format_int(buf, sizeof buf, format, "%d", *static_cast<int *>(value)); break;
        case kDbptrType: {
            const Dbptr *p = static_cast<Dbptr *>(value);
            std::snprintf(buf, sizeof buf, "%d %d %d %d", p->database, p->table, p->field,
                          p->record);
            break;
        }
        default: return unimplemented(type, true);
    }
    sncopy(text, buf, width);
    return 0;
}

int dbp2c(const char *text, int width, void *value, int type) {
    switch (type) {
        case dbSTRING: copystrip(static_cast<char *>(value), text, width); return 0;
        case dbINTEGER:
        case dbYEARDAY:
        case kBshort:
        case kBint: {
            WorkBuffer copy(static_cast<std::size_t>(width) + 1, "temp");
            szcopy(copy.get(), text, width);
            *static_cast<int *>(value) = std::atoi(copy.get());
            return 0;
        }
        case dbREAL:
        case dbTIME:
        case kBfloat:
        case kBdouble: {
            WorkBuffer copy(static_cast<std::size_t>(width) + 1, "temp");
            szcopy(copy.get(), text, width);
            auto *out = static_cast<double *>(value);
            if (type == dbTIME) {
                *out = read_time(copy.get());
                return 0;
            }
            return read_real(copy.get(), out) ? 0 : dbINVALID;
        }
        case kDbptrType: {
            WorkBuffer copy(static_cast<std::size_t>(width) + 1, "temp");
            szcopy(copy.get(), text, width);
            *static_cast<Dbptr *>(value) = read_dbptr(copy.get());
            return 0;
        }
        default: return unimplemented(type, false);
    }
}

}  // extern "C"
