/* Signing client and client IP access list.
 *
 * The signing client asks the signing daemon to sign data under a signer's
 * name, or to verify a signature, over one short TCP conversation per
 * call. The daemon's address ("host:port") is the value of "server" in the
 * parameter file "sg.pf"; no port, or nothing after the colon, means port
 * 56789, and an empty host means the local host. Conversations of one
 * process are serialised: one connection to the daemon at a time.
 *
 * The access list admits an IPv4 client against the parameter-file list
 * "valid_ip_addresses" (lines "address netmask [restriction text]"); the
 * first line whose masked address equals the masked client address wins.
 */
#ifndef BASALT_SIGNING_H
#define BASALT_SIGNING_H

#include "basalt_api.h"
#include "pf.h"

BASALT_BEGIN_DECLS

/* Default port of the signing daemon. */
#define SG_DEFAULT_PORT 56789
/* Longest signature exchanged with the daemon (characters). */
#define SG_MAX_SIGNATURE 512

/* Signs nbytes of data under signer. signature must hold 513 bytes; it
 * receives the daemon's reply line, NUL-terminated, at most 512
 * characters. 0 when a line came, 1 when none did, -1 when the daemon
 * cannot be reached (or the signer name is too long to send). */
BASALT_API int sgsign(char *signer, char *data, int nbytes, char *signature);

/* Asks the daemon whether signature (only its first 512 characters are
 * sent) belongs to nbytes of data under signer. The daemon's integer
 * answer, or -1 when it cannot be reached or gave no reply line. */
BASALT_API int sgverify(char *signer, char *data, int nbytes, char *signature);

/* ip is network order (as inet_addr gives it). 1 when a line of the list
 * "valid_ip_addresses" of pf admits ip: *rstrict then receives a malloc'd
 * copy of the line's restriction text, trimmed, or null when the line has
 * none. 0 when no line matches or pf has no list (*rstrict untouched). */
BASALT_API int legit_ip_pf(Pf *pf, unsigned int ip, char **rstrict);

/* legit_ip_pf on the parameter file pfname, read afresh; -1 when it cannot
 * be read. Only 1 admits: callers must not treat -1 as true. */
BASALT_API int legit_ip(char *pfname, unsigned int ip, char **rstrict);

BASALT_END_DECLS

#endif
