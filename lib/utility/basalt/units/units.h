/* Units of measure: a table of primitive units and of units defined as
 * multiples of products of powers of known units, read once per process
 * from the file "units" (found along UNITS, else the data search path), and
 * conversions of values between unit expressions.
 *
 * A unit is a factor and the powers of the primitive units: x in that unit
 * is x times the factor in the primitives raised to those powers. Names are
 * looked up whole, then without a plural "s" or "es", then after one of the
 * prefixes atto to tera.
 *
 * The tables, the scanner and the parser are process-wide; units_convert,
 * units_match and show_all_units hold the module's mutex while they use
 * them. The lower-level routines take no lock: call them from one thread.
 */
#ifndef BASALT_UNITS_H
#define BASALT_UNITS_H

#include "arrays.h"
#include "basalt_api.h"
#include "tbl.h"

BASALT_BEGIN_DECLS

/* At most this many primitive units. */
#define UNITS_MAX_PRIMITIVES 16

/* One unit of measure; also the value of every unit expression. */
typedef struct Basis {
    char name[32];                     /* at most 31 characters */
    double factor;                     /* size in primitive units */
    double offset;                     /* always 0.0 */
    int powers[UNITS_MAX_PRIMITIVES];  /* power of each primitive, in order
                                        * of declaration */
} Basis;

/* A decimal prefix. */
typedef struct Prefix {
    char *name;
    double val;
} Prefix;

/* Tokens of the units language beside single characters (their own codes)
 * and the end of the input (0). */
enum {
    UX_NUMBER = 257,
    UX_NAME = 258,
    UX_PRIMITIVE = 259,
    UX_EOL = 260
};

BASALT_API extern Arr *Units_arr;      /* every unit by name: Basis* */
BASALT_API extern Tbl *UnitsBasis_tbl; /* copies of the primitives, in order */
BASALT_API extern Basis *Units_x;      /* where a quantity statement stores */
BASALT_API extern char *Units_cp;      /* text read when no table file is open */

/* Converts in (in the units in_units) to the units want: 0 converted, with
 * out and out_units (" " and want) filled; 1 the dimensions differ (out and
 * out_units filled, out_units then also naming the difference); -1 an
 * expression did not parse or named an unknown unit. out_units must have
 * room for a blank, want and the difference. */
BASALT_API int units_convert(double in, char *in_units, char *want, double *out,
                             char *out_units);

/* A new list of the names (lent from Units_arr) of the units with the
 * dimensions of the expression input, sorted, less those named in input. */
BASALT_API Tbl *units_match(char *input);

/* Prints the primitive units and all units on standard output. */
BASALT_API void show_all_units(void);
BASALT_API void show_unit(Basis *unit);

/* 1 with the unit at *b and the prefix's value at *prefix when name is
 * known, else 0 with a record named "*NO*SUCH*UNIT*" at *b. Shortens and
 * restores name in place while it searches. */
BASALT_API int unit_found(char *name, Basis **b, double *prefix);

BASALT_API int match_unit(Basis *a, Basis *b);
BASALT_API void copy_basis(Basis *a, Basis *b);
BASALT_API Basis *new_basis(char *name);
BASALT_API Basis *add_unit(char *name);

/* The scanner and parser of the units language. UX_parse carries out one
 * statement: 0 at the end of the input, 1 after a definition, a primitive,
 * an empty line or a syntax error, 2 after a quantity. */
BASALT_API int UX_parse(void);
BASALT_API int UX_lex(void);
BASALT_API int UX_error(char *s);
BASALT_API int UX_wrap(void);

BASALT_END_DECLS

#endif
