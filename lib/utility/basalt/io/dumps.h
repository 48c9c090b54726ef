/* Hex and ascii dumps: text forms of raw bytes and their readers.
 *
 * Hex dump: 16 bytes a line, each line a tab, the offset of its first byte
 * as 8 lower-case hex digits (computed in 32 bits) and a space, then for
 * each byte position 0 to 15 a space before every even position and the
 * byte as 2 lower-case hex digits (2 spaces past the end of the data), a
 * space, the bytes as characters (printable bytes, 32 to 126, as
 * themselves, any other as '_') and a newline. A full line is 68
 * characters:
 *
 *     "\t00000000  6162 6364 ... 6f70 abcdefghijklmnop\n"
 *
 * Ascii dump: the bytes themselves; a newline as a newline, a backslash as
 * two backslashes, any other unprintable byte as a backslash, "0x" and 2
 * lower-case hex digits; a newline is added whenever the current output
 * line has grown beyond 79 characters. The stream writer asciidump writes
 * a tab byte as a tab, the string and descriptor writers as its escape;
 * the readers take either.
 *
 * Each writer asks nomem() about the bytes first and writes
 * "no memory at <address>\n" in place of a dump it may not read.
 *
 * A reader is given the number of bytes l that it is to read back: the
 * dumps do not record their own length, and the readers stop after l
 * bytes, leaving the stream behind the last character that they needed.
 * They never log; a short count means the dump was cut short.
 *
 * A negative byte count is taken as 0. Strings returned are the caller's
 * to free.
 */
#ifndef BASALT_DUMPS_H
#define BASALT_DUMPS_H

#include <stdio.h>

#include "basalt_api.h"

BASALT_BEGIN_DECLS

/* ---- Hex dumps ---- */

/* Writes the hex dump of l bytes at memory to file, offsets starting at
 * base. For l = 0 writes one newline. */
BASALT_API void Hexdump(FILE *file, unsigned long base, const void *memory,
                        int l);

/* Hexdump with base 0. */
BASALT_API void hexdump(FILE *file, const void *memory, int l);

/* A new string holding the hex dump ("" for l = 0). */
BASALT_API char *hexdump_string(unsigned long base, const void *memory, int l);

/* Queues the hex dump (base 0) on fd with fdwrite; nothing for l = 0. */
BASALT_API void fdhexdump(int fd, const void *memory, int l);

/* Read a hex dump back, storing at most l bytes in memory; the result is
 * the count stored. Lines are read with fgets, resp. fdgets, into 1024
 * bytes; tokens are separated by runs of blanks and tabs; the first token
 * of a line (the offset) is skipped, the next 8 taken as groups of 2 or 4
 * hex digits of either case, and the rest of the line ignored. End of
 * input, an empty line or a line out of groups ends the reading. */
BASALT_API int read_hexdump(FILE *file, void *memory, int l);
BASALT_API int fdread_hexdump(int fd, void *memory, int l);

/* ---- Ascii dumps ---- */

/* Writes the ascii dump of l bytes to file (a tab as itself); for l = 0
 * one newline. No newline is added at the end. */
BASALT_API void asciidump(FILE *file, const void *memory, int l);

/* A new string holding the ascii dump (a tab escaped); "\n" for l = 0. */
BASALT_API char *asciistring(const void *memory, int l);

/* Queues the asciistring text on fd with fdwrite. */
BASALT_API void fdasciidump(int fd, const void *memory, int l);

/* Read an ascii dump of either writer back, storing at most l bytes; the
 * result is the count stored, fewer than l when the input ended early. */
BASALT_API int read_asciidump(FILE *file, void *memory, int l);
BASALT_API int fdread_asciidump(int fd, void *memory, int l);

/* ---- Displays ---- */

/* Fills buf (n bytes) with a one-line display form of the l bytes: a
 * newline as "\n" (backslash, n), a backslash as two backslashes, another
 * unprintable byte as a backslash, "0x" and 2 hex digits, other bytes as
 * themselves, as far as room for a whole form remains; NUL-terminated.
 * For l = 0, "\n" (a newline character). */
BASALT_API void printable_string(char *buf, int n, const void *memory, int l);

/* Prints "label = 'text' desc\n" when the bytes are text (printable()
 * gives 1 or 2), else "label (nbytes bytes) # desc\n" and their hex
 * dump. */
BASALT_API void Xchardump(FILE *file, const char *label, const char *desc,
                          const void *bytes, int nbytes);

/* Print " " and the 8, resp. 4, big-endian IEEE 754 bytes of x in hex. */
BASALT_API void showdouble(FILE *file, double x);
BASALT_API void showfloat(FILE *file, float x);

/* Prints "\n<msg>\n" when msg is given, then for each 16-byte row in which
 * a and b differ: "a> ", the row of a as a hex dump, "b> ", the row of b,
 * and an empty line. Offsets are those of the rows in the buffers. */
BASALT_API void prthexcmp(FILE *file, const char *msg, const void *a,
                          const void *b, int size);

/* ---- Small conversions ---- */

/* s (2n + 1 bytes) receives the n bytes as lower-case hex digit pairs. */
BASALT_API void mem2hex(const void *vmem, int n, char *s);

/* Pairs the hex digits of hex (either case; spaces, tabs and newlines
 * skipped anywhere) into bytes at vmem; returns the count, or -1 for any
 * other character or an odd number of digits. */
BASALT_API int hex2mem(const char *hex, void *vmem);

/* 0 to 15 for a hex digit of either case, else -1. */
BASALT_API int hex2int(char c);

/* 2 when all n bytes at s are printable, 1 when the first unprintable one
 * is a NUL, 0 otherwise. */
BASALT_API int printable(const void *s, int n);

BASALT_END_DECLS

#endif
