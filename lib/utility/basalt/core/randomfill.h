/* The random generator and the verifiable random fill.
 *
 * disordered and r_disordered draw uniform values in (0, 1) from L'Ecuyer's
 * combined generator with fixed seeds: one sequence shared by the process
 * (serialised on a lock), or a private one kept in a caller's hook.
 *
 * fill_random and check_random fill and verify packets from a table of
 * pseudo-random bytes (each 0 to 254) that every process builds the same way
 * from the process-wide generator, so that a sender and a receiver agree on
 * the bytes without exchanging the table. A filled packet holds:
 *
 *     bytes 0-3   the table index at which its pattern starts,
 *                 signed 32-bit big-endian
 *     bytes 4-    the table bytes from that index on, wrapping at the
 *                 end of the table
 *
 * Valid start indexes are 0 up to below the buffer size (32768 unless
 * changed by set_random); the table holds at least that many bytes, and one
 * more than the largest packet filled or verified. It is built on first use
 * from the process-wide generator, so both ends agree while nothing else has
 * drawn from disordered before their tables reached their size.
 */
#ifndef BASALT_RANDOMFILL_H
#define BASALT_RANDOMFILL_H

#include "basalt_api.h"
#include "hooks.h"

BASALT_BEGIN_DECLS

/* The next value in (0, 1) of the process-wide generator. */
BASALT_API double disordered(void);

/* The next value in (0, 1) of the caller's private generator, kept in *hook
 * (a Hook pointer, null at first: the generator is then made with the fixed
 * seeds, and starts the same sequence as a fresh process-wide one). Release
 * it with free_hook. A hook belongs to one thread at a time. */
BASALT_API double r_disordered(Hook **hook);

/* Fills nchar bytes (more than 4) of packet with the pattern starting at
 * index *indexp, and sets *indexp to the index after the last byte used, so
 * that consecutive calls continue the pattern. The index left in *indexp is
 * always a valid start (below the buffer size): once the table has grown
 * beyond the buffer size, an index past it is taken modulo the buffer size.
 * A start index
 * outside [0, buffer size) or nchar of 4 or less ends the process. */
BASALT_API void fill_random(char *packet, int nchar, int *indexp);

/* Verifies nchar bytes of a filled packet: 0 when the pattern matches, -1
 * when the start index is out of range (or nchar is below 4, too short to
 * hold one), otherwise the 1-based position in the packet of the first byte
 * that differs. Never logs. */
BASALT_API int check_random(const char *packet, int nchar);

/* Sets the buffer size (the range of start indexes and the least table
 * size) and returns the previous one. The table grows to a larger size at
 * its next use and keeps its bytes when the size is lowered. */
BASALT_API int set_random(int random_buffer_bytes);

BASALT_END_DECLS

#endif
