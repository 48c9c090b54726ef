/* Linkage of the public C interface of libbasalt and kitbag. */
#ifndef BASALT_API_H
#define BASALT_API_H

#ifdef __cplusplus
#define BASALT_BEGIN_DECLS extern "C" {
#define BASALT_END_DECLS }
#else
#define BASALT_BEGIN_DECLS
#define BASALT_END_DECLS
#endif

/* Everything in the shared libraries is hidden unless marked. */
#define BASALT_API __attribute__((visibility("default")))

#endif
