/* Values and small lookups.
 *
 * - The text form of a double that parameter files store (strdbl) and a
 *   strtod that also reads infinities and NaNs (fix_strtod).
 * - IEEE-754 special values and tests on them. The values are kept as
 *   big-endian 8-byte images and converted for the host, so they are exact
 *   whatever the host layout:
 *       positive infinity  0x7FF0000000000000
 *       negative infinity  0xFFF0000000000000
 *       signalling NaN     0x7FF0000000000001
 *       quiet NaN          0x7FFFFFFFFFFFFFFF
 * - Rounding to whole numbers and to 4 or 6 decimals, and of record offsets
 *   up to word and double-word multiples.
 * - Printable forms of bytes, lookups in small name/number tables and the
 *   reading of yes/no words.
 *
 * Nothing here keeps state: every call is safe from any thread.
 */
#ifndef BASALT_VALUES_H
#define BASALT_VALUES_H

#include <stdio.h>

#include "basalt_api.h"

BASALT_BEGIN_DECLS

/* One row of a name/number translation table. Callers own their tables
 * (an array of rows and its count). */
typedef struct Xlat {
    char *name;
    int num;
} Xlat;

/* ---- Numbers as text ---- */

/* Writes the text of x into buf and returns buf. Values from 0.001 to 1e10
 * are written in plain decimal notation with up to 15 significant digits;
 * others get an engineering exponent ("1.5e12", "500e-6"). A leading zero
 * is dropped (".25"); infinities are "Inf" and "-Inf", NaNs "Nan". Every
 * text fits in 32 bytes. */
BASALT_API char *strdbl(double x, char *buf);

/* strtod that also reads (case ignored, after leading blanks) "Inf",
 * "-Inf", "NaN" and "-NaN"; only those 3 or 4 characters are consumed.
 * *end, when end is given, points after the characters read (at in itself
 * when nothing could be read). */
BASALT_API double fix_strtod(const char *in, char **end);

/* ---- IEEE-754 special values ---- */

BASALT_API double an_infinity(void);     /* positive infinity */
BASALT_API double a_signaling_nan(void); /* the signalling NaN */
BASALT_API double a_quiet_nan(void);     /* the quiet NaN */
BASALT_API double a_nan(void);           /* the quiet NaN */

/* 1 when x is exactly positive (negative) infinity, else 0. */
BASALT_API int is_infinity(double x);
BASALT_API int is_negative_infinity(double x);
/* 1 when x is either infinity, else 0 (NaNs are not infinities). */
BASALT_API int is_inf(double x);
/* 1 when the exponent field of x is zero (zero or a subnormal), else 0. */
BASALT_API int is_denormalized(double x);

/* ---- Rounding ---- */

/* floor(x + 0.5) */
BASALT_API double dround(double x);
/* dround(x * 10000.0) * 0.0001 */
BASALT_API double d4round(double x);
/* dround(x * 1000000.0) * 0.000001 */
BASALT_API double d6round(double x);

/* i rounded up (toward positive infinity) to a multiple of 4, resp. 8.
 * Where the result does not fit in an int (i within 3, resp. 7, of
 * INT_MAX) it wraps around to the most negative multiple. */
BASALT_API int align_int(int i);
BASALT_API int align_double(int i);

/* ---- Printable bytes ---- */

/* The printable form of the byte c & 255: bytes 32 to 127, tab and newline
 * as themselves, every other byte as "\x" and two lower-case hex digits.
 * The text is a shared constant. */
BASALT_API const char *aprintchar(int c);

/* Prints the printable forms of at most n bytes of s, stopping at a zero
 * byte, then a newline. A null s prints only the newline. */
BASALT_API void aprintstr(FILE *file, const char *s, int n);

/* ---- Small lookups ---- */

/* The name of the first of the nxlat rows whose number is num, or null. */
BASALT_API char *xlatnum(int num, const Xlat *xlat, int nxlat);

/* The number of the first row whose name equals name (case-sensitive), or
 * -1. A null name matches nothing. */
BASALT_API int xlatname(const char *name, const Xlat *xlat, int nxlat);

/* Reads a yes/no word, case ignored, blanks significant: -1 for "yes",
 * "ok", "y", "true", "1", "on", "t"; 0 for "no", "n", "false", "0", "off",
 * "f"; 1 for anything else (a null s too). */
BASALT_API int yesno(const char *s);

BASALT_END_DECLS

#endif
