/* The state of one ring-buffer connection and the framing of its records,
 * shared by the two ring servers.
 *
 * vaultkeep keeps each client's own libtorvik handle in the state and
 * compiles this header with ORBSTATE_TORVIK_HANDLE defined; reelhouse,
 * which serves one file through a global handle, uses the layout without
 * that field.
 *
 * A state belongs to its connection's thread (and, while that thread waits
 * for the next request, to its reap thread). Other threads only set its
 * stop flag and read its client record under client_mutex.
 */
#ifndef ORBSTATE_H
#define ORBSTATE_H

#include <pthread.h>
#include <regex.h>

#include "basalt.h"
#include "kestrel.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ORBSTATE_API __attribute__((visibility("default")))

typedef struct Orbclient_state {
    double bytesWritten;   /* packet bytes sent to the client */
    double bytesRead;      /* 0 */
    double reap_maxtime;   /* of the latest reap request, not applied */
    Bitvector *sentstash;  /* an empty list of 4-byte values */
    Orbresponse *reply;    /* the one response, reused for every reply */
    Orbrequest *request;   /* the one request, reused for every request */
    Orbclient *aclient;    /* the client record */
    char *restrictions;    /* restriction text of the access check, or null */
    regex_t *restrict_pgm; /* restrictions compiled, or null */
    regex_t *reject_pgm;   /* null */
    regex_t *select_pgm;   /* null */
    Bitvector *selections; /* null */
    Bns *out;              /* output stream on the socket */
    Bns *in;               /* input stream on the socket */
    int pktlog;            /* the client's packets are logged */
    int lastReport;
    int packetsWritten;    /* packets sent to the client */
    int packetsRead;
    int srcChange;
    int stashflag;         /* 0, 1 or 2 */
    int sZrestrictions;
    int sZrestrict_pgm;
    int sZreject_pgm;
    int sZselect_pgm;
    int readonly;          /* the access check gave a restriction */
    int halt;              /* an accepted halt request */
    int stop;              /* end the client thread at its next check */
    pthread_t reap_tid;    /* the latest reap thread; 0 before the first */
    int reap;              /* 1 while the client wants streaming */
    int reap_maxpkts;      /* packets still to stream; 0 or less: no limit */
    int reap_maxbytes;     /* of the latest reap request, not applied */
#ifdef ORBSTATE_TORVIK_HANDLE
    int torvik;            /* the client's own libtorvik handle */
#endif
    char ip_address[32];   /* the client's address as dotted text */

    /* Kept by the servers beside the fields above. */
    char *packet;             /* the client packet buffer, grown by libtorvik */
    int sZpacket;             /* its size */
    int reap_joinable;        /* a reap thread was started and is not yet joined */
    int landed;               /* a positioning request placed the client on a
                                 packet that no reap has sent yet */
    pthread_mutex_t client_mutex; /* guards aclient against readers of
                                     other threads */
} Orbclient_state;

/* ---- Framing: every record on the stream follows the sync word ---- */

/* The four bytes "orbm". */
ORBSTATE_API extern char Sync[4];
/* Reads the sync word (strictly: the next four bytes) and a request:
 * 0, or -1 when either fails. */
ORBSTATE_API int recvOrbrequest(Bns *in, Orbrequest *request);
/* Writes the sync word and the response and flushes: 0, or -1. */
ORBSTATE_API int sendOrbresponse(Bns *out, Orbresponse *response);

/* A new state, every field 0 or null except reap_maxpkts and reap_maxbytes
 * (-1); out of memory ends the process. */
ORBSTATE_API Orbclient_state *newOrbclient_state(void);
/* Frees the state and all it holds (streams, records, expressions);
 * neither the socket nor the libtorvik handle is closed. */
ORBSTATE_API void freeOrbclient_state(Orbclient_state *state);
/* regfree and free of a compiled expression (null is ignored). */
ORBSTATE_API void orbfree_regcomp(regex_t *pgm);

#ifdef __cplusplus
}
#endif

#endif
