/* libkestrel: our ring-buffer client library.
 *
 * Both sides of the ring-buffer protocol:
 *   - the protocol records (requests, responses, open strings, packets,
 *     client records, server status, sources) with their allocators;
 *   - the stream codec: the servers decode requests (gbnsOrbrequest) and
 *     encode responses (pbnsOrbresponse), clients encode requests
 *     (pbnsOrbrequest) and decode responses (gbnsOrbresponse);
 *   - the table of request-code names;
 *   - the client calls (orbopen ... orbclose) over TCP;
 *   - orbelog, through which the error log relays its messages to a ring.
 *
 * On the stream every record is preceded by the four bytes "orbm"; the
 * layout after them is described in wire-format.md beside this header.
 * The codec calls start after the sync word (the caller reads or writes
 * it). Every length the codec reads is checked against a bound before
 * anything is allocated.
 *
 * The library names no library it needs: it takes libbasalt (streams,
 * error log, parameter files, state files, signing client) from the
 * program that loads it.
 *
 * Records, streams and connections have no lock: each belongs to one
 * thread at a time. The table of connections is locked.
 */
#ifndef KESTREL_H
#define KESTREL_H

#include <stdint.h>

#include "bns.h"
#include "values.h"

#ifdef __cplusplus
#define KESTREL_BEGIN_DECLS extern "C" {
#define KESTREL_END_DECLS }
#else
#define KESTREL_BEGIN_DECLS
#define KESTREL_END_DECLS
#endif

#define KESTREL_API __attribute__((visibility("default")))

KESTREL_BEGIN_DECLS

/* ---- Request codes (the what field) ---- */
#define ORBPUT 1
#define ORBGET 2
#define ORBREAP 3
#define ORBSTAT 4
#define ORBCLIENTS 5
#define ORBSOURCES 6
#define ORBSEEK 7
#define ORBTELL 8
#define ORBSELECT 9
#define ORBREJECT 10
#define ORBCLOSE 11
#define ORBAFTER 12
#define ORBVERSION 14
#define ORBSETPRIO 16
#define ORBHALT 17
#define ORBLOGGING 18
#define ORBOPEN 20
#define ORBKILL 21
#define ORBMYTHREAD 23
#define ORBRUP 24
#define ORBPUT2 25
#define ORBGET2 26
#define ORBREAP2 27
#define ORBSTASHFLAG 28
#define ORBSTASHOP 29
#define ORBPUTACK 30
#define ORBPUTACK2 31
#define ORBCHALLENGE 33
#define ORBSIGNEDOPEN 34

/* ---- Positions (pktcode) ---- */
#ifndef ORBCURRENT
#define ORBCURRENT (-10)
#define ORBNEXT (-11)
#define ORBPREV (-12)
#define ORBOLDEST (-13)
#define ORBNEWEST (-14)
#endif
#define ORBNEXT_WAIT (-15) /* the packet after the current one, waiting for it */
#define ORBSTASHPKT (-18)  /* the stash */
#define ORBREAPEND (-32)   /* pktid of the packet that ends a counted reap */

/* The port a ring-buffer server listens on unless told otherwise. */
#define ORB_DEFAULT_PORT 6510

/* ---- Bounds of the wire ---- */
/* Largest body of a request and of a response after its 12-byte header. */
#define KESTREL_MAX_REQUEST (1024 * 1024)
#define KESTREL_MAX_RESPONSE (64 * 1024 * 1024 + 64 * 1024)
/* Longest packet body a response carries; a request's packet is bounded by
 * KESTREL_MAX_REQUEST. */
#define KESTREL_MAX_PACKET (64 * 1024 * 1024)
/* Longest selection or rejection expression a request carries. */
#define KESTREL_MAX_EXPRESSION (64 * 1024)

/* ---- Records ---- */

/* The open ("hello") of a connection. */
typedef struct OrbOpenString {
    int pid;       /* process id of the client program */
    int handshake; /* the bytes "orbm" as they stand in memory */
    char perm;     /* 'r' read, 'w' write */
    char what[128]; /* command line of the client program */
    char who[24];  /* user running the client */
} OrbOpenString;

/* One packet. */
typedef struct Pktpkg {
    double time;
    char *packet;          /* the bytes, owned, grown as needed */
    int sZpacket;          /* allocated size of packet */
    int pktid;
    int packetsize;        /* number of packet bytes */
    uint16_t srcnamesize;  /* length of srcname plus one */
    char srcname[64];
} Pktpkg;

/* One client as a server reports it. */
typedef struct Orbclient {
    double lastpkt; /* -1.0 until the first packet */
    double started;
    unsigned int read;
    int pid;
    unsigned int bytes;
    unsigned int packets;
    int pktid;
    int port;
    char address[4]; /* IPv4, network byte order */
    int thread;
    int fd;
    int nreject;
    int nselect;
    int errors;
    int priority;
    int lastrequest;
    int mymessages;
    unsigned int nrequests;
    unsigned int nwrites;
    unsigned int nreads;
    unsigned int written;
    char perm;
    char what[128];
    char host[128];
    char who[24];
    char select[96];
    char reject[96];
} Orbclient;

/* The server status. */
typedef struct Orbstat {
    double when;
    double started;
    double orb_start;
    int connections;
    int messages;
    unsigned int maxdata;
    int errors;
    int rejected;
    int closes;
    int opens;
    int port;
    char address[4]; /* IPv4, network byte order */
    int pid;
    int nsources;
    int nclients;
    int maxsrc;
    int maxpkts;
    char version[128];
    char who[24];
    char host[128];
} Orbstat;

/* One source. */
typedef struct Orbsrc {
    double slatest_time;
    double soldest_time;
    int nbytes;
    int npkts;
    int slatest;
    int soldest;
    int active;
    char srcname[64];
} Orbsrc;

/* One request from a client. */
typedef struct Orbrequest {
    double time;
    double reap_maxtime;
    char srcname[64];
    char *reject;         /* owned */
    Pktpkg *pkg;          /* owned */
    char *select;         /* owned */
    OrbOpenString *hello; /* owned */
    char signer[66];
    char signature[514];
    char challenge[14];   /* the first 12 bytes are the challenge */
    int thread;
    int stashflag;
    int newpri;
    int sZpkg;
    int logflag;
    int sZreject;
    int pktcode;
    int nreject;          /* characters in reject plus one */
    int sZselect;
    int reap_maxpkts;
    int nselect;          /* characters in select plus one */
    int sZhello;
    int reap_maxbytes;
    int athread;
    int what;             /* request code */
} Orbrequest;

/* One reply to a client. */
typedef struct Orbresponse {
    double source_when;
    double client_when;
    double server_start;
    double orb_start;
    Orbsrc *source;     /* nsource entries, owned */
    Pktpkg *pkg;        /* owned */
    Orbclient *client;  /* nclient entries (sZclient allocated), owned */
    Orbstat orbstat;
    char challenge[14]; /* 12 raw bytes of a challenge reply */
    int nsource;
    int sZclient;
    int nclient;
    int pktid;
    int sZpkg;
    int nselections;
    int version;
    int thread;
    int stashflag;
    int latest_pktid;
    int nerr;
    int sZsource;
    int active;
    int result;         /* 0 success, -1 failure */
    int what;           /* the request code answered */
    char errmsg[512];
} Orbresponse;

/* ---- Allocators ---- */
/* New records, never null (out of memory ends the process). */
KESTREL_API Orbrequest *newOrbrequest(void);
KESTREL_API Orbresponse *newOrbresponse(void);
KESTREL_API Orbclient *newOrbclient(void); /* lastpkt -1.0, the rest 0 */
KESTREL_API Pktpkg *newPktpkg(void);
KESTREL_API OrbOpenString *newOrbOpenString(void);
/* Each frees the record with what it owns; null is ignored. */
KESTREL_API void freeOrbrequest(Orbrequest *request);
KESTREL_API void freeOrbresponse(Orbresponse *response);
KESTREL_API void freeOrbclient(Orbclient *client);
KESTREL_API void freePktpkg(Pktpkg *pkg);

/* ---- Codec (after the sync word) ---- */
/* 0 when a whole record was read into the record (what it owns grown as
 * needed), -1 when the stream failed, timed out or the record broke a
 * bound or its layout; the record's what field changes only on success.
 * A request of an unknown code decodes with its body passed over. */
KESTREL_API int gbnsOrbrequest(Bns *in, Orbrequest *request);
KESTREL_API int gbnsOrbresponse(Bns *in, Orbresponse *response);
/* Append one record to the stream (no flush): 0, or -1 when a field
 * breaks a bound of the wire. */
KESTREL_API int pbnsOrbrequest(Bns *out, Orbrequest *request);
KESTREL_API int pbnsOrbresponse(Bns *out, Orbresponse *response);

/* ---- Names of the request codes ---- */
KESTREL_API extern Xlat Orbxlat[];
KESTREL_API extern int Orbxlatn;

/* ---- Client calls ---- */
/* A ring is named "host:port", "host" (port 6510), ":port" (this host)
 * or "host:name", the name being a port looked up in "ringhold_names".
 * perm begins with 'r' (read) or 'w' (write). The connection number, or a
 * negative value when the ring cannot be reached or refuses the open. */
KESTREL_API int orbopen(char *name, char *perm);
/* The same open, signed: the server's challenge and this open are signed
 * by the signing daemon under signer. */
KESTREL_API int orbsignedopen(char *name, char *perm, char *signer);
/* 0, or -1 when the connection was already broken (it is closed anyway). */
KESTREL_API int orbclose(int orb);

/* New position (-13 oldest, -14 newest, -11 next, -12 previous, -15 next
 * waiting, or a packet id); negative when there is none. */
KESTREL_API int orbseek(int orb, int which);
/* Positions on the first packet later than time; its id or negative. */
KESTREL_API int orbafter(int orb, double time);
/* Selection and rejection of source names (extended regular expressions
 * that must match the whole name; "" clears): negative on failure. */
KESTREL_API int orbselect(int orb, char *expression);
KESTREL_API int orbreject(int orb, char *expression);
/* The packet at which (ORBCURRENT, a position code or an id) into the
 * caller's buffer *packet of *bufsize bytes, which the library grows;
 * srcname holds 64 bytes. 0, or -1. */
KESTREL_API int orbget(int orb, int which, int *pktid, char *srcname, double *time,
                       char **packet, int *nbytes, int *bufsize);
/* The next packet of the stream, waiting for it. After a positioning call
 * the packet the position landed on comes first. 0, or -1 when the
 * connection has ended. */
KESTREL_API int orbreap(int orb, int *pktid, char *srcname, double *time, char **packet,
                        int *nbytes, int *bufsize);
/* Registers *pktid and *time with the program's state file (saved by
 * every bury from now on) and restores the saved position: 0 when the
 * connection now stands after the saved packet (pktid and time hold it),
 * non-zero when there was no saved position or it could not be restored. */
KESTREL_API int orbresurrect(int orb, int *pktid, double *time);

/* Relay of the error log: sends text as a log packet of program to ring.
 * 0, or -1 when it could not (the text then goes to standard error). */
KESTREL_API int orbelog(char *ring, char *program, char *text);

KESTREL_END_DECLS

#endif
