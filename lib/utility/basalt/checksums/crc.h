/* Checksums and the SHA-1 digest.
 *
 * The running checksums take their register from the caller and hand it back
 * updated, so that a long stream can be summed piece by piece:
 *
 *   bt_adler32   Adler-32 (modulus 65521); a stream starts with 1
 *   bt_crc16     reflected CRC-16, polynomial 0xA001 (CRC-16/ARC from 0)
 *   bt_crc32     non-reflected CRC-32, polynomial 0x04C11DB7, no final XOR
 *                (from 0xFFFFFFFF: CRC-32/MPEG-2; from 0: the register of
 *                POSIX cksum before its length bytes and complement)
 *
 * qtcrc (non-reflected 32-bit CRC, polynomial 0x56070368) and qtchecksum (the
 * byte sum modulo 65536) always start from 0. A size of 0 or less leaves a
 * running register unchanged and makes qtcrc and qtchecksum store 0.
 *
 * SHA-1: sha_init, any number of sha_update calls, sha_final, then
 * sha_digest writes the 20-byte digest. sha_copy duplicates a context so
 * that two digests of a common prefix can go on separately.
 */
#ifndef BASALT_CRC_H
#define BASALT_CRC_H

#include <stdint.h>

#include "basalt_api.h"

/* SHA-1 context: the state words H0..H4, the number of whole 64-byte blocks
 * processed (low and high word), the pending bytes and their count. */
typedef struct sha_ctx {
    uint32_t digest[5];
    uint32_t count_l, count_h;
    unsigned char block[64];
    int index;
} sha_ctx;

BASALT_BEGIN_DECLS

BASALT_API unsigned long bt_adler32(unsigned long adler, unsigned char *buf,
                                    unsigned int len);
BASALT_API void bt_crc16(short *crc16p, unsigned char *buffer, int bufsize);
BASALT_API void bt_crc32(int *crc32p, unsigned char *buffer, int bufsize);
BASALT_API void qtcrc(int *crcp, unsigned char *buffer, int bufsize);
BASALT_API void qtchecksum(short *checksump, unsigned char *buffer, int bufsize);

BASALT_API void sha_init(sha_ctx *ctx);
BASALT_API void sha_update(sha_ctx *ctx, const unsigned char *buffer,
                           unsigned int len);
BASALT_API void sha_final(sha_ctx *ctx);
BASALT_API void sha_digest(sha_ctx *ctx, unsigned char *s);
BASALT_API void sha_copy(sha_ctx *dest, sha_ctx *src);

BASALT_END_DECLS

#endif
