/* Value ring files and ringlet files: small persistent rings kept in a file
 * that is mapped whole and shared by every process that opens it.
 *
 * A ring buffer file holds up to max records {time, value} in order of time,
 * record 0 the latest, and answers questions about the values of a recent
 * time window (deltat seconds back from record 0, lower end open). A ringlet
 * file holds up to max entries of a fixed size, entry 0 the last pushed.
 *
 * Integers and doubles are kept in host order and representation. Pushes go
 * straight into the shared pages; closing only unmaps. A handle belongs to
 * one thread at a time; between processes nothing orders the accesses, and
 * the lock tried at open only turns an open away while another process holds
 * a lock on the file at that moment.
 */
#ifndef BASALT_RINGS_H
#define BASALT_RINGS_H

#include <stddef.h>

#include "basalt_api.h"

BASALT_BEGIN_DECLS

/* Header of a ring buffer file (88 bytes). */
typedef struct RbInfo {
    char magic[8]; /* "ringbuff", no terminator */
    char id[64];   /* the creator's identification, copied unchanged */
    int p;         /* slot of record 0 */
    int cnt;       /* records held, 0..max */
    int max;       /* capacity in records */
    int flags;     /* the creator's flags with bit 0 cleared */
} RbInfo;

/* One slot of a ring buffer file. */
typedef struct RbData {
    double t; /* time */
    double v; /* value */
} RbData;

/* An open ring buffer file. */
typedef struct RingBuffer {
    RbInfo *info;  /* start of the mapping */
    RbData *data;  /* the slots, directly after the header */
    size_t size;   /* length of the mapping: the file's size at the open */
    int readonly;  /* 1 when opened read-only */
} RingBuffer;

/* Bit 0 of the flags of openring asks for a read-only open. */
BASALT_API int newring(const char *filename, char *id, int max, int flags);
BASALT_API RingBuffer *openring(const char *filename, char *id, int max, int flags);
BASALT_API void closering(RingBuffer *rb);
BASALT_API int pushring(RingBuffer *rb, double time, double value);
BASALT_API int countring(RingBuffer *rb);
BASALT_API int getring(RingBuffer *rb, int i, double *time, double *value);
BASALT_API int findring(RingBuffer *rb, double value, double deltat);
BASALT_API double maxring(RingBuffer *rb, double deltat, int *index);
BASALT_API double minring(RingBuffer *rb, double deltat, int *index);
BASALT_API double avgring(RingBuffer *rb, double deltat);
BASALT_API int changedring(RingBuffer *rb, double deltat);

/* Ringlet files; an open ringlet is held as an untyped pointer. */
BASALT_API int newringlet(const char *filename, int max, int entrysize);
BASALT_API void *openringlet(const char *filename, int max, int entrysize);
BASALT_API void closeringlet(void *vrb);
BASALT_API int pushringlet(void *vrb, char *entry);
BASALT_API int countringlet(void *vrb);
BASALT_API int getringlet(void *vrb, int i, char **entry);

BASALT_END_DECLS

#endif
