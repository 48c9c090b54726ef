/* libtorvik: a packet file or a directory of packet segment files seen as
 * a ring of packets.
 *
 * Callers hold a small integer handle returned by torvikopen; the record
 * behind it belongs to the library until torvikclose. A handle is used by
 * one thread at a time; only the table of handles is locked.
 *
 * Every function returns 0 (or a packet id, or a count) on success and -1
 * on failure, an id that is not open included; the end of the data is an
 * ordinary -1.
 */
#ifndef TORVIK_H
#define TORVIK_H

#include <regex.h>
#include <stdint.h>
#include <stdio.h>

#include "basalt_api.h"
#include "tbl.h"

BASALT_BEGIN_DECLS

/* Position codes of torvikseek and torvikget; 0 or more is a packet id. */
#define ORBCURRENT (-10)
#define ORBNEXT (-11)
#define ORBPREV (-12)
#define ORBOLDEST (-13)
#define ORBNEWEST (-14)

/* Keys of torvikset and torvikquery (lists end with key 0). */
#define TORVIK_FIRST_PKTID 1      /* query: int */
#define TORVIK_FIRST_TIME 2       /* query: int */
#define TORVIK_SEGMENT_PERIOD 3   /* set, query: int seconds */
#define TORVIK_MAXPKTS 4          /* set, query: int */
#define TORVIK_MAX_SEGMENT_SIZE 5 /* set, query: int bytes */
#define TORVIK_FILENAME 6         /* query: char*, a new copy */
#define TORVIK_REPRESENTATION 7   /* set: char*; query: char*, a new copy */
#define TORVIK_CURRENT 8          /* set: int flag */
#define TORVIK_SYNCHRONOUS 9      /* set: int flag */
#define TORVIK_VERBOSE 10         /* set: int, clamped to 0..3 */
#define TORVIK_MAXSIZE 11         /* set, query: double bytes */
#define TORVIK_FILES 12           /* query: Tbl* of paths, the caller's */
#define TORVIK_TOTAL_BYTES 13     /* query: double */
#define TORVIK_MAXPKTID 14        /* set: int */
#define TORVIK_MAX_TIME_GAP 15    /* set, query: int seconds */

/* Flags of a handle, one word. The library keeps two more bits after
 * these for its writer. */
#ifndef TORVIK_PRIVATE_FLAGS
#define TORVIK_PRIVATE_FLAGS
#endif
typedef struct TorvikFlags {
    unsigned int verbose : 2;     /* 0..3 */
    unsigned int synchronous : 1; /* pace delivery to packet times */
    unsigned int current : 1;     /* shift delivered times to the present */
    unsigned int write : 1;       /* opened for writing */
    TORVIK_PRIVATE_FLAGS
} TorvikFlags;

/* One packet of the current file, at slot pktid - first_pktid of the
 * handle's index. */
typedef struct TorvikPkt {
    int32_t pktid;
    long fpos;        /* offset of the packet's header line */
    double time;      /* packet time as read */
    char srcname[64];
} TorvikPkt;

/* The record behind a handle. */
typedef struct Torvikfile {
    char *dirname;      /* segment directory, or NULL for a free-standing file */
    char *filename;     /* current file ("/dev/null" while a directory has none) */
    FILE *file;         /* not used */
    int id;             /* handle id */
    int fd;             /* descriptor of the current file, -1 when none */
    char representation[16]; /* used when writing, "x" by default */
    Tbl *index;         /* TorvikPkt entries of the current file */
    char *select;       /* selection expression text */
    char *reject;       /* rejection expression text */
    regex_t *select_pgm;
    regex_t *reject_pgm;
    TorvikFlags flags;
    double tdelta;      /* replay shift: now minus packet time */
    int first_pktid;    /* id of the current file's first packet */
    int first_time;     /* name time of the current segment file */
    int segment_period; /* seconds of data per segment file */
    double maxsize;     /* byte limit of the directory */
    int maxpkts;        /* packets per segment file */
    int max_segment_size; /* byte limit of one segment file */
    int max_time_gap;   /* seconds past the newest time a time is trusted */
    int maxpktid;       /* id span after which a file closes at the next second */
    int maxskip;        /* packets tolerated within that second */
    int count;          /* packets written within that second */
    int segment_bytes;  /* bytes counted into the current segment file */
    int pktid;          /* current packet, -1 when none */
    char srcname[64];   /* source name of the current packet */
    double time;        /* time of the current packet */
    double maxtime;     /* newest packet time written */
    int nbytes;         /* byte count of the current packet */
    char *packet;       /* body of the current packet */
    int bufsize;        /* allocated size of packet */
} Torvikfile;

/* ---- Handles, settings and selection ---- */

BASALT_API Torvikfile *fd2torvik(int orb, Torvikfile *atorvik);
BASALT_API Torvikfile *torviknew(void);
BASALT_API void torvikfree(Torvikfile *atorvik);
BASALT_API int torvikopen(char *filename, char *representation);
BASALT_API int torvikclose(int orb);
BASALT_API int torvikfd(int orb);
BASALT_API int torviktell(int orb);
BASALT_API int torvikselect(int orb, char *select);
BASALT_API int torvikreject(int orb, char *reject);
BASALT_API int selected(Torvikfile *atorvik, char *srcname);
BASALT_API int torvikset(int orb, ...);
BASALT_API int torvikquery(int orb, ...);

/* ---- Packet file format ---- */

BASALT_API int torvik_write_hdr(Torvikfile *atorvik, char *srcname, double time,
                                int nbytes);
BASALT_API int torvik_read_line(Torvikfile *atorvik, char *aline, int size,
                                long *fpos);
BASALT_API int torvik_parse_line(char *aline, char *representation,
                                 char *srcname, double *time, int *nbytes);
BASALT_API int torvik_read_hdr(Torvikfile *atorvik, long *fpos,
                               char *representation, char *srcname,
                               double *time, int *nbytes);
BASALT_API int torvik_newest(Torvikfile *atorvik);
BASALT_API char *orbpkt_string(char *srcname, double time, char *packet,
                               int nbytes);

/* ---- Segment directories ---- */

/* The header of the end-of-segment marker as the repair recognises it. */
BASALT_API extern char *Lastpacket;

BASALT_API void torvik_parse_filename(char *filename, int *time, int *pktid);
BASALT_API Tbl *segmentfiles(char *dir);
BASALT_API int torvikopenfile(Torvikfile *atorvik, char *filename);
BASALT_API char *filebytime(Torvikfile *atorvik, double time);
BASALT_API char *nextfile(Torvikfile *atorvik);
BASALT_API char *filebypktid(Torvikfile *atorvik, int pktid);
BASALT_API char *torvikfilename(Torvikfile *atorvik, double time, int pktid);
BASALT_API int advancefile(Torvikfile *atorvik);
BASALT_API double maxtime(Torvikfile *atorvik);
BASALT_API int torvik_new_segment(Torvikfile *atorvik, double time);
BASALT_API int finish_segment(Torvikfile *atorvik);
BASALT_API void torvikcleanup(Torvikfile *atorvik);
BASALT_API int torvikput(int orb, char *srcname, double time, char *packet,
                         int nbytes);
BASALT_API int torvikstat(int orb, Tbl **files, double *size);
BASALT_API int has_last_packet(char *filename, int *addbytes);
BASALT_API int torvikcorrect(int orb);

/* ---- Reading and positioning ---- */

BASALT_API int torviknext(Torvikfile *atorvik, int advance);
BASALT_API int pktseek(Torvikfile *atorvik, int pktid);
BASALT_API int advance2pktid(Torvikfile *atorvik, int pktid);
BASALT_API int torviknext_selected(Torvikfile *atorvik);
BASALT_API int torvikprev_selected(Torvikfile *atorvik);
BASALT_API int torvikseek(int orb, int which);
BASALT_API int torvikafter(int orb, double time);
BASALT_API int torvikget(int orb, int which, int *pktid, char *srcname,
                         double *time, char **packet, int *nbytes,
                         int *bufsize);
BASALT_API int torvikreap(int orb, int *pktid, char *srcname, double *time,
                          char **packet, int *nbytes, int *bufsize);
BASALT_API int torvik_copy_packet(Torvikfile *atorvik, int *pktid,
                                  char *srcname, double *time, char **packet,
                                  int *nbytes, int *bufsize);

BASALT_END_DECLS

#endif
