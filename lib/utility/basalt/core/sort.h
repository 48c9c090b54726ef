/* In-place sorts and binary search over arrays of fixed-size records.
 *
 * Every routine takes the caller's comparison function and a private
 * argument that is handed to it unchanged. A comparison returns a negative
 * value, 0 or a positive value as its first argument is less than, equal
 * to or greater than its second; the sorts order records ascending by it.
 */
#ifndef BASALT_SORT_H
#define BASALT_SORT_H

#include "basalt_api.h"

BASALT_BEGIN_DECLS

/* Quick sort with median of three; not stable; allocates nothing. */
BASALT_API void quicksort(void *bot, int nmemb, int size,
                          int (*compar)(void *a, void *b, void *pvt),
                          void *pvt);

/* Shell's sort with the gaps 1, 4, 13, 40, ...; not stable. */
BASALT_API void shellsort(void *a, int n, int size,
                          int (*compare)(void *a, void *b, void *pvt),
                          void *pvt);

/* Straight insertion sort; stable. */
BASALT_API void isort(void *a, int n, int size,
                      int (*compare)(void *a, void *b, void *pvt), void *pvt);

/* Binary search of the nkeys sorted records of keysize bytes at index for
 * those equal to key. Returns their number with *ns and *ne the first and
 * last of them (with unique non-zero, only the record the bisection hit);
 * when there is none, 0 with *ns the insertion point and *ne = *ns - 1. */
BASALT_API int ssearch(void *key, int keysize, void *index, int nkeys,
                       int unique,
                       int (*compare)(void *key, void *record, void *pvt),
                       void *pvt, int *ns, int *ne);

BASALT_END_DECLS

#endif
