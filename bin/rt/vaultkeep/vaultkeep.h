/* vaultkeep: the disk ring server. It serves one segment directory,
 * read-only, to any number of TCP clients through the ring-buffer
 * protocol, one thread per client and one more per streaming client.
 *
 * These are the program's exported C interface: the global settings and
 * status, the steps of start-up, connection set-up, request service and
 * streaming, the back end over libtorvik and the record printers.
 */
#ifndef VAULTKEEP_H
#define VAULTKEEP_H

#include <pthread.h>
#include <stdio.h>

#include "basalt.h"
#include "kestrel.h"
#include "orbstate.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VAULTKEEP_API __attribute__((visibility("default")))

/* Protocol version this server answers. */
#define VAULTKEEP_VERSION 7

/* Settings and status of the server; one instance, Params. */
typedef struct Parameters {
    int verbose;            /* notices of start-up, connections and threads */
    char torvikdir[4096];   /* the directory served */
    double server_start;
    int torvik_latest;      /* time of the newest packet, whole seconds */
    int first_pktid;        /* oldest packet id */
    int latest_pktid;       /* newest packet id */
    int port;
    char *pfname;           /* the program's parameter file */
    Tbl *clients;           /* client state by socket descriptor, or null */
    pthread_mutex_t clients_mutex;
    Orbstat status;
    pthread_mutex_t status_mutex;
    int shutdown;           /* 1 once stopping; never reset */
    int rejected;
} Parameters;

VAULTKEEP_API extern Parameters Params;

/* ---- Start-up, status and signals ---- */
VAULTKEEP_API int torvikportnum(char *text, char *dir, int *port, char *extra);
/* Refreshes the directory figures; 0, or -1 when the directory cannot be
 * opened (the figures are then left as they were). */
VAULTKEEP_API int update_Params(double *oldest_time, double *newest_time);
VAULTKEEP_API void show_vaultkeep(void);
VAULTKEEP_API void setup_status(int port);
VAULTKEEP_API void open_client(Orbclient_state *state);
VAULTKEEP_API void close_client(Orbclient_state *state);
VAULTKEEP_API void cleanup_threads(void);
VAULTKEEP_API void haltbysignal(int sig);
VAULTKEEP_API void *death_thread(void *sig);

/* ---- Connection set-up and access control ---- */
VAULTKEEP_API void *launch(void *fd);
VAULTKEEP_API void fd2ip(int fd, unsigned int *ip, int *port, char *text);
VAULTKEEP_API int challenge(unsigned int ip, Bns *in, Orbrequest *request, Bns *out,
                            Orbresponse *response);
VAULTKEEP_API int validate_open(unsigned int ip, Pf *pf, Orbrequest *request,
                                char **restrictions);
VAULTKEEP_API void reject_connection(Pf *pf, Orbrequest *request, Orbresponse *response);
VAULTKEEP_API Orbclient *setup_client(int fd, unsigned int ip, int port, Orbrequest *request);
VAULTKEEP_API Orbclient_state *setup_state(Bns *in, Bns *out, char *iptext, Orbclient *client,
                                           Orbrequest *request, Orbresponse *response,
                                           char *restrictions, int pktlog, int *errors);
VAULTKEEP_API void fix_orbopen_reply(Orbrequest *request, Orbresponse *response,
                                     Orbclient_state *state);
VAULTKEEP_API void fix_orbrup_reply(Orbrequest *request, Orbresponse *response);
VAULTKEEP_API int log_connection(Pf *pf, char *iptext);
VAULTKEEP_API void free_setup(int fd, Orbclient_state *state, Bns *in, Bns *out,
                              Orbrequest *request, Orbresponse *response);
VAULTKEEP_API char *orbconstant(int code, char *buffer);

/* ---- Client thread and request dispatch ---- */
VAULTKEEP_API void *client_thread(void *state);
VAULTKEEP_API int service_request(Orbrequest *request, Orbresponse *reply,
                                  Orbclient_state *state);
VAULTKEEP_API int setlogging(int flag);
VAULTKEEP_API int wait_for_next(int pktid, Orbclient_state *state);
/* Packet pktid into pkg (at most maxbytes bytes when maxbytes >= 0),
 * through the client packet buffer *buffer of *bufsize bytes. */
VAULTKEEP_API int orb2pkg(int handle, int pktid, char **buffer, int *bufsize, Pktpkg *pkg,
                          int maxbytes);
VAULTKEEP_API void getclients(Orbclient **array, int *count, int *allocated);
VAULTKEEP_API void thread_message(char *text, Orbclient_state *state, int force);

/* The back end: the dispatcher reaches libtorvik only through these. */
VAULTKEEP_API int _orbseek(int handle, int code);
VAULTKEEP_API int _orbnext(int handle);
VAULTKEEP_API int _orblatest(int handle);
VAULTKEEP_API int _orbafter(int handle, double time);
VAULTKEEP_API int _orbget(int handle, int code, int *pktid, char *srcname, double *time,
                          char **packet, int *nbytes, int *bufsize);
VAULTKEEP_API int _orbput(int handle, char *srcname, double time, char *packet, int nbytes);
VAULTKEEP_API int _orbselect(int handle, char *expression);
VAULTKEEP_API int _orbclose(int handle);
VAULTKEEP_API int _orbsources(int handle, Orbsrc **sources, int *count, int *size);
VAULTKEEP_API int _orbsrcidbyname(int handle, char *srcname);
VAULTKEEP_API int _orbsrcidbypktid(int handle, int pktid);
VAULTKEEP_API int _orbget_stash(int handle, char *srcname);
VAULTKEEP_API int _orb_valid_srcid(int handle, int srcid);
VAULTKEEP_API int _orbclose_connection(int handle);

/* ---- Reap streaming ---- */
VAULTKEEP_API void start_reap(Orbclient_state *state);
VAULTKEEP_API void stop_reap(Orbclient_state *state, char *why);
VAULTKEEP_API void *reap_thread(void *state);

/* ---- Record printers (standard error; flag selects the annotated lines) ---- */
VAULTKEEP_API void pdbgPktpkg(Pktpkg *pkg, int flag);
VAULTKEEP_API void pdbgOrbsrc(Orbsrc *src, int flag);
VAULTKEEP_API void pdbgOrbclient(Orbclient *client, int flag);
VAULTKEEP_API void pdbgOrbOpenString(OrbOpenString *hello, int flag);
VAULTKEEP_API void pdbgOrbstat(Orbstat *status, int flag);
VAULTKEEP_API void pdbgOrbrequest(Orbrequest *request, int flag);
VAULTKEEP_API void pdbgOrbresponse(Orbresponse *response, int flag);

#ifdef __cplusplus
}
#endif

#endif
