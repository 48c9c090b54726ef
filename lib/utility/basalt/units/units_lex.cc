// The scanner of the units language, the table of units and the library
// routines that convert, match and print units.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "alloc.h"
#include "arrays.h"
#include "installroot.h"
#include "elog.h"
#include "hooks.h"
#include "strtools.h"
#include "tbl.h"
#include "units.h"
#include "units_private.h"
#include "values.h"

Arr *Units_arr = nullptr;
Tbl *UnitsBasis_tbl = nullptr;
Basis *Units_x = nullptr;
char *Units_cp = nullptr;

namespace basalt::units {

int UXfd = -1;
int Error = 0;
int lineno = 1;
TokenValue yylval;

}  // namespace basalt::units

namespace {

using namespace basalt::units;

const Prefix prefixes[] = {
    {const_cast<char *>("atto"), 1e-18},  {const_cast<char *>("femto"), 1e-15},
    {const_cast<char *>("pico"), 1e-12},  {const_cast<char *>("nano"), 1e-9},
    {const_cast<char *>("micro"), 1e-6},  {const_cast<char *>("milli"), 0.001},
    {const_cast<char *>("centi"), 0.01},  {const_cast<char *>("deci"), 0.1},
    {const_cast<char *>("deka"), 10},     {const_cast<char *>("hecta"), 100},
    {const_cast<char *>("hecto"), 100},   {const_cast<char *>("kilo"), 1000},
    {const_cast<char *>("mega"), 1e6},    {const_cast<char *>("giga"), 1e9},
    {const_cast<char *>("tera"), 1e12},
};

Basis nobasis = {"*NO*SUCH*UNIT*", 1.0, 0.0, {}};
// Where a quantity statement of the table stores its value.
Basis scratch;
bool initialized = false;
std::mutex mutex;

int primitive_count() { return UnitsBasis_tbl != nullptr ? maxtbl(UnitsBasis_tbl) : 0; }

}  // namespace

namespace basalt::units {

void make_tables() {
    if (Units_arr == nullptr) Units_arr = newarr(nullptr);
    if (UnitsBasis_tbl == nullptr)
        UnitsBasis_tbl = inittbl(0, UNITS_MAX_PRIMITIVES, 1, nullptr, sizeof(Basis));
}

}  // namespace basalt::units

namespace {

// ---- The scanner ----

// Fills buf with up to max_size bytes of input: from the table file while
// one is open, else from the text at Units_cp, which it advances. 0 at the
// end.
int UX_my_yyinput(char *buf, int max_size) {
    if (UXfd != -1) {
        ssize_t n;
        do n = read(UXfd, buf, static_cast<std::size_t>(max_size));
        while (n < 0 && errno == EINTR);
        if (n < 0) {
            elog_log(1, "Reading the units table failed\n");
            return 0;
        }
        return static_cast<int>(n);
    }
    if (Units_cp == nullptr) return 0;
    std::size_t n = strnlen(Units_cp, static_cast<std::size_t>(max_size));
    std::memcpy(buf, Units_cp, n);
    Units_cp += n;
    return static_cast<int>(n);
}

// Input taken from UX_my_yyinput and not yet scanned.
struct Input {
    std::string text;
    std::size_t pos = 0;
    bool at_end = false;

    // True when the byte at pos + k is there, reading more as needed.
    bool has(std::size_t k) {
        while (pos + k >= text.size() && !at_end) {
            if (pos > 0) {
                text.erase(0, pos);
                pos = 0;
            }
            char chunk[8192];
            int n = UX_my_yyinput(chunk, sizeof chunk);
            if (n <= 0)
                at_end = true;
            else
                text.append(chunk, static_cast<std::size_t>(n));
        }
        return pos + k < text.size();
    }
    char at(std::size_t k) const { return text[pos + k]; }
};

Input input;

bool is_digit_or_point(char c) { return (c >= '0' && c <= '9') || c == '.'; }
bool is_name_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '$' || c == '%';
}

// Length of the optional exponent part ("e", a sign, digits) at offset k,
// 0 when there is none.
std::size_t exponent_length(std::size_t k) {
    if (!input.has(k) || input.at(k) != 'e') return 0;
    std::size_t j = k + 1;
    if (input.has(j) && (input.at(j) == '+' || input.at(j) == '-')) j++;
    std::size_t digits = j;
    while (input.has(j) && input.at(j) >= '0' && input.at(j) <= '9') j++;
    return j > digits ? j - k : 0;
}

// Length of a number at the scan position (0 when none starts there).
std::size_t number_length() {
    std::size_t k = 0;
    bool negative = input.at(0) == '-';
    if (negative) k = 1;
    std::size_t run = 0;
    while (input.has(k + run) && is_digit_or_point(input.at(k + run))) run++;
    if (negative && run == 0) return 0;
    std::size_t exponent = exponent_length(k + run);
    if (run == 0 && exponent == 0) return 0;
    return k + run + exponent;
}

std::size_t name_length() {
    std::size_t n = 0;
    while (input.has(n) && is_name_char(input.at(n))) n++;
    return n;
}

}  // namespace

namespace basalt::units {

void restart_scanner() { input = Input(); }

}  // namespace basalt::units

extern "C" int UX_lex(void) {
    for (;;) {
        if (!input.has(0)) return 0;
        char c = input.at(0);
        if (c == ' ' || c == '\t') {
            input.pos++;
            continue;
        }
        if (c == '\n') {
            input.pos++;
            lineno++;
            return UX_EOL;
        }
        if (c == '#') {
            // A comment runs to the newline; without one ahead it is no
            // comment, and "#" is an ordinary character.
            std::size_t k = 1;
            while (input.has(k) && input.at(k) != '\n') k++;
            if (input.has(k)) {
                input.pos += k;
                continue;
            }
        }
        std::size_t number = number_length();
        std::size_t name = name_length();
        if (number > 0 && number >= name) {
            std::string text = input.text.substr(input.pos, number);
            input.pos += number;
            yylval.number = std::strtod(text.c_str(), nullptr);
            return UX_NUMBER;
        }
        if (name > 0) {
            yylval.text = input.text.substr(input.pos, name);
            input.pos += name;
            return yylval.text == "Primitive" ? UX_PRIMITIVE : UX_NAME;
        }
        input.pos++;
        // A NUL byte of the table must not read as the end of the input.
        return c == '\0' ? 256 : static_cast<unsigned char>(c);
    }
}

extern "C" int UX_wrap(void) { return 1; }

extern "C" int UX_error(char *s) {
    elog_log(0, "%s : %s near line #%d\n", "metrion", s, lineno);
    Error++;
    return -1;
}

// ---- Units and names ----

namespace {

// 1 when a prefix begins name: the rest of the name at np, its value at
// prefix.
int prefixed(char *name, char **np, double *prefix) {
    for (const Prefix &p : prefixes) {
        std::size_t n = std::strlen(p.name);
        if (std::strncmp(name, p.name, n) == 0) {
            *np = name + n;
            *prefix = p.val;
            return 1;
        }
    }
    return 0;
}

Basis *lookup(const char *name) {
    return Units_arr != nullptr ? static_cast<Basis *>(getarr(Units_arr, name)) : nullptr;
}

}  // namespace

extern "C" {

int unit_found(char *name, Basis **b, double *prefix) {
    *b = &nobasis;
    *prefix = 1.0;
    if (name == nullptr || name[0] == '\0') elog_die(0, "unit_found: name = 0");
    std::size_t n = std::strlen(name);
    Basis *found = lookup(name);
    bool dropped_s = false, dropped_e = false;
    if (found == nullptr && name[n - 1] == 's') {
        name[n - 1] = '\0';
        dropped_s = true;
        found = lookup(name);
        if (found == nullptr && n >= 2 && name[n - 2] == 'e') {
            name[n - 2] = '\0';
            dropped_e = true;
            found = lookup(name);
        }
    }
    char *rest;
    if (found == nullptr && prefixed(name, &rest, prefix)) {
        found = lookup(rest);
        if (found == nullptr && dropped_e) {
            name[n - 2] = 'e';
            found = lookup(rest);
        }
        if (found == nullptr && dropped_s) {
            name[n - 1] = 's';
            found = lookup(rest);
        }
        if (found == nullptr) return 0;
    } else if (found == nullptr) {
        return 0;
    }
    *b = found;
    return 1;
}

int match_unit(Basis *a, Basis *b) {
    int n = primitive_count();
    for (int i = 0; i < n; i++)
        if (a->powers[i] != b->powers[i]) return 0;
    return 1;
}

void copy_basis(Basis *a, Basis *b) {
    int n = primitive_count();
    for (int i = 0; i < n; i++) a->powers[i] = b->powers[i];
}

Basis *new_basis(char *name) {
    Basis *b = BASALT_NEW_RECORD(Basis, "b");
    std::snprintf(b->name, sizeof b->name, "%s", name);
    b->factor = 1.0;
    b->offset = 0.0;
    return b;
}

Basis *add_unit(char *name) {
    make_tables();
    Basis *b = new_basis(name);
    Basis *old = static_cast<Basis *>(setarr(Units_arr, name, b));
    if (old != nullptr) {
        elog_complain(0, "replacing definition for %s", name);
        std::free(old);
    }
    return b;
}

}  // extern "C"

// ---- Loading the table and parsing expressions ----

namespace {

// Loads the units table once per process; the caller holds the mutex.
void units_init() {
    if (initialized) return;
    Units_x = &scratch;
    make_tables();
    initialized = true;
    char *path = datafile("UNITS", "units");
    if (path == nullptr) elog_die(0, "Can't find units table");
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) elog_die(1, "Can't open units table %s", path);
    std::free(path);
    UXfd = fd;
    lineno = 1;
    restart_scanner();
    Error = 0;
    while (UX_parse() == 1 && Error == 0) {
    }
    close(fd);
    UXfd = -1;
    restart_scanner();
}

// Parses one expression into target (zeroed first); line is what messages
// show as the line. True when it parsed without error.
bool parse_expression(const char *text, Basis *target, int line) {
    std::memset(target, 0, sizeof *target);
    char *copy = strconcat(" ", text != nullptr ? text : "", nullptr);
    Units_cp = copy;
    UXfd = -1;
    Error = 0;
    Units_x = target;
    lineno = line;
    restart_scanner();
    int result = UX_parse();
    bool ok = Error == 0 && (result == 1 || result == 2);
    restart_scanner();
    Units_cp = nullptr;
    Units_x = &scratch;
    std::free(copy);
    return ok;
}

}  // namespace

extern "C" {

int units_convert(double in, char *in_units, char *want, double *out, char *out_units) {
    std::lock_guard<std::mutex> hold(mutex);
    units_init();
    Basis from, to;
    bool from_ok = parse_expression(in_units, &from, -1);
    bool to_ok = parse_expression(want, &to, -2);
    if (!from_ok || !to_ok) return -1;
    *out = in * from.factor / to.factor;
    std::string text = " ";
    if (want != nullptr) text += want;
    int result = 0;
    int n = primitive_count();
    for (int i = 0; i < n; i++) {
        std::int64_t d = static_cast<std::int64_t>(from.powers[i]) - to.powers[i];
        if (d == 0) continue;
        result = 1;
        text += " ";
        text += static_cast<Basis *>(gettbl(UnitsBasis_tbl, i))->name;
        if (d != 1) {
            char power[32];
            std::snprintf(power, sizeof power, "^%lld ", static_cast<long long>(d));
            text += power;
        }
    }
    std::memcpy(out_units, text.c_str(), text.size() + 1);
    return result;
}

Tbl *units_match(char *input_text) {
    std::lock_guard<std::mutex> hold(mutex);
    units_init();
    Tbl *list = newtbl(0);
    Basis target;
    if (!parse_expression(input_text, &target, -1)) return list;
    Tbl *names = keysarr(Units_arr);
    for (int i = 0; i < maxtbl(names); i++) {
        char *name = static_cast<char *>(gettbl(names, i));
        if (!match_unit(lookup(name), &target)) continue;
        Hook *hook = nullptr;
        int named = strcontains(input_text, name, &hook, nullptr, nullptr);
        free_hook(&hook);
        if (named == 0) pushtbl(list, name);
    }
    freetbl(names, nullptr);
    return list;
}

void show_unit(Basis *unit) {
    if (unit == nullptr) {
        std::printf("unit=0\n");
        return;
    }
    char factor[128];
    std::printf("  %-20s %-20s", unit->name, strdbl(unit->factor, factor));
    int n = primitive_count();
    for (int i = 0; i < n; i++) std::printf(" %3d", unit->powers[i]);
    std::printf("\n");
}

void show_all_units(void) {
    std::lock_guard<std::mutex> hold(mutex);
    units_init();
    int n = primitive_count();
    std::printf("\n%d basis units\n", n);
    for (int i = 0; i < n; i++) show_unit(static_cast<Basis *>(gettbl(UnitsBasis_tbl, i)));
    Tbl *names = keysarr(Units_arr);
    std::printf("\n%d total units\n", maxtbl(names));
    for (int i = 0; i < maxtbl(names); i++)
        show_unit(lookup(static_cast<char *>(gettbl(names, i))));
    freetbl(names, nullptr);
    std::printf("\n");
}

}  // extern "C"
