// State shared by the scanner, the parser and the library routines of the
// units module. All of it is used under the module's mutex.
#ifndef BASALT_UNITS_PRIVATE_H
#define BASALT_UNITS_PRIVATE_H

#include <string>

namespace basalt::units {

// Descriptor of the units table while it is read; -1 when none is open and
// the scanner reads Units_cp.
extern int UXfd;
// Errors reported since it was last set to 0.
extern int Error;
// Newlines passed, shown in error messages.
extern int lineno;

// The value of the token UX_lex returned last.
struct TokenValue {
    double number = 0;
    std::string text;
};
extern TokenValue yylval;

// Creates Units_arr and UnitsBasis_tbl when they are missing.
void make_tables();

// Discards the scanner's buffered input.
void restart_scanner();

}  // namespace basalt::units

#endif
