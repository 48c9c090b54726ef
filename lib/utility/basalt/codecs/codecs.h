/* Compression codecs for runs of 32-bit integer samples.
 *
 * Canadian compression (ccanada, ucanada): blocks of 20 samples, second
 * differences, a width class per group of four, bit packing. The stream is
 * an index of one 16-bit entry per block (a flag bit and five 3-bit width
 * codes), the first sample (4 bytes, big-endian) and the packed differences.
 * The sample after the compressed run (when the caller passes 20k + 1
 * samples, the last one; else -2147483648) is the check sample that the
 * decoder returns after the samples.
 *
 * CM6 (cm6, um6): the six-bit text encoding of the GSE2.0 exchange format, in
 * lines of 80 characters, ended by a "CHK2 %d" line with the GSE2.0 checksum
 * (gse_checksum) of the samples. um6 also reads text preceded by the header
 * lines of a GSE2.0 waveform section, and verifies the checksum.
 *
 * Block format (gencompress, genuncompress): the sample count (4 bytes,
 * big-endian); for one sample the sample itself; for more, the block length
 * L (1 byte) and blocks of L samples, each a width byte h and the samples as
 * two's-complement fields of h + 1 bits. genuncompress reads any number of
 * such segments placed back to back.
 *
 * Run-class format (cucsd, uucsd): the first sample (4 bytes, big-endian),
 * then runs of differences of one width class (4, 8, 12 or 16 bits, or
 * 24-bit samples), each a code byte, a count byte and the payload, starting
 * at even offsets. The stream holds no sample count. cucsd keeps no state
 * between calls.
 *
 * Buffers: each function takes the caller's buffer pointer and its capacity
 * by address, allocates or enlarges the buffer as needed and stores the new
 * capacity; the caller frees it. Failures are logged through the error log
 * with messages beginning with the function's name, and give -1.
 */
#ifndef BASALT_CODECS_H
#define BASALT_CODECS_H

#include "basalt_api.h"

BASALT_BEGIN_DECLS

/* Compresses nsamp (20k or 20k + 1, at least 1) samples into *compressedp
 * (capacity in bytes at *compressedsz) and stores the stream length at
 * *nbytes. 0, or -1. */
BASALT_API int ccanada(int *data, int nsamp, unsigned char **compressedp,
                       int *nbytes, int *compressedsz);
/* Decodes an nbytes-byte stream into *datap (capacity in bytes at *datasz).
 * With *nsamp 0 or less on entry the count is taken from the stream and
 * stored there; else it is the count to decode (a multiple of 20). The
 * samples are followed by the check sample. 0, or -1. */
BASALT_API int ucanada(unsigned char *compressed, int nbytes, int **datap,
                       int *nsamp, int *datasz);

/* Writes nsamp samples as CM6 text and the checksum line into *compressedp
 * (capacity in bytes at *compressedsz), NUL-terminated; the length without
 * the NUL is stored at *nbytes. Returns 0. */
BASALT_API int cm6(int *data, int nsamp, char **compressedp, int *nbytes,
                   int *compressedsz);
/* Decodes the CM6 text of nbytes characters into *datap (capacity in
 * samples at *datasz) and stores the count at *nsamp. Returns the count, or
 * -1 for bad text or a checksum that does not match (the samples decoded so
 * far and their count are stored all the same). */
BASALT_API int um6(char *compressed, int nbytes, int **datap, int *nsamp,
                   int *datasz);
/* The GSE2.0 checksum of nsamp samples, started from *checksump and stored
 * there. */
BASALT_API void gse_checksum(int *signal, int nsamp, int *checksump);

/* Writes one block-format segment of nsamp samples with block length length
 * (0 or less: 25; above 255: 255) into *out (capacity in bytes at *size) and
 * stores its length at *nout. 0, or -1. */
BASALT_API int gencompress(unsigned char **out, int *nout, int *size, int *in,
                           int nsamp, int length);
/* Decodes the block-format segments in nbytes bytes into *out (capacity in
 * bytes at *size) and stores the count of samples of complete segments at
 * *nout. 0, or -1 when memory cannot be had. */
BASALT_API int genuncompress(int **out, int *nout, int *size, unsigned char *in,
                             int nbytes);

/* Writes nsamp samples (at least 1) in the run-class format into *buf
 * (capacity in bytes at *bufsiz) and stores the length at *nbytes. 0, or -1
 * when a difference or a 24-bit sample is out of range (the output is then
 * not decodable). */
BASALT_API int cucsd(int *data, int nsamp, unsigned char **buf, int *nbytes,
                     int *bufsiz);
/* Decodes exactly nsamp samples from the bufcnt bytes at *bufp into data
 * (room for nsamp values) and moves *bufp past what was used. 0, or -1. */
BASALT_API int uucsd(int *data, unsigned char **bufp, int bufcnt, int nsamp);

BASALT_END_DECLS

#endif
