/* kitbag: host identity and file-system information.
 *
 * - Who the program is: the host's node name, operating system and machine
 *   type, the login name.
 * - Where it is: the host's IPv4 addresses and name, and lookups from names
 *   to addresses and back.
 * - File systems: the mount that holds a path and its host, the room left
 *   there, whether it is a network (NFS) mount, and whether a name is a
 *   known time zone.
 *
 * Addresses: a network-order address is the 4 bytes as they stand in a
 * socket address, held in an int; a host-order address is the integer
 * a x 2^24 + b x 2^16 + c x 2^8 + d of the dotted form a.b.c.d.
 *
 * Callers give buffers of at least 64 bytes for names and dotted forms
 * (longer names are cut to 63 characters), 4096 bytes for a file-system
 * path, and 32 ints to my_ips.
 *
 * The lookups and the caches behind them may be used from any thread.
 */
#ifndef KITBAG_HOST_H
#define KITBAG_HOST_H

#include "basalt_api.h"

BASALT_BEGIN_DECLS

/* The file system of a path, made by infopath; the caller frees it. */
typedef struct InfoPath {
    unsigned long device; /* the file-system id */
    char host[64];        /* host of a remote mount; empty for a local one */
    char fs[4096];        /* the mounted device, or the remote path */
    double avail;         /* bytes available to unprivileged users */
    double total;         /* size in bytes */
    double avail_inodes;  /* inodes available to unprivileged users */
    double total_inodes;  /* inodes in all */
    char fstype[32];      /* empty */
    int max_filename;     /* 0 */
    int flags;            /* 0 */
    char fstr[32];        /* empty */
} InfoPath;

/* The node name cut at its first '.'; the operating-system name; the
 * machine type. 0, or (with buf empty) the negative result of uname. */
BASALT_API int my_hostname(char *buf);
BASALT_API int my_os(char *buf);
BASALT_API int my_hardware(char *buf);

/* The host's official name, its dotted address and its network-order
 * address. When the node name does not resolve, the local host's name and
 * the first own address of the interface listing. 0, or -1 when there is
 * no address at all. */
BASALT_API int my_ip(char *name, char *dotted, int *addr);

/* The host name of a network-order address: 0; -1 with the dotted form
 * when the address has no name (complained about once per address, then
 * answered from memory without a lookup). */
BASALT_API int ip2name(int addr, char *name);

/* The first network-order address of a host name and its dotted form: 0;
 * -1 with *addr all ones and dotted empty when the name does not resolve. */
BASALT_API int name2ip(char *name, int *addr, char *dotted);

/* The login name: 0; -1 with "u#" and the user id when there is none. */
BASALT_API int my_username(char *buf);

/* The host-order address of the first address line of the interface
 * listing (loopback included); 0 when there is none. */
BASALT_API int my_ipaddress(void);

/* The host's own addresses, loopback excepted, at most 31, as host-order
 * integers followed by a 0; returns their number. The listing is read at
 * most once a minute. */
BASALT_API int my_ips(int *ips);

/* The mount that holds path: host receives the remote host (empty for a
 * local mount), fs the device or remote path. 0, or -1 when the path
 * cannot be examined or no mount holds it. */
BASALT_API int fspath(char *path, char *host, char *fs);

/* A new record of the file system of path, or null. */
BASALT_API InfoPath *infopath(char *path);

/* 1 when path lies on a remote mount, 0 on a local one, -1 when its mount
 * cannot be found. */
BASALT_API int is_nfs(char *path);

/* 1 when the zone database holds a regular file of that name, else 0;
 * errno is left as it was. */
BASALT_API int is_timezone(char *name);

BASALT_END_DECLS

#endif
