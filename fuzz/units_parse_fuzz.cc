// Fuzz target for the units language: whatever texts a caller converts or
// matches (the input up to its first "|" is the unit to convert from, the
// rest the unit wanted) must neither crash, leak nor hang, also when a text
// holds statements that define or declare units. A small table is loaded
// first.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "elog.h"
#include "tbl.h"
#include "units.h"

namespace {

const char kTable[] =
    "Primitive m\nPrimitive kg\nPrimitive s\n"
    "km = 1000 m\ninch = 0.0254 m\nmin = 60 s\nHz = / s\nN = kg m / s^2\n"
    "gram = 0.001 kg\nmeter = m\nmile = 5280 12 inch\n";

void setup_once() {
    static bool done = false;
    if (done) return;
    done = true;
    elog_init(0, nullptr);
    elog_set(ELOG_MAXMSG, 0, nullptr);
    elog_set(ELOG_DELIVER, 2, const_cast<char *>("/dev/null"));
    char dir[] = "/tmp/units_fuzz_XXXXXX";
    if (mkdtemp(dir) == nullptr) std::abort();
    std::string path = std::string(dir) + "/units";
    FILE *f = std::fopen(path.c_str(), "w");
    if (f == nullptr) std::abort();
    std::fputs(kTable, f);
    std::fclose(f);
    setenv("UNITS", dir, 1);
    // Load it now, then leave the directory as it was found.
    double x;
    char u[64];
    units_convert(1, const_cast<char *>("km"), const_cast<char *>("m"), &x, u);
    unlink(path.c_str());
    rmdir(dir);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    setup_once();
    // Two texts split at the first "|" (zero bytes end a text, as they end
    // a caller's string).
    std::string text(reinterpret_cast<const char *>(data), size);
    std::size_t bar = text.find('|');
    std::string from = text.substr(0, bar);
    std::string want = bar == std::string::npos ? "m" : text.substr(bar + 1);
    double out = 0;
    // Room for a blank, the wanted text and a difference in every primitive.
    std::string units(want.size() + 16 * 48 + 8, '\0');
    units_convert(1.5, from.data(), want.data(), &out, units.data());
    Tbl *names = units_match(from.data());
    freetbl(names, nullptr);
    elog_clear();
    return 0;
}
