/* List files and bit vectors.
 *
 * A list (Tbl) can be saved to a list file and read back by mapping the
 * file: read-only, or read-write so that every change of the list is a
 * change of the file. The file holds, in the byte order of the host that
 * wrote it:
 *
 *   0             "#tbl"
 *   4             idlen: length of the identifier area (a multiple of 8, or
 *                 0 without an identifier)
 *   8             the identifier, NUL-terminated, zero-filled to idlen
 *   8 + idlen     the list record: fourteen 32-bit words in the field order
 *                 of Tbl (the address and descriptor words are written as 0
 *                 and ignored; the null word is 1 when a null value follows)
 *   64 + idlen    the null value, zero-filled to a multiple of 8 (only when
 *                 the null word is non-zero)
 *   ...           the right - left slots, from index left on
 *
 * Every area starts at a multiple of 8 from the start of the file.
 *
 * A Bitvector is a list used as a set of bit positions: bit i lies in word
 * i / 32 (i unsigned) under the mask 1 << (31 - i % 32). A vector is either
 * a pointer list whose slots hold the words as values (the results of the
 * bitand family) or a direct list of 4-byte words (a bit file).
 */
#ifndef BASALT_LISTFILE_H
#define BASALT_LISTFILE_H

#include <stdio.h>

#include "basalt_api.h"
#include "tbl.h"

BASALT_BEGIN_DECLS

/* List files. */

/* Saves tbl to filename with the identifier s (null for none), making the
 * missing directories. The list is written to a new file beside filename
 * that then replaces it, so the name never holds a partly written list.
 * 0, or -1 after logging. */
BASALT_API int savetbl(Tbl *tbl, char *filename, char *s);

/* Writes tbl in the list-file layout to file: 0, or -1 as soon as a write
 * falls short. */
BASALT_API int writetbl(Tbl *tbl, FILE *file, char *s);

/* Maps the list file filename: read and write when rw is non-zero (every
 * change of the list is then a change of the file), else read only (the
 * list must then be neither written nor grown). *s receives the identifier
 * inside the mapping, or null; it is valid until the list grows or is
 * freed. The record, bounds and slots are checked against the file first.
 * Null after logging on failure. freetbl unmaps and closes. */
BASALT_API Tbl *readtbl(char *filename, char **s, int rw);

/* Opens the list file filename read-write into *ptbl, creating it (and its
 * directories) with room for n entries of entry_size bytes and the null
 * value null when it is missing or not a list file; a file with fewer
 * slots is replaced by a larger one holding the same entries. 0; -1 when
 * the file could not be read, made or grown; -2 when identifier is given
 * and the file has another one. *ptbl is null on failure. */
BASALT_API int filetbl(char *filename, char *identifier, int n, void *null,
                       int entry_size, Tbl **ptbl);

/* Bit vectors. */
typedef Tbl Bitvector;

BASALT_API Bitvector *bitfile(char *filename, int nbits);
BASALT_API int bitset(Bitvector *bvec, int index);
BASALT_API int bitclr(Bitvector *bvec, int index);
BASALT_API int bittst(Bitvector *bvec, int index);
BASALT_API int bitmax(Bitvector *b);
BASALT_API int bitcmp(Bitvector *b1, Bitvector *b2);
BASALT_API Bitvector *bitxor(Bitvector *b1, Bitvector *b2);
BASALT_API Bitvector *bitnot(Bitvector *b);

/* bitand and bitor are operator names in C++ (and macros of <iso646.h> in
 * C), so they are also declared under the names bitvector_and and
 * bitvector_or, bound to the same symbols. */
#if defined(__GNUC__)
BASALT_API Bitvector *bitvector_and(Bitvector *b1, Bitvector *b2) __asm__("bitand");
BASALT_API Bitvector *bitvector_or(Bitvector *b1, Bitvector *b2) __asm__("bitor");
#endif
#ifndef __cplusplus
#ifndef bitand
BASALT_API Bitvector *bitand(Bitvector *b1, Bitvector *b2);
#endif
#ifndef bitor
BASALT_API Bitvector *bitor(Bitvector *b1, Bitvector *b2);
#endif
#endif

/* Flag bits (not atomic). */
BASALT_API void setabit(int *flag, int abit);
BASALT_API void clrabit(int *flag, int abit);

BASALT_END_DECLS

#endif
