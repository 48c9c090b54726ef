/* Linkage of the public C interface of libbasalt and kitbag, and the widths
 * of time and file offsets it is built with. */
#ifndef BASALT_API_H
#define BASALT_API_H

#ifdef __cplusplus
#define BASALT_BEGIN_DECLS extern "C" {
#define BASALT_END_DECLS }
#else
#define BASALT_BEGIN_DECLS
#define BASALT_END_DECLS
#endif

/* On a 32-bit target the libraries are built with 64-bit time_t and off_t,
 * which their interface passes (struct stat, off_t, time_t): a program
 * compiled with other widths would lay them out otherwise. */
#if __SIZEOF_POINTER__ == 4 && !(defined(_FILE_OFFSET_BITS) && _FILE_OFFSET_BITS == 64 && \
                                 defined(_TIME_BITS) && _TIME_BITS == 64)
#error "compile with -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64 on a 32-bit target, as the libraries are"
#endif

/* Everything in the shared libraries is hidden unless marked. */
#define BASALT_API __attribute__((visibility("default")))

#endif
