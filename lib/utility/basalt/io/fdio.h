/* Buffered descriptor I/O.
 *
 * A thin buffering layer over plain file descriptors, kept per descriptor
 * number in one process-wide table:
 *
 * - line reading with read-ahead (fdgets), byte reading that drains the
 *   read-ahead first (fdread, fdgetc);
 * - position queries and seeks that account for the read-ahead (fdtell,
 *   fdseek);
 * - output queued in memory and written on request (fdwrite, fdflush);
 * - closing that flushes and forgets the buffers (fdclose);
 * - two poll-based probes telling whether input is waiting (fdkey, fdwait).
 *
 * A descriptor's buffers are made on its first use by fdgets or fdwrite and
 * belong to the table until fdclose; nothing else frees them. A descriptor
 * closed with close() instead of fdclose leaves its buffers behind, and a
 * later descriptor with the same number inherits its read-ahead and queued
 * output. Only fdseek, fdtell and fdclose relate the buffers to the
 * descriptor's own state: a plain read, write or lseek bypasses them.
 *
 * Threads: any number of threads may use this layer at once on different
 * descriptors; they share no lock except while a descriptor's buffers are
 * made or forgotten. One descriptor's buffers belong to one thread at a
 * time.
 *
 * Offsets: fdseek takes and returns off_t (64 bits in every build, also on
 * 32-bit ARM) and fdtell returns a long (32 bits on 32-bit ARM); the offsets
 * are computed in 64 bits, and a result that does not fit the return type
 * gives -1 with errno EOVERFLOW.
 */
#ifndef BASALT_FDIO_H
#define BASALT_FDIO_H

#include <sys/types.h>

#include "basalt_api.h"
#include "tbl.h"

BASALT_BEGIN_DECLS

/* The buffers of one descriptor. */
typedef struct Fdbuf {
    int nbytes;    /* bytes of read-ahead held in buf */
    int maxbytes;  /* size of buf: 8192 when made, doubled by fdgets as needed
                      (never beyond 8388608) */
    char *buf;     /* read-ahead input. The held bytes begin at an offset
                      that the library keeps, 0 after a read refills buf */
    int onbytes;   /* bytes of output queued at the start of obuf */
    int omaxbytes; /* size of obuf; 0 until the first fdwrite */
    char *obuf;    /* queued output; null until the first fdwrite */
} Fdbuf;

/* The table of Fdbuf pointers indexed by descriptor number (null until the
 * first buffers are made; a list of newtbl(10) growing to the highest
 * descriptor used; null entries for descriptors without buffers). It is a
 * view for inspection, kept up to date when buffers are made or forgotten;
 * read it only while no other thread does either. */
BASALT_API extern Tbl *Fds;

/* Reads a line: the bytes before the next newline, cut to maxbytes - 1
 * characters (the rest of a longer line is discarded), copied as a string
 * (a NUL in the line ends the text; the rest of the copied span is
 * zero-filled) and NUL-terminated in buf. A carriage return before the
 * newline stays in the line. Returns the copied length; -2 at end of file
 * (an unterminated last line stays in the read-ahead for fdread); -1 on a
 * read error (the read-ahead kept), for a line that would need a buffer
 * above 10,000,000 bytes (after complaining "fdgets buffer is way too
 * big!!"), for a descriptor that is not open, or for maxbytes below 1
 * (errno EINVAL). */
BASALT_API int fdgets(int fd, char *buf, int maxbytes);

/* Reads nbytes bytes: the read-ahead first, then at most one read for the
 * rest. Returns the bytes placed in buf (short when the read was short, the
 * read-ahead alone at end of file); -1 on a read error, after logging
 * "read from fd #%d returned %d" (errno is left as the read set it, and the
 * read-ahead is kept for the next call), or for a negative nbytes (errno
 * EINVAL). */
BASALT_API int fdread(int fd, void *buf, int nbytes);

/* The next byte, 0 to 255; -1 at end of file or on an error. */
BASALT_API int fdgetc(int fd);

/* The descriptor's offset less the read-ahead held: the offset of the next
 * byte fdread or fdgets returns. Queued output is not counted. -1 when the
 * offset cannot be had. */
BASALT_API long fdtell(int fd);

/* Writes any queued output, then moves the descriptor (lseek semantics,
 * SEEK_CUR counted from the position fdtell reports) and drops the
 * read-ahead. Returns the new offset; -1 when the queued output could not
 * all be written (nothing moved) or the seek fails (the read-ahead kept). */
BASALT_API off_t fdseek(int fd, off_t offset, int whence);

/* Queues nbytes bytes of output; nothing reaches the descriptor until
 * fdflush, fdseek or fdclose. Returns nbytes; -1 for a descriptor that is
 * not open (errno EBADF), for a negative nbytes (EINVAL) or when the queue
 * would pass INT_MAX bytes (ENOBUFS). */
BASALT_API int fdwrite(int fd, const void *buf, int nbytes);

/* Writes the whole queue, writing again after short writes. Returns the
 * bytes written (0 when nothing is queued); when a write fails, the result
 * of that write (-1, or 0 for a write that wrote nothing), with what was
 * not written still queued. */
BASALT_API int fdflush(int fd);

/* Writes the queue until it is empty or a write fails, forgets and frees
 * the descriptor's buffers, and closes it. Returns the result of close, or
 * -1 (errno from the failed write) when queued output was left unwritten. */
BASALT_API int fdclose(int fd);

/* 1 when input is waiting on fd, 0 when none arrives within 1 millisecond,
 * -1 on a poll error or when only error or hang-up conditions are reported.
 * Interrupted polls are repeated. The read-ahead is not looked at. */
BASALT_API int fdkey(int fd);

/* As fdkey, waiting msec milliseconds (negative: without limit) and polling
 * once (an interrupted poll gives -1). */
BASALT_API int fdwait(int fd, int msec);

BASALT_END_DECLS

#endif
