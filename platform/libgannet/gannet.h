/* libgannet: our stand-in for the maker's packet library.
 *
 * It holds the few packet calls the ring library and the copier make: a
 * packet record with a list of channels, the packet type registered for a
 * suffix, stuffing a packet into bytes (and reading them back), and a
 * readable display of a packet.
 *
 * Byte layout of a stuffed packet (all integers and doubles big-endian,
 * doubles as IEEE 754):
 *
 *     offset  bytes  field
 *     0       4      "GNT1"
 *     4       2      packet version (unsigned)
 *     6       2      number of channels (unsigned)
 *     8       16     packet type suffix, NUL-padded
 *     24      ...    the channels, one after the other
 *
 *   a channel:
 *     0       2      segment type, NUL-padded
 *     2       16     network code, NUL-padded (each code at most 15)
 *     18      16     station code
 *     34      16     channel code
 *     50      16     location code
 *     66      8      time of the first sample (epoch seconds)
 *     74      8      sample rate (samples per second)
 *     82      8      calib
 *     90      8      calper
 *     98      4      sample count n (signed, 0 to GANNET_MAX_SAMPLES)
 *     102     4 * n  the samples, signed 32-bit
 *
 * A source name is composed as net_sta_chan, with "_loc" added when the
 * location code is set, and "/suffix" when the packet type has one.
 *
 * Records are allocated by the library and freed with the free functions;
 * out of memory ends the process with a message on the standard error.
 * Nothing in the library keeps state of its own except the table of packet
 * types, which is constant.
 */
#ifndef GANNET_H
#define GANNET_H

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
#define GANNET_BEGIN_DECLS extern "C" {
#define GANNET_END_DECLS }
#else
#define GANNET_BEGIN_DECLS
#define GANNET_END_DECLS
#endif

#define GANNET_API __attribute__((visibility("default")))

GANNET_BEGIN_DECLS

/* Size of the code fields (a code holds at most GANNET_CODE_SIZE - 1
 * characters and its NUL). */
#define GANNET_CODE_SIZE 16
/* Size of a composed source name buffer. */
#define GANNET_SRCNAME_SIZE 64
/* Largest sample count of one channel. */
#define GANNET_MAX_SAMPLES 16777216
/* Bytes before the first channel, and of a channel before its samples. */
#define GANNET_HEADER_BYTES 24
#define GANNET_CHANNEL_BYTES 102

/* A packet type, found by its suffix with suffix2pkttype. */
typedef struct Pkttype {
    const char *name;   /* name of the type */
    const char *suffix; /* source-name suffix of its packets */
    const char *desc;   /* a few words on what the packets hold */
} Pkttype;

/* The parts of a packet's source name. */
typedef struct Srcname {
    char src_net[GANNET_CODE_SIZE];
    char src_sta[GANNET_CODE_SIZE];
    char src_chan[GANNET_CODE_SIZE];
    char src_loc[GANNET_CODE_SIZE];
    char src_suffix[GANNET_CODE_SIZE];
} Srcname;

/* One channel of samples. */
typedef struct PktChannel {
    char segtype[2];              /* segment type, e.g. "V" */
    char net[GANNET_CODE_SIZE];
    char sta[GANNET_CODE_SIZE];
    char chan[GANNET_CODE_SIZE];
    char loc[GANNET_CODE_SIZE];
    double time;                  /* time of the first sample */
    double samprate;              /* samples per second */
    double calib;
    double calper;
    int nsamp;                    /* samples in data */
    int *data;                    /* the samples */
    int datasz;                   /* samples data holds when the channel owns
                                     it (freed with the channel); 0 when the
                                     buffer is lent by the caller */
} PktChannel;

/* A packet: its type, its source-name parts and its channels. */
typedef struct Packet {
    int version;
    Srcname parts;
    double time;                  /* set by stuffPkt and unstuffPkt */
    const Pkttype *pkttype;       /* null until set */
    int nchannels;                /* entries of channels in use */
    int channelsz;                /* entries allocated */
    PktChannel **channels;        /* owned by the packet */
} Packet;

/* New empty records; freePkt frees the packet and its channels. */
GANNET_API Packet *newPkt(void);
GANNET_API void freePkt(Packet *pkt);
GANNET_API PktChannel *newPktChannel(void);
GANNET_API void freePktChannel(PktChannel *pktchan);

/* Puts pktchan at index of the packet's channel list (growing the list;
 * slots skipped over are null); a channel it replaces is freed. The packet
 * owns the channel from then on. 0, or -1 for a negative index. */
GANNET_API int setPktChannel(Packet *pkt, int index, PktChannel *pktchan);

/* The packet type registered for suffix ("dbug" is known), or null. The
 * record is the library's. */
GANNET_API const Pkttype *suffix2pkttype(const char *suffix);

/* Stuffs pkt in the layout above into the caller's growable buffer
 * *packet of *bufsize bytes (allocated or enlarged when null or too small,
 * never shrunk; the caller frees it), sets *nbytes to the byte count, writes
 * the composed source name into srcname (GANNET_SRCNAME_SIZE bytes) and the
 * time of the first channel (0 without channels) into *time and into the
 * packet. Returns 0, or -1 (nothing changed) when a channel holds more than
 * GANNET_MAX_SAMPLES samples, a negative count, or no samples for its
 * count, or there are more than 65535 channels. */
GANNET_API int stuffPkt(Packet *pkt, char *srcname, double *time, char **packet, int *nbytes,
                        int *bufsize);

/* Reads a stuffed packet back into *pkt (a new packet when *pkt is null,
 * else the old one emptied first); each channel owns its samples. Returns
 * 0, or -1 when the bytes are not a whole packet of this layout (*pkt is
 * then left as it was, or null). srcname and time are not used. */
GANNET_API int unstuffPkt(const char *srcname, double time, const char *packet, int nbytes,
                          Packet **pkt);

/* Prints a description of a packet to file. The first line is
 *     "<pktid> '<srcname>' <time> <nbytes> bytes\n"
 * (time as yyyy-mm-dd hh:mm:ss.sss UTC). For a packet of this layout a
 * second line "    <suffix> version <v>, <k> channel(s)\n" follows and,
 * when mode is above 0, a line per channel
 *     "    <net>_<sta>_<chan>[_<loc>] <segtype> <time> <rate> sps <n> samples"
 *     " calib <calib> calper <calper>\n"
 * (numbers as %g), and when mode is above 3 one more line per channel
 * with its first samples (at most 8): "      <s1> <s2> ...\n". */
GANNET_API void showPkt(int pktid, char *srcname, double time, char *packet, int nbytes,
                        FILE *file, int mode);

GANNET_END_DECLS

#endif
