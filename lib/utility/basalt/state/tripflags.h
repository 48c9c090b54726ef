/* Trip flags: one-shot named switches thrown from outside a running program.
 *
 * A trip file ("tripdebug." followed by a process id or a program name, in
 * the program's working directory) holds 256 flag bits in 32 bytes; bit n
 * lies in byte n / 8 under the mask 0x80 >> (n % 8). Flag names map to bit
 * numbers through the parameter file "tripdebug" (array "standard", then an
 * array named after the program); an unknown name uses bit 0. Bit numbers
 * beyond the trip file's bytes are refused.
 *
 * No lock guards the module: one thread of a process at a time. */
#ifndef BASALT_TRIPFLAGS_H
#define BASALT_TRIPFLAGS_H
#include "basalt_api.h"

BASALT_BEGIN_DECLS

/* 1 when the named flag is set in this process's trip file (the flag is then
 * cleared), 0 when it is clear, out of range or no trip file exists. */
BASALT_API int tripdebug(char *name);

/* Sets the flag in the trip file filename (created with 32 zero bytes when
 * missing), the bit numbers being those of program appname. 0 after setting
 * it; -1 when no trip file could be mapped or the bit lies outside it. */
BASALT_API int tripset(char *filename, char *appname, char *name);

/* Clears the flag as tripset sets it; same results. */
BASALT_API int tripclr(char *filename, char *appname, char *name);

/* 1 when the flag is set, 0 when clear, -1 when no trip file could be mapped
 * (the file is never created here) or the bit lies outside it. */
BASALT_API int triptst(char *filename, char *appname, char *name);

/* The program name behind a trip-file name, or NULL; lent, not to be freed
 * (a name found from a process id stays valid until the next call). */
BASALT_API char *tripappname(char *filename);

BASALT_END_DECLS

#endif
