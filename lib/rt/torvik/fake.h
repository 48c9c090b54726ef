/* Fake and synthetic packets of libtorvik.
 *
 * A fake packet is a self-describing header (Fakepkt, encoded on a stream
 * in network byte order) followed by a verifiable pseudo-random fill, so
 * that a receiver can check name, time, size, content and order with
 * fakecheck. A synthetic-signal packet is a waveform packet built with the
 * packet library from samples of the signal generator imksignal.
 *
 * The generators, the checker and the display keep process-wide state
 * behind a lock of their own.
 */
#ifndef TORVIK_FAKE_H
#define TORVIK_FAKE_H

#include <stdio.h>

#include "basalt_api.h"
#include "bns.h"

BASALT_BEGIN_DECLS

typedef struct Fakepkt {
    double time;           /* packet time */
    int seqid;             /* sender id: process id of the generator */
    unsigned int nsrcname; /* length of the source name */
    unsigned int nbytes;   /* total size of the packet */
    int sequence;          /* the sender's packet counter */
    char srcname[64];
    char rep[6];           /* first 6 characters of the representation */
    char magic[6];         /* "magic" and its NUL */
} Fakepkt;

/* The record: newFakepkt gives a zeroed record with magic set (out of
 * memory is fatal); initFakepkt sets magic. */
BASALT_API Fakepkt *newFakepkt(void);
BASALT_API void initFakepkt(Fakepkt *s);
BASALT_API void freeFakepkt(Fakepkt *s);
/* Stream encoding, integers and the double big-endian: magic (6 bytes),
 * sequence, nbytes, rep (6 bytes), nsrcname, the nsrcname bytes of the
 * name, time, seqid; 36 bytes and the name. pbnsFakepkt attempts every
 * field and gives -1 when any failed (a name declared longer than 64 is
 * not written); gbnsFakepkt gives -1 at the first field it cannot read,
 * keeps at most 64 bytes of the name (terminated when shorter) and passes
 * over the rest. */
BASALT_API int pbnsFakepkt(Bns *bns, Fakepkt *s);
BASALT_API int gbnsFakepkt(Bns *bns, Fakepkt *s);
/* Prints the record field by field (flag unused). */
BASALT_API void dbgFakepkt(Fakepkt *s, FILE *file, int flag);
/* Asks for each field on the terminal ("Fakepkt->field = "); an empty
 * answer leaves the field as it was. */
BASALT_API void askFakepkt(Fakepkt *s);

/* Fills *packet with a fake packet of exactly *nbytes bytes (the buffer is
 * grown when null or smaller than *bufsize says) and returns the sequence
 * number used. A size below the header and 5 bytes of fill ends the
 * process. */
BASALT_API int fakefill(char *representation, char *srcname, double time,
                        char **packet, int *nbytes, int *bufsize);
/* The number of problems found in a fake packet, each complained of: 0
 * for a good packet and for one that is not fake. */
BASALT_API int fakecheck(char *srcname, double time, char *packet, int nbytes);
/* One line describing a fake packet, or a complaint "not a fake packet";
 * only packet, nbytes and file are used. */
BASALT_API void showfakePkt(int pktid, char *srcname, double time,
                            char *packet, int nbytes, FILE *file, int mode);
/* A waveform packet from the signal generator imksignal of the process,
 * stuffed by the packet library into the caller's growable buffer:
 * *nsamp is the number of samples wanted on entry (0 to 16777216) and the
 * packet's byte count on return; srcname (64 bytes) receives the packet's
 * source name. 0, or -1 (complained of) when the count is out of range, no
 * library of the process defines imksignal, or the packet cannot be
 * stuffed. */
BASALT_API int fakesignal(char *representation, char *srcname, double time,
                          char **packet, int *nsamp, int *bufsize);

BASALT_END_DECLS

#endif
