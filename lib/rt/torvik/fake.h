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

BASALT_API Fakepkt *newFakepkt(void);
BASALT_API void initFakepkt(Fakepkt *s);
BASALT_API void freeFakepkt(Fakepkt *s);
BASALT_API int pbnsFakepkt(Bns *bns, Fakepkt *s);
BASALT_API int gbnsFakepkt(Bns *bns, Fakepkt *s);
BASALT_API void dbgFakepkt(Fakepkt *s, FILE *file, int flag);
BASALT_API void askFakepkt(Fakepkt *s);

BASALT_API int fakefill(char *representation, char *srcname, double time,
                        char **packet, int *nbytes, int *bufsize);
BASALT_API int fakecheck(char *srcname, double time, char *packet, int nbytes);
BASALT_API void showfakePkt(int pktid, char *srcname, double time,
                            char *packet, int nbytes, FILE *file, int mode);
BASALT_API int fakesignal(char *representation, char *srcname, double time,
                          char **packet, int *nsamp, int *bufsize);

BASALT_END_DECLS

#endif
