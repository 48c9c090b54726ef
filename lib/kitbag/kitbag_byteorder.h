/* kitbag: byte-order conversion, network-order wrappers, byte swapping and 24-bit conversions.
 *
 * The byte-order family moves arrays of numbers between host memory and a
 * byte buffer in the host's own layout (a), big-endian (m) or little-endian
 * (v).  A read member is named [u] layout external "2h" host, a write member
 * [u] "h" host "2" layout external, from the type letters
 *
 *     b  8-bit integer   (host: char / unsigned char)
 *     s  16-bit integer  (host: short / unsigned short)
 *     i  32-bit integer  (host: int / unsigned int)
 *     l  64-bit integer  (host: int64_t / uint64_t)
 *     f  IEEE single     (host: float)
 *     d  IEEE double     (host: double)
 *     t  24-bit integer  (external only, layouts m and v)
 *
 * and the leading u makes the integer side(s) unsigned.  Every member is
 *
 *     int mi2hi(unsigned char **cursor, int *to, int n);        (read)
 *     int hi2mi(const int *from, unsigned char **cursor, int n); (write)
 *
 * converts all n values, advances *cursor by n times the external width and
 * returns -1 when its rule clipped, changed or (where the rule says so) met a
 * NaN, else 0.  The buffer needs no alignment.  A count below zero is treated
 * as zero.
 *
 * All members are declared from the one table below, and the library defines
 * them from the same table. */
#ifndef KITBAG_BYTEORDER_H
#define KITBAG_BYTEORDER_H

#include <stdint.h>

#include "basalt_api.h"

/* Limits read by the clipping rules.  No rule clips to a signed 64-bit range. */
#define MIN_b (-128)
#define MAX_b 127
#define UMIN_b 0
#define UMAX_b 255
#define MIN_s (-32768)
#define MAX_s 32767
#define UMIN_s 0
#define UMAX_s 65535
#define MIN_i (-2147483647 - 1)
#define MAX_i 2147483647
#define UMIN_i 0
#define UMAX_i 4294967295U
#define UMIN_l 0
#define UMAX_l UINT64_C(18446744073709551615)
#define MIN_t (-8388608)
#define MAX_t 8388607

/* The family table: one row per pair of external and host type, in the
 * order external b, s, i, l, f, d, giving the conversion rule of the read,
 * unsigned read, write and unsigned write member.  P rows have all four
 * members; PF rows (both types floating) have no unsigned members.
 *
 * Rules: COPY (same type), WIDEN (to a wider integer), CLIP (to a narrower
 * integer, clipped to its limits), INT_TO_FLOAT (nearest value, flagged when
 * it is not the integer), FLOAT_TO_INT_CLIPPED (clipped to the external
 * limits, fraction dropped silently), FLOAT_TO_INT_TESTED (truncated,
 * flagged when it is not the value), SINGLE_TO_DOUBLE, DOUBLE_TO_SINGLE. */
#define KITBAG_BYTEORDER_PAIRS(P, PF, M, L)                                              \
    P(M, L, b, b, COPY, COPY, COPY, COPY)                                                \
    P(M, L, b, s, WIDEN, WIDEN, CLIP, CLIP)                                              \
    P(M, L, b, i, WIDEN, WIDEN, CLIP, CLIP)                                              \
    P(M, L, b, l, WIDEN, WIDEN, CLIP, CLIP)                                              \
    P(M, L, b, f, INT_TO_FLOAT, INT_TO_FLOAT, FLOAT_TO_INT_CLIPPED, FLOAT_TO_INT_CLIPPED) \
    P(M, L, b, d, INT_TO_FLOAT, INT_TO_FLOAT, FLOAT_TO_INT_CLIPPED, FLOAT_TO_INT_CLIPPED) \
    P(M, L, s, s, COPY, COPY, COPY, COPY)                                                \
    P(M, L, s, i, WIDEN, WIDEN, CLIP, CLIP)                                              \
    P(M, L, s, l, WIDEN, WIDEN, CLIP, CLIP)                                              \
    P(M, L, s, f, INT_TO_FLOAT, INT_TO_FLOAT, FLOAT_TO_INT_CLIPPED, FLOAT_TO_INT_CLIPPED) \
    P(M, L, s, d, INT_TO_FLOAT, INT_TO_FLOAT, FLOAT_TO_INT_CLIPPED, FLOAT_TO_INT_CLIPPED) \
    P(M, L, i, i, COPY, COPY, COPY, COPY)                                                \
    P(M, L, i, l, WIDEN, WIDEN, CLIP, CLIP)                                              \
    P(M, L, i, f, INT_TO_FLOAT, INT_TO_FLOAT, FLOAT_TO_INT_TESTED, FLOAT_TO_INT_CLIPPED)  \
    P(M, L, i, d, INT_TO_FLOAT, INT_TO_FLOAT, FLOAT_TO_INT_CLIPPED, FLOAT_TO_INT_CLIPPED) \
    P(M, L, l, l, COPY, COPY, COPY, COPY)                                                \
    P(M, L, l, d, INT_TO_FLOAT, INT_TO_FLOAT, FLOAT_TO_INT_TESTED, FLOAT_TO_INT_CLIPPED)  \
    P(M, L, f, i, FLOAT_TO_INT_TESTED, FLOAT_TO_INT_TESTED, INT_TO_FLOAT, INT_TO_FLOAT)  \
    P(M, L, f, l, FLOAT_TO_INT_TESTED, FLOAT_TO_INT_TESTED, INT_TO_FLOAT, INT_TO_FLOAT)  \
    PF(M, L, f, f, COPY, COPY)                                                           \
    PF(M, L, f, d, SINGLE_TO_DOUBLE, DOUBLE_TO_SINGLE)                                   \
    P(M, L, d, l, FLOAT_TO_INT_TESTED, FLOAT_TO_INT_TESTED, INT_TO_FLOAT, INT_TO_FLOAT)  \
    PF(M, L, d, d, COPY, COPY)

/* KITBAG_BYTEORDER_FAMILY(M) calls M(name, direction, layout, external,
 * host, unsigned, rule) once for each of the 258 members, direction being
 * read or write and unsigned 0 or 1. */
#define KITBAG_BO_P_(M, L, E, H, r, ur, w, uw)  \
    M(L##E##2h##H, read, L, E, H, 0, r)         \
    M(h##H##2##L##E, write, L, E, H, 0, w)      \
    M(u##L##E##2h##H, read, L, E, H, 1, ur)     \
    M(uh##H##2##L##E, write, L, E, H, 1, uw)
#define KITBAG_BO_PF_(M, L, E, H, r, w)         \
    M(L##E##2h##H, read, L, E, H, 0, r)         \
    M(h##H##2##L##E, write, L, E, H, 0, w)
#define KITBAG_BO_LAYOUT_(M, L) KITBAG_BYTEORDER_PAIRS(KITBAG_BO_P_, KITBAG_BO_PF_, M, L)
#define KITBAG_BYTEORDER_FAMILY(M) \
    KITBAG_BO_LAYOUT_(M, a) KITBAG_BO_LAYOUT_(M, m) KITBAG_BO_LAYOUT_(M, v)
#define KITBAG_BYTEORDER_FAMILY_SIZE 258

/* The 24-bit members, in the same form: the external type t exists only
 * signed and only big- and little-endian. */
#define KITBAG_BYTEORDER_T24(M)               \
    M(mt2hi, read, m, t, i, 0, WIDEN)         \
    M(vt2hi, read, v, t, i, 0, WIDEN)         \
    M(hi2mt, write, m, t, i, 0, CLIP)         \
    M(hi2vt, write, v, t, i, 0, CLIP)         \
    M(mt2hf, read, m, t, f, 0, INT_TO_FLOAT)  \
    M(vt2hf, read, v, t, f, 0, INT_TO_FLOAT)
#define KITBAG_BYTEORDER_T24_SIZE 6

/* Host element type of a member, by its unsigned flag and host letter. */
#define KITBAG_BO_HOST_0_b char
#define KITBAG_BO_HOST_1_b unsigned char
#define KITBAG_BO_HOST_0_s short
#define KITBAG_BO_HOST_1_s unsigned short
#define KITBAG_BO_HOST_0_i int
#define KITBAG_BO_HOST_1_i unsigned int
#define KITBAG_BO_HOST_0_l int64_t
#define KITBAG_BO_HOST_1_l uint64_t
#define KITBAG_BO_HOST_0_f float
#define KITBAG_BO_HOST_1_f float
#define KITBAG_BO_HOST_0_d double
#define KITBAG_BO_HOST_1_d double

/* The network-order wrappers: W(name, form, member called, host type).
 * Forms: put (byte area, host array, n) and get (host array, byte area, n)
 * return the member's result; putp (host pointer, byte area) and getp (byte
 * area, host pointer) convert one value and return the member's result; putv
 * and getv take one value and return the converted one. */
#define KITBAG_NETORDER_WRAPPERS(W)           \
    W(H2N2, put, hs2ms, short)                \
    W(H2NS, put, hs2ms, short)                \
    W(H2N4, put, hi2mi, int)                  \
    W(H2NI, put, hi2mi, int)                  \
    W(H2N8, put, hd2md, double)               \
    W(H2ND, put, hd2md, double)               \
    W(H2NL, put, hl2ml, int64_t)              \
    W(N2H2, get, ms2hs, short)                \
    W(N2HS, get, ms2hs, short)                \
    W(N2H4, get, mi2hi, int)                  \
    W(N2HI, get, mi2hi, int)                  \
    W(N2H8, get, md2hd, double)               \
    W(N2HD, get, md2hd, double)               \
    W(N2HL, get, ml2hl, int64_t)              \
    W(UH2N2, put, uhs2ms, unsigned short)     \
    W(UH2NS, put, uhs2ms, unsigned short)     \
    W(UH2N4, put, uhi2mi, unsigned int)       \
    W(UH2NI, put, uhi2mi, unsigned int)       \
    W(UH2N8, put, uhl2ml, uint64_t)           \
    W(UH2NL, put, uhl2ml, uint64_t)           \
    W(UN2H2, get, ums2hs, unsigned short)     \
    W(UN2HS, get, ums2hs, unsigned short)     \
    W(UN2H4, get, umi2hi, unsigned int)       \
    W(UN2HI, get, umi2hi, unsigned int)       \
    W(UN2H8, get, uml2hl, uint64_t)           \
    W(UN2HL, get, uml2hl, uint64_t)           \
    W(htond, putv, hd2md, double)             \
    W(ntohd, getv, md2hd, double)             \
    W(htonf, putv, hf2mf, float)              \
    W(ntohf, getv, mf2hf, float)              \
    W(htondp, putp, hd2md, double)            \
    W(ntohdp, getp, md2hd, double)            \
    W(htonfp, putp, hf2mf, float)             \
    W(ntohfp, getp, mf2hf, float)             \
    W(hton8p, putp, hl2ml, int64_t)           \
    W(ntoh8p, getp, ml2hl, int64_t)           \
    W(HI2NC, put, hi2mb, int)                 \
    W(HI2NS, put, hi2ms, int)                 \
    W(HI2NF, put, hi2mf, int)                 \
    W(NC2HI, get, mb2hi, int)                 \
    W(NS2HI, get, ms2hi, int)                 \
    W(NF2HI, get, mf2hi, int)
#define KITBAG_NETORDER_WRAPPERS_SIZE 42

#define KITBAG_BO_DECLARE_(name, dir, L, E, H, u, rule) \
    KITBAG_BO_DECLARE_##dir(name, KITBAG_BO_HOST_##u##_##H)
#define KITBAG_BO_DECLARE_read(name, T) BASALT_API int name(unsigned char **cursor, T *to, int n);
#define KITBAG_BO_DECLARE_write(name, T) \
    BASALT_API int name(const T *from, unsigned char **cursor, int n);

#define KITBAG_NO_DECLARE_(name, form, member, T) KITBAG_NO_DECLARE_##form(name, T)
#define KITBAG_NO_DECLARE_put(name, T) BASALT_API int name(void *to, const T *from, int n);
#define KITBAG_NO_DECLARE_get(name, T) BASALT_API int name(T *to, const void *from, int n);
#define KITBAG_NO_DECLARE_putp(name, T) BASALT_API int name(const T *from, void *to);
#define KITBAG_NO_DECLARE_getp(name, T) BASALT_API int name(const void *from, T *to);
#define KITBAG_NO_DECLARE_putv(name, T) BASALT_API T name(T value);
#define KITBAG_NO_DECLARE_getv(name, T) BASALT_API T name(T value);

BASALT_BEGIN_DECLS

KITBAG_BYTEORDER_FAMILY(KITBAG_BO_DECLARE_)
KITBAG_BYTEORDER_T24(KITBAG_BO_DECLARE_)
KITBAG_NETORDER_WRAPPERS(KITBAG_NO_DECLARE_)

/* Byte swapping: reverses the bytes of each of n items of 2, 4 or 8 bytes
 * from source to destination, which may be the same array.  The source
 * needs no alignment. */
BASALT_API void swap2(const void *from, void *to, int n);
BASALT_API void swap4(const void *from, void *to, int n);
BASALT_API void swap8(const void *from, void *to, int n);

/* n big-endian 24-bit values read sign-extended into ints, as mt2hi does
 * without a cursor or result. */
BASALT_API void N32H4(int *to, const void *from, int n);
/* The low 24 bits of each of n ints written big-endian, without clipping. */
BASALT_API void H42N3(void *to, const int *from, int n);
/* n big-endian IEEE floats (each taken as a 32-bit word) widened to doubles. */
BASALT_API void NF2HD(double *to, const void *from, int n);
/* n doubles, each rounded to the nearest float, written as big-endian words. */
BASALT_API void HD2NF(void *to, const double *from, int n);

BASALT_END_DECLS

#endif
