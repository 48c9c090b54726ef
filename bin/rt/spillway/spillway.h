/* spillway: copies packets from a ring-buffer server into a segment
 * directory on local disk, resuming after a restart where it stopped.
 *
 * The records below are the program's own; they are not exported. */
#ifndef SPILLWAY_H
#define SPILLWAY_H

#include "tbl.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The ring connection and the packet last received from it. */
typedef struct Ringhold {
    char *orbname;   /* ring server name */
    int orb;         /* connection handle */
    char *match;     /* selection expression, NULL when none */
    char *reject;    /* rejection expression, NULL when none */
    char *statefile; /* path of the state file */
    int quit;        /* 0 copying; signal number, 1 stop condition, -1 end of connection */
    double after;    /* not used */
    double until;    /* not used */
    int maxpkts;     /* packets to copy, 0 for no limit */
    int pktid;       /* id of the last packet received */
    char srcname[64];
    double time;
    char *packet;    /* body, grown by the client library */
    int nbytes;
    int bufsize;
} Ringhold;

/* The target segment directory. */
typedef struct Orbdisk {
    char *directory; /* copy of the target directory */
    char *filename;  /* not used */
    Tbl *files;      /* not used */
    double total;    /* bytes in the segment files at start */
    double minfree;  /* not used */
    double maxtotal; /* size limit given to the library */
    double current;  /* not used */
    double maxfile;  /* not used */
    int period;      /* segment period in seconds */
    int pktid;       /* not used */
    int out;         /* libtorvik handle of the directory */
} Orbdisk;

typedef struct Flags {
    unsigned int to_lastpkt : 1; /* stop at the newest packet present at start */
    unsigned int verbose : 4;    /* number of -v options, modulo 16 */
} Flags;

/* Seconds of packet time between state saves. */
extern int Decent_interval;

Ringhold *open_ringhold(char *orbname, char *statefile, char *match, char *reject, double after);
Orbdisk *open_orbdisk(char *directory, double maxsize, int period, Flags flags);
/* Copies until a stop condition; 0, or 1 when a packet could not be
 * written. */
int copy_packets(Ringhold *ring, Orbdisk *disk, double until, Flags flags);
void usage(void);

#ifdef __cplusplus
}
#endif

#endif
