/* Tbl: the growable list of libbasalt.
 *
 * A list is a double-ended array that grows and shrinks at both ends in
 * amortised constant time and reaches any entry by index in constant time.
 * It holds either pointers the caller owns (a pointer list, made by newtbl)
 * or copies of fixed-size values (a direct list, made by inittbl with
 * direct non-zero). An index outside the live entries reads as the list's
 * null value.
 *
 * A list is used by one thread at a time; it has no lock.
 */
#ifndef BASALT_TBL_H
#define BASALT_TBL_H

#include <stdint.h>

#include "basalt_api.h"

BASALT_BEGIN_DECLS

typedef struct Tbl {
    int32_t left;         /* first allocated slot, 0 or negative */
    int32_t active_right; /* number of live entries (maxtbl) */
    int32_t right;        /* slots allocated from index 0 on */
    int32_t entry_size;   /* bytes per slot; a pointer's size for pointer lists */
    int32_t direct;       /* 0: pointer list; 1: direct list */
    char *mapped;         /* start of the file mapping of a file-backed list */
    int32_t mapped_size;  /* length of that mapping in bytes */
    int32_t fd;           /* descriptor of the list file */
    int32_t prot;         /* 1 read only, 3 read and write (bit 2: writable) */
    int32_t left_grow;    /* growth step at the left end, in slots */
    int32_t right_grow;   /* growth step at the right end, in slots */
    char *null;           /* the list's null value, or null when it has none */
    char *deleted;        /* last entry removed from a direct list by deltbl */
    union {
        char *cp;         /* slot 0 as a byte address (direct lists) */
        void **pp;        /* slot 0 as an array of pointers (pointer lists) */
    } base;
    /* The 14-word record image inside the mapping of a writable file-backed
     * list, kept up to date with left, active_right, right, left_grow and
     * right_grow after every change; null for any other list. */
    int32_t *image;
} Tbl;

/* Number of live entries. */
#define maxtbl(tbl) ((int)(tbl)->active_right)

/* Creation */
BASALT_API Tbl *inittbl(int left_grow, int right_grow, int direct, void *null,
                        int entry_size);
BASALT_API Tbl *newtbl(int size);

/* Reading */
BASALT_API void *gettbl(Tbl *tbl, int index);
BASALT_API void *addrtbl(Tbl *tbl, int index);

/* Writing and growing */
BASALT_API int settbl(Tbl *tbl, int index, void *value);
BASALT_API int pushtbl(Tbl *tbl, void *value);
BASALT_API int unshifttbl(Tbl *tbl, void *value);
BASALT_API int instbl(Tbl *tbl, int index, void *value);
BASALT_API int cattbl(Tbl *tbldest, Tbl *tblsrc);
BASALT_API void right_growtbl(Tbl *tbl, int incr);

/* Removing */
BASALT_API void *poptbl(Tbl *tbl);
BASALT_API void *shifttbl(Tbl *tbl);
BASALT_API void *deltbl(Tbl *tbl, int index);
BASALT_API void trunctbl(Tbl *tbl, int last, void (*free_tblval)(void *));
BASALT_API void clrtbl(Tbl *tbl, void (*free_tblval)(void *));
BASALT_API void freetbl(Tbl *tbl, void (*free_tblval)(void *));

/* Whole-list operations */
BASALT_API int applytbl(Tbl *tbl, int (*function)(void *entry, void *pvt),
                        void *pvt);
BASALT_API Tbl *duptbl(Tbl *old, void *(*dup_tblval)(void *));
BASALT_API int cmptbl(Tbl *tbl1, Tbl *tbl2);
BASALT_API void sorttbl(Tbl *tbl, int (*compare)(void *a, void *b, void *pvt),
                        void *pvt);
BASALT_API int searchtbl(void *key, Tbl *tbl,
                         int (*compare)(void *key, void *slot, void *pvt),
                         void *pvt, int *ns, int *ne);

/* Lists of strings */
BASALT_API Tbl *strtbl(char *s, ...);
BASALT_API char *jointbl(Tbl *tbl, char *separator);
BASALT_API Tbl *greptbl(char *re, Tbl *tbl);
BASALT_API Tbl *tblgrep(Tbl *tbl, char *string);
BASALT_API void dumptbl(char *msg, Tbl *list, int (*prt)(char *));

BASALT_END_DECLS

#endif
