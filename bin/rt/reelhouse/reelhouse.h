/* reelhouse: serves one packet file or segment directory to one client,
 * for reading or for writing, through the ring-buffer protocol. It is
 * started with the client already connected on its standard input and
 * ends when the client goes.
 *
 * These are the program's exported C interface: its process-wide state,
 * the steps of start-up and of the connection, request service and the
 * back end over libtorvik, which uses the one handle Torvikfd.
 */
#ifndef REELHOUSE_H
#define REELHOUSE_H

#include <pthread.h>

#include "basalt.h"
#include "kestrel.h"
#include "orbstate.h"

#ifdef __cplusplus
extern "C" {
#endif

#define REELHOUSE_API __attribute__((visibility("default")))

/* Protocol version this server answers. */
#define REELHOUSE_VERSION 101
/* The port the status names (no socket listens on it). */
#define REELHOUSE_PORT 6510

/* The libtorvik handle of the served file or directory (-1 before the
 * open and after the close). */
REELHOUSE_API extern int Torvikfd;
/* Status: the counters of the connection; connections is the switch of
 * the connection notices. */
REELHOUSE_API extern Orbstat Status;
REELHOUSE_API extern pthread_mutex_t Status_mutex;
/* The client table (by descriptor), holding the one client. */
REELHOUSE_API extern Tbl *Clients;
REELHOUSE_API extern pthread_mutex_t Clients_mutex;
/* Held around every libtorvik call. */
REELHOUSE_API extern pthread_mutex_t Rwlock;
/* Initialised at start-up; nothing waits on them. */
REELHOUSE_API extern pthread_cond_t Added;
REELHOUSE_API extern pthread_mutex_t Added_mutex;
/* 1 once the program is stopping. */
REELHOUSE_API extern int Shutdown;

/* ---- Start-up and the connection ---- */
/* Fills the fixed fields of Status. */
REELHOUSE_API void setup_Status(int port);
/* Initialises Rwlock, Added and Added_mutex; a failure ends the program. */
REELHOUSE_API void setup_mutexes(void);
/* Reads the connection's first request on fd and answers it. An open
 * is answered once the operand is open (a failed open is refused and
 * ends the program); a liveness request is answered alone. The client
 * state of an accepted open, or null (the program then ends). */
REELHOUSE_API Orbclient_state *setup_state(int fd, char *name);
/* Opens the operand with the client's permission ('r' reads, 'w'
 * writes), after unlinking it when reset is set; applies sync (paced
 * replay), current (paced replay with current times) and the
 * representation of written packets. Torvikfd, or -1 when the open
 * failed, -2 for a permission that is neither. */
REELHOUSE_API int setup_orb(char *name, int perm, int reset, int sync, int current);

/* ---- The client and its requests ---- */
/* Serves the client in the calling (main) thread; never returns. */
REELHOUSE_API void *client_thread(void *state);
/* Serves one request into reply: 1 when the reply is to be sent. */
REELHOUSE_API int service_request(Orbrequest *request, Orbresponse *reply,
                                  Orbclient_state *state);
/* Stores one packet; on success *pktid + 1. 0, or the put's failure. */
REELHOUSE_API int save_packet(int thread, int *pktid, Pktpkg *pkg);
REELHOUSE_API void open_client(Orbclient_state *state);
/* Removes the client, closes its descriptor, closes the handle (all it
 * wrote is on disk), frees the state and ends the process with status 0. */
REELHOUSE_API void close_client(Orbclient_state *state);
REELHOUSE_API void getclients(Orbclient **array, int *count, int *allocated);
REELHOUSE_API int setlogging(int flag);
REELHOUSE_API void thread_message(char *text, Orbclient_state *state, int force);
/* Handler of the termination signals: marks the program as stopping; the
 * request loop closes the handle and ends the process. */
REELHOUSE_API void haltbysignal(int sig);

/* Packet pktid into pkg (at most maxbytes bytes when maxbytes >= 0),
 * through the client packet buffer *buffer of *bufsize bytes. */
REELHOUSE_API int orb2pkg(int pktid, char **buffer, int *bufsize, Pktpkg *pkg, int maxbytes);

/* ---- The back end over Torvikfd ---- */
REELHOUSE_API int _orbseek(int code);
REELHOUSE_API int _orbnext(void);
REELHOUSE_API int _orblatest(void);
REELHOUSE_API int _orbafter(double time);
REELHOUSE_API int _orbget(int code, int *pktid, char *srcname, double *time, char **packet,
                          int *nbytes, int *bufsize);
REELHOUSE_API int _orbput(char *srcname, double time, char *packet, int nbytes);
REELHOUSE_API int _orbselect(char *expression);
REELHOUSE_API int _orbclose(void);
REELHOUSE_API int _orbsources(Orbsrc **sources, int *count, int *size);
REELHOUSE_API int _orbsrcidbyname(char *srcname);
REELHOUSE_API int _orbsrcidbypktid(int pktid);
REELHOUSE_API int _orbget_stash(char *srcname);
REELHOUSE_API int _orb_valid_srcid(int srcid);
REELHOUSE_API int _orbclose_connection(void);

#ifdef __cplusplus
}
#endif

#endif
