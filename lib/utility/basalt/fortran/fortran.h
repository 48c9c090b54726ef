/* The bindings through which Fortran programs call the library.
 *
 * For a routine X the binding X_ takes every argument by address, and each
 * string as a blank-padded buffer (no terminator) whose length comes, as a
 * size_t, after all other arguments, in the order of the strings. A string
 * result is written blank-padded into the binding's first argument. Fifteen
 * bindings also answer to the name with a second underscore, as compilers
 * that add two to names holding one call them.
 *
 * Lists (Tbl), associative arrays (Arr) and parameter-file trees (Pf) reach
 * the Fortran caller as handles: positive integers that stand for the object
 * in a process-wide handle table, never as pointers, so that they fit the
 * caller's integer whatever the width of a pointer. A binding given a handle
 * that is not that of a live object of the kind it expects complains and
 * does nothing. Handle 0 stands for no object.
 *
 * The string bridge converts between the two kinds of string:
 * - newcs: a new C string from a buffer of n bytes, without its trailing
 *   blanks, stopped at a NUL byte (n of 0 gives the empty string);
 * - cs2fs: a C string into a buffer of nmax bytes, cut or blank-filled;
 * - fs2cs: a buffer of nmax bytes into room for nmax + 1, terminated after
 *   the last byte that is not a blank;
 * - strcpy_pad: srcmax bytes into a buffer of dstmax, filled with pad.
 *
 * The bindings keep no state and are as safe for threads as the routines
 * they call; the handle table has a mutex of its own.
 */
#ifndef BASALT_FORTRAN_H
#define BASALT_FORTRAN_H

#include <stddef.h>

#include "arrays.h"
#include "basalt_api.h"
#include "tbl.h"

BASALT_BEGIN_DECLS

/* ---- The string bridge ---- */
BASALT_API char *newcs(char *fs, int n);
BASALT_API int cs2fs(char *dst, char *src, int nmax);
BASALT_API int fs2cs(char *dst, char *src, int nmax);
BASALT_API int strcpy_pad(char *dst, int dstmax, char *src, int srcmax, int pad);

/* ---- Handles ---- */

/* Kinds of object a handle stands for. */
#define FHANDLE_TBL 1
#define FHANDLE_ARR 2
#define FHANDLE_PF 3

/* The handle of an object the Fortran caller owns (the bindings that free
 * objects accept it); 0 for a null object. An object already in the table
 * keeps its handle. */
BASALT_API int fhandle_put(void *object, int kind);

/* The handle of an object lent to the caller: the freeing bindings refuse
 * it. When owner is the handle of a tree, the lent handle is forgotten with
 * it. */
BASALT_API int fhandle_lend(void *object, int kind, int owner);

/* The object a handle stands for; null, after a complaint naming caller,
 * when the handle is not that of a live object of that kind. */
BASALT_API void *fhandle_get(int handle, int kind, const char *caller);

/* Forgets a handle and the handles lent with it; 0, or -1 when it was not
 * live. The object is left alone. */
BASALT_API int fhandle_drop(int handle);

/* ---- The error log ---- */
BASALT_API void elog_init_(void);
BASALT_API void eloginit_(void);
BASALT_API void elog_init__(void);
BASALT_API void clear_register_(int flag);
BASALT_API void clear_register__(int flag);
BASALT_API void die_(int *sysflag, char *message, size_t message_len);
BASALT_API void die__(int *sysflag, char *message, size_t message_len);
BASALT_API void register_error_(int *sysflag, char *message, size_t message_len);
BASALT_API void register_error__(int *sysflag, char *message, size_t message_len);
BASALT_API void complain_(int *sysflag, char *message, size_t message_len);
BASALT_API void complain__(int *sysflag, char *message, size_t message_len);

/* ---- Data files ---- */
BASALT_API void datafile_(char *result, char *envname, char *filename, size_t result_len,
                          size_t envname_len, size_t filename_len);
BASALT_API void datapath_(char *result, char *envname, char *dirname, char *filename,
                          char *suffix, size_t result_len, size_t envname_len,
                          size_t dirname_len, size_t filename_len, size_t suffix_len);
BASALT_API int newdata_(char *returnpath, char *envname, char *dirname, char *filename,
                        char *suffix, size_t returnpath_len, size_t envname_len,
                        size_t dirname_len, size_t filename_len, size_t suffix_len);
BASALT_API int match_stachans_(char *stachans, char *sta, char *chan, size_t stachans_len,
                               size_t sta_len, size_t chan_len);

/* ---- Sorting and searching ---- */
BASALT_API void isort_(void *a, int *n, int *size, int (*compare)(void *a, void *b, void *pvt),
                       void *pvt);
BASALT_API void shellsort_(void *a, int *n, int *size,
                           int (*compare)(void *a, void *b, void *pvt), void *pvt);
BASALT_API void qsort_(void *base, int count, int size,
                       int (*compare)(const void *a, const void *b));
BASALT_API int ssearch_(void *key, int *keysize, void *index, int *nkeys, int *unique,
                        int (*compare)(void *key, void *record, void *pvt), void *pvt,
                        int *ns, int *ne, size_t ignored1, size_t ignored2);

/* ---- Times ---- */
BASALT_API double epoch_(int *yearday);
BASALT_API int yearday_(double *epoch);
BASALT_API void strtime_(char *result, double *epoch, size_t result_len);
BASALT_API void strdate_(char *result, double *epoch, size_t result_len);
BASALT_API void epoch2str_(char *result, double *epoch, char *format, size_t result_len,
                           size_t format_len);
BASALT_API double str2epoch_(char *text, size_t text_len);
BASALT_API void doy2mday_(int *doy, int *year, int *month, int *day);
BASALT_API int mday2doy_(int *year, int *month, int *day);
BASALT_API double h2e_(int *year, int *doy, int *hour, int *minute, double *second);
BASALT_API void e2h_(double *epoch, int *year, int *doy, int *hour, int *minute,
                     double *second);
BASALT_API void htoe_(int *year, int *doy, int *hour, int *minute, double *seconds,
                      double *epoch);
BASALT_API void etoh_(double *epoch, int *year, int *doy, int *hour, int *minute,
                      double *seconds);

/* ---- Parameter files (pf: the address of a handle) ---- */
BASALT_API void pfread_(char *name, int *pf, int *result, size_t name_len);
BASALT_API void pfcompile_(char *text, int *pf, int *result, size_t text_len);
BASALT_API void pfnew_(int *type, int *result);
BASALT_API void pffree_(int *pf);
BASALT_API void pfwrite_(int *pf, char *filename, int *result, size_t filename_len);
/* value receives the handle of a list, array or file node (lent: it lives
 * as long as the tree), 0 for a text value. */
BASALT_API void pfget_(int *pf, char *name, int *value, int *retcode, size_t name_len);
BASALT_API void pfget_double_(int *pf, char *name, double *result, size_t name_len);
BASALT_API void pfget_double__(int *pf, char *name, double *result, size_t name_len);
BASALT_API void pfget_int_(int *pf, char *name, int *result, size_t name_len);
BASALT_API void pfget_int__(int *pf, char *name, int *result, size_t name_len);
BASALT_API void pfget_boolean_(int *pf, char *name, int *result, size_t name_len);
BASALT_API void pfget_boolean__(int *pf, char *name, int *result, size_t name_len);
BASALT_API void pfget_tbl_(int *pf, char *name, int *result, size_t name_len);
BASALT_API void pfget_tbl__(int *pf, char *name, int *result, size_t name_len);
BASALT_API void pfget_arr_(int *pf, char *name, int *result, size_t name_len);
BASALT_API void pfget_string_(int *pf, char *name, char *result, size_t name_len,
                              size_t result_len);
BASALT_API void pfget_string__(int *pf, char *name, char *result, size_t name_len,
                               size_t result_len);
/* A text value (types 1 and 7) is passed through as a C string; for a list
 * (2), an array (0, 3) or a node (8) value holds the address of its handle,
 * which the tree then takes over. */
BASALT_API void pfput_(int *pf, char *name, void *value, int *type, size_t name_len);
BASALT_API void pfput__(int *pf, char *name, void *value, int *type, size_t name_len);
BASALT_API void pfput_double_(int *pf, char *name, double *value, size_t name_len);
BASALT_API void pfput_double__(int *pf, char *name, double *value, size_t name_len);
BASALT_API void pfput_int_(int *pf, char *name, int *value, size_t name_len);
BASALT_API void pfput_int__(int *pf, char *name, int *value, size_t name_len);
BASALT_API void pfput_boolean_(int *pf, char *name, int *value, size_t name_len);
BASALT_API void pfput_boolean__(int *pf, char *name, int *value, size_t name_len);
BASALT_API void pfput_string_(int *pf, char *name, char *value, size_t name_len,
                              size_t value_len);
BASALT_API void pfput_string__(int *pf, char *name, char *value, size_t name_len,
                               size_t value_len);
BASALT_API void pfput_arr_(int *pf, char *name, int *arr, size_t name_len);
BASALT_API void pfput_tbl_(int *pf, char *name, int *tbl, size_t name_len);

/* ---- Lists (tbl: the address of a handle) ---- */
BASALT_API void newtbl_(int *tbl, int *size);
BASALT_API void inittbl_(int *tbl, int *left_grow, int *right_grow, int *direct, void *null,
                         int *entry_size);
/* strtbl_(tbl, string, ..., a string beginning with NUL, lengths...) */
BASALT_API void strtbl_(int *tbl, ...);
BASALT_API void readtbl_(int *tbl, char *filename, char *text, int *rw, size_t filename_len,
                         size_t text_len);
BASALT_API void duptbl_(int *tbl, int *old, void *(*copy)(void *entry));
BASALT_API int maxtbl_(int *tbl);
BASALT_API void gettbl_(int *tbl, int *i, void *result);
BASALT_API int settbl_(int *tbl, int *i, void *value);
BASALT_API int pushtbl_(int *tbl, void *value);
BASALT_API int unshifttbl_(int *tbl, void *value);
BASALT_API int instbl_(int *tbl, int *i, void *value);
BASALT_API void poptbl_(int *tbl, void *result);
BASALT_API void shifttbl_(int *tbl, void *result);
BASALT_API void deltbl_(int *tbl, int *i, void *result);
BASALT_API int cattbl_(int *dest, int *src);
BASALT_API int cmptbl_(int *tbl1, int *tbl2);
BASALT_API int applytbl_(int *tbl, int (*function)(void *entry, void *pvt), void *pvt);
BASALT_API void sorttbl_(int *tbl, int (*compare)(void *a, void *b, void *pvt), void *pvt);
BASALT_API int searchtbl_(void *key, int *tbl, int (*compare)(void *key, void *entry, void *pvt),
                          void *pvt, int *ns, int *ne);
BASALT_API int savetbl_(int *tbl, char *filename, char *text, size_t filename_len,
                        size_t text_len);
BASALT_API void strgettbl_(int *tbl, int *i, char *result, size_t result_len);
BASALT_API int strsettbl_(int *tbl, int *i, char *string, size_t string_len);
BASALT_API void clrtbl_(int *tbl, void (*free_entry)(void *entry));
BASALT_API void freetbl_(int *tbl, void (*free_entry)(void *entry));
BASALT_API void strfreetbl_(int *tbl);

BASALT_END_DECLS

#endif
