/* Buffered streams (Bns).
 *
 * A stream is one growable byte buffer laid over a descriptor, or over
 * nothing at all (descriptor -1) when it serves as a packing buffer in
 * memory. It carries typed values big-endian on the wire, waits for input
 * with a time-out, can keep the last few flushed blocks so that they can be
 * sent again, can search its input for a sync pattern and can log its
 * traffic to a file.
 *
 * Unread input and unflushed output both lie between fp and lp: bytes
 * appended with bnsput are read back by bnsget, so a memory stream is
 * filled and then unpacked; a connection that reads and writes uses two
 * streams on one descriptor.
 *
 * Type codes of bnsget and bnsput (wire width, host value):
 *     0  1 byte   raw bytes, copied as they are
 *     1  2 bytes  short
 *     2  4 bytes  int
 *     3  8 bytes  64-bit integer (int64_t)
 *     4  4 bytes  IEEE single (float)
 *     5  8 bytes  IEEE double (double)
 *
 * No buffer grows beyond 256 MiB: a call that would need more fails
 * (logged, -1) and leaves the stream usable.
 *
 * A stream has no lock: it belongs to one thread at a time.
 */
#ifndef BASALT_BNS_H
#define BASALT_BNS_H

#include <stdint.h>
#include <stdio.h>

#include "basalt_api.h"
#include "tbl.h"

BASALT_BEGIN_DECLS

/* Type codes. */
#define BNS_BYTES 0
#define BNS_SHORT 1
#define BNS_INT 2
#define BNS_INT64 3
#define BNS_FLOAT 4
#define BNS_DOUBLE 5

/* Largest buffer a stream grows to, in bytes. */
#define BNS_MAX_SIZE (256 * 1024 * 1024)

typedef struct Bns {
    char *data;       /* the buffer, owned by the stream */
    int32_t fp;       /* next byte to deliver / first byte not yet flushed */
    int32_t lp;       /* one past the last valid byte */
    int32_t mark;     /* oldest byte held for resending; -1 when none */
    int32_t sz;       /* size of the buffer */
    int32_t fd;       /* descriptor; -1 for a memory stream */
    int32_t eof;      /* 1 after a read returned 0 */
    int32_t err;      /* number of failed waits, reads and writes */
    int32_t revents;  /* poll result events of the last wait */
    int32_t syserrno; /* errno of the last failure */
    int32_t flags;    /* fourth argument of the read and write routines */
    int32_t timeout;  /* wait time-out in milliseconds (negative: for ever) */
    int32_t nbytes;   /* bytes read plus bytes flushed */
    int32_t nsys;     /* read and write calls made */
    int32_t keep;     /* flushed blocks kept for resending */
    Tbl *marktbl;     /* offsets at which kept blocks begin; null until bnskeep */
    int (*read_routine)(int fd, void *buffer, int count, int flags);
    int (*write_routine)(int fd, void *buffer, int count, int flags);
    int32_t incount;  /* bytes delivered since the last bnsin */
    int32_t outcount; /* bytes appended since the last bnsout */
    char *snoop;      /* name of the traffic log, owned; null when none */
    int32_t snoopfd;  /* descriptor of the traffic log; -1 when none */
    char *id;         /* name of the stream in the traffic log; owned */
} Bns;

/* Time-out given to each new stream (milliseconds); bnsnew reloads it from
 * the environment variable of the same name when that is set. */
BASALT_API extern int BNS_TIMEOUT;
/* Nonzero: streams log end of file, failed reads and read time-outs at
 * debug severity. */
BASALT_API extern int OrbVerbose;

/* Life of a stream. */
BASALT_API Bns *bnsnew(int fd, int sz);
BASALT_API void bnsclr(Bns *bns);
BASALT_API int bnstimeout(Bns *bns, int timeout);
BASALT_API void bnsfree(Bns *bns);
BASALT_API int bnsclose(Bns *bns);

/* Output, keeping and resending. */
BASALT_API void bnskeep(Bns *bns, int keep);
BASALT_API int bnsflush(Bns *bns);
BASALT_API int bnsresend(Bns *bns);

/* Input. */
BASALT_API int bnswait(Bns *bns);
BASALT_API int bnsresize(Bns *bns, int n2add);
BASALT_API int bnsmore(Bns *bns, int needed);
BASALT_API int bnsget(Bns *bns, void *data, int type, int n);
BASALT_API int bnsgetc(Bns *bns, void *data, int mx, int c);
BASALT_API int bnsput(Bns *bns, void *data, int type, int n2send);
BASALT_API int gbnsSync(Bns *bns, char *sync, int nsync, int strict);

/* Memory streams. */
BASALT_API int bns2buf(Bns *bns, char *buf, int maxbuf);
BASALT_API int buf2bns(Bns *bns, char *buf, int nbytes);

/* Traffic log, names, counters and diagnostics. */
BASALT_API int bnssnoop(Bns *bns, char *filename);
BASALT_API char *bnsid(Bns *bns, char *id);
BASALT_API int bnsin(Bns *bns);
BASALT_API int bnsout(Bns *bns);
BASALT_API void bnsdump(FILE *file, Bns *bns);

BASALT_END_DECLS

#endif
