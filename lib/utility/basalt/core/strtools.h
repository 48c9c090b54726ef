/* Strings and string buffers.
 *
 * - Tests and in-place edits of NUL-terminated strings: trimming, newline
 *   removal, case conversion, translation, substitution, splitting.
 * - Copies between C strings and fixed-width, blank-padded text fields.
 * - Vstring: a growable text buffer behind a caller's handle (a void *
 *   variable, null at first, whose address every buffer call takes).
 * - Two line readers for streams and a runner of long command lines.
 *
 * Blank means the space character (32) alone; white space means space,
 * tab and newline. Characters are compared and translated as unsigned
 * bytes. Nothing here keeps state between calls except the Vstring a
 * caller holds, which belongs to one thread at a time.
 */
#ifndef BASALT_STRTOOLS_H
#define BASALT_STRTOOLS_H

#include <stdio.h>

#include "basalt_api.h"
#include "tbl.h"

BASALT_BEGIN_DECLS

/* The buffer record behind a Vstring handle. */
typedef struct Vstring {
    int size;   /* bytes allocated for the text */
    int length; /* characters held, without the terminating NUL */
    char *s;    /* the text, NUL-terminated */
} Vstring;

/* ---- Tests and comparison ---- */

/* strcmp(a, b) when both are given; 0 when both are null; 1 when only one
 * of them is null. */
BASALT_API int nstrcmp(const char *a, const char *b);

/* 1 when s is empty or holds only spaces, else 0. */
BASALT_API int blank(const char *s);

/* 1 when s is empty or holds only white space, else 0. */
BASALT_API int whitespace(const char *s);

/* ---- In-place edits ---- */

/* Removes leading and trailing white space, moving the rest to the start. */
BASALT_API void strtrim(char *s);

/* Removes one newline from the end of s; null and empty s are left alone. */
BASALT_API void chomp(char *s);

/* Convert every character with toupper or tolower. */
BASALT_API void str2upper(char *s);
BASALT_API void str2lower(char *s);

/* Replaces every character of s found in from by the character at the same
 * position of to (a repeated character of from takes its later mapping).
 * to is at least as long as from. */
BASALT_API void strtr(char *s, const char *from, const char *to);

/* Writes to newstr a copy of oldstr with every occurrence of pattern,
 * found left to right without overlap, replaced by replacement. newstr is
 * large enough. An empty pattern replaces nothing. */
BASALT_API void strsub(const char *oldstr, const char *pattern,
                       const char *replacement, char *newstr);

/* Cuts s in place into the fields separated by runs of c and returns a new
 * list (the caller's) of pointers to them; runs of c at either end or
 * between fields make no empty fields. */
BASALT_API Tbl *split(char *s, int c);

/* Null for an empty string; else cuts string at its first parse_char1 and
 * returns the text behind it, or the address of the terminating NUL when
 * there is no parse_char1. */
BASALT_API char *parse_on_1char(char *string, char parse_char1);

/* ---- Fixed-width fields ---- */

/* Writes exactly n characters: those of source, then spaces; no NUL. */
BASALT_API void sncopy(char *dest, const char *source, int n);

/* Copies exactly n bytes of source and a NUL behind them (n + 1 bytes). */
BASALT_API void szcopy(char *dest, const char *source, int n);

/* Copies the n-character field source without its leading and trailing
 * spaces and writes a NUL behind. The field ends early at a NUL. */
BASALT_API void copystrip(char *dest, const char *source, int n);

/* A new block (the caller frees it) holding a copy of n bytes at a. */
BASALT_API void *memdup(const void *a, int n);

/* ---- String buffers ---- */

/* Append s, the character c, or at most l characters of s (s need not be
 * NUL-terminated within l), creating the buffer behind *vstack when it is
 * null. Each returns the new length. */
BASALT_API int pushstr(void **vstack, const char *s);
BASALT_API int pushstrc(void **vstack, int c);
BASALT_API int pushstrn(void **vstack, const char *s, int l);

/* The buffer's text. With vfree non-zero the record is freed, *vstack
 * becomes null and the text is the caller's to free; with vfree 0 the text
 * is lent until the next push. With a null handle, a new empty string (the
 * caller's) and the handle stays null. */
BASALT_API char *popstr(void **vstack, int vfree);

/* A new string (the caller's): s and each further argument up to the first
 * null one. */
BASALT_API char *strconcat(const char *s, ...);

/* ---- Line readers ---- */

/* Reads one line of at most n - 2 characters into aline (n bytes) without
 * its newline; a longer line comes in chunks. Returns aline, or null at end
 * of file, on a read error, for a null file or when n < 3 (aline then holds
 * an empty string when n > 0). */
BASALT_API char *getaline(FILE *file, char *aline, int n);

/* Reads one whole line into *aline (size *size, allocated with 1024 bytes
 * when *size is 0, doubled as needed) without its newline. Returns *aline,
 * or null when no character was read. The caller frees *aline at the end. */
BASALT_API char *intactline(FILE *file, char **aline, int *size);

/* ---- Commands ---- */

/* Runs through system() the lines "cmd arg arg ... tail" over the string
 * list args, in batches of about 512 characters. Each argument is quoted
 * for the shell so that it arrives as one literal word; cmd and tail are
 * command text. An empty list runs nothing. With verbose, each line is
 * logged at the notify severity first. */
BASALT_API void xargs(const char *cmd, Tbl *args, const char *tail,
                      int verbose);

BASALT_END_DECLS

#endif
