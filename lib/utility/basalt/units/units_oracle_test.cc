// Conversions with the table the installation carries, checked against GNU
// units for units that both tables define alike. (Not the parsec: ours is
// 648000/pi au, GNU units' au/tan(1 arcsecond), 8e-12 apart.)
#include "units.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "child.h"
#include "elog_capture.h"

namespace {

struct Conversion {
    double in;
    const char *from, *to;
};

const Conversion kConversions[] = {
    {1, "mile", "km"},          {1, "foot", "m"},          {1, "nauticalmile", "m"},
    {1, "julianyear", "s"},     {1, "gallon", "liter"},    {1, "pound", "kg"},
    {1, "grain", "mg"},         {1, "tonne", "pound"},     {1, "atm", "Pa"},
    {1, "bar", "psi"},          {1, "torr", "Pa"},         {1, "lbf", "N"},
    {1, "calorie", "J"},        {1, "kWh", "MJ"},          {1, "eV", "J"},
    {1, "horsepower", "W"},     {1, "degree", "radian"},   {1, "arcsec", "radian"},
    {1, "revolution", "degree"}, {1, "rpm", "Hz"},         {1, "knot", "m/s"},
    {1, "mph", "km/hour"},      {1, "gravity", "m/s^2"},   {1, "lightyear", "m"},
    {1, "au", "km"},            {1, "angstrom", "nm"},
    {1, "fathom", "foot"},      {1, "hectare", "m^2"},     {1, "gauss", "tesla"},
    {1, "MPa", "bar"},          {1, "dyne", "N"},          {1, "erg", "J"},
    {1, "ounce", "g"},          {1, "psi", "kPa"},         {1, "week", "hour"},
    {1, "fortnight", "day"},    {3, "kg m / s^2", "N"},    {1, "kgf", "N"},
    {1, "quart", "liter"},      {1, "pint", "cc"},         {1, "micron", "m"},
    {1, "coulomb", "A s"},      {1, "tesla", "Wb/m^2"},    {2.5, "kilometers", "mile"},
    {1, "lux", "lumen/m^2"},    {1, "arcminute", "degree"}, {7.5, "inches", "cm"},
    {1, "joule", "eV"},         {12, "hours", "minutes"},  {1, "liter", "cm^3"},
    {1, "watt", "horsepower"},  {65, "mph", "m/s"},        {1, "kHz", "Hz"},
};

// GNU units' answer, or NaN when it gives none.
double oracle(const Conversion &c) {
    char command[512];
    std::snprintf(command, sizeof command, "'%s' -t -d 15 '%.17g %s' '%s' 2>/dev/null",
                  GNU_UNITS_PROGRAM, c.in, c.from, c.to);
    FILE *p = popen(command, "r");
    if (p == nullptr) return NAN;
    char line[256] = "";
    char *got = std::fgets(line, sizeof line, p);
    pclose(p);
    char *end;
    double value = got != nullptr ? std::strtod(line, &end) : NAN;
    return got != nullptr && end != line ? value : NAN;
}

TEST(UnitsOracle, AgreesWithGnuUnits) {
    if (std::string(GNU_UNITS_PROGRAM).empty()) GTEST_SKIP() << "GNU units is not installed";
    // Ours, computed in a child that loads the installed table.
    auto r = testsupport::in_child([] {
        setenv("UNITS", UNITS_TABLE_DIR, 1);
        for (const Conversion &c : kConversions) {
            double x = NAN;
            char u[256];
            int result = units_convert(c.in, const_cast<char *>(c.from),
                                       const_cast<char *>(c.to), &x, u);
            std::printf("%d %.17g\n", result, x);
        }
    });
    const char *text = r.out.c_str();
    int compared = 0;
    for (const Conversion &c : kConversions) {
        char *end;
        long result = std::strtol(text, &end, 10);
        double ours = std::strtod(end, &end);
        text = end;
        double theirs = oracle(c);
        ASSERT_FALSE(std::isnan(theirs)) << "GNU units gave no answer for " << c.from;
        EXPECT_EQ(result, 0) << c.from << " -> " << c.to;
        // GNU units prints 15 significant digits.
        EXPECT_NEAR(ours, theirs, std::fabs(theirs) * 1e-13)
            << c.in << " " << c.from << " -> " << c.to;
        compared++;
    }
    std::printf("compared %d conversions with GNU units, relative tolerance 1e-13\n", compared);
}

}  // namespace
