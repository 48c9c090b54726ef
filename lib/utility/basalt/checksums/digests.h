/* Message digests: MD4, MD5 and a second MD5 with its own context.
 *
 * MD4 has the interface of RFC 1186: MDbegin, then MDupdate with 512 bits
 * (one 64-byte block) as often as needed, then one last MDupdate with the
 * remaining 0 to 511 bits, which completes the digest. This MD4 forms the
 * message words and stores the finished state words most significant byte
 * first, on every host, so its digest is not the RFC 1320 digest of the same
 * message; it is the same on every host. After completion the 16 bytes of
 * buffer are the digest.
 *
 * MD5 (RFC 1321): MD5Init, MD5Update as often as needed, MD5Final. mdhex and
 * mdhexlist give the digest as 32 lower-case hexadecimal digits and a NUL
 * (33 bytes). The second MD5 (inirvm, addrvm, endrvm) keeps the finished
 * digest in its context; ascrvm writes it as hexadecimal text.
 *
 * The SHA-1 digest is declared in crc.h.
 */
#ifndef BASALT_DIGESTS_H
#define BASALT_DIGESTS_H

#include <stdint.h>

#include "basalt_api.h"

/* MD4: the state words A, B, C, D (after completion the digest bytes), the
 * number of message bits as a 64-bit count stored low byte first, and a
 * flag set once the digest is complete. */
typedef struct MDstruct {
    unsigned int buffer[4];
    unsigned char count[8];
    unsigned int done;
} MDstruct, *MDptr;

/* MD5: the state words, the number of message bits (low word first) and the
 * block being filled. */
typedef struct MD5Context {
    uint32_t buf[4];
    uint32_t bits[2];
    unsigned char in[64];
} MD5Context;

/* Second MD5: the number of message bits (low word first), the state words,
 * the block being filled and the finished digest. */
typedef struct Rvm {
    uint32_t i[2];
    uint32_t buf[4];
    unsigned char in[64];
    unsigned char digest[16];
} Rvm;

BASALT_BEGIN_DECLS

BASALT_API void MDbegin(MDptr MDp);
BASALT_API void MDupdate(MDptr MDp, unsigned char *X, unsigned int count);

BASALT_API void MD5Init(MD5Context *ctx);
BASALT_API void MD5Update(MD5Context *ctx, const unsigned char *buf, unsigned len);
BASALT_API void MD5Final(unsigned char digest[16], MD5Context *ctx);
BASALT_API void mdhex(char *hex, const char *in, int n);
/* mdhexlist(result, buf1, n1, buf2, n2, ..., NULL): each buffer a pointer
 * followed by its byte count (int), the list ended by a null pointer. */
BASALT_API void mdhexlist(char *result, ...);

BASALT_API void inirvm(Rvm *rvm);
BASALT_API void addrvm(Rvm *rvm, const unsigned char *inBuf, unsigned int inLen);
BASALT_API void endrvm(Rvm *rvm);
BASALT_API void ascrvm(Rvm *rvm, char *digest);

BASALT_END_DECLS

#endif
