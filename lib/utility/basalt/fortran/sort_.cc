// Bindings of the sorts and of the binary search.
#include "fortran.h"
#include "sort.h"

namespace {

// Calls the two-argument comparison carried in pvt.
int compare_two(void *a, void *b, void *pvt) {
    auto compare = reinterpret_cast<int (*)(const void *, const void *)>(pvt);
    return compare(a, b);
}

}  // namespace

extern "C" {

void isort_(void *a, int *n, int *size, int (*compare)(void *, void *, void *), void *pvt) {
    isort(a, *n, *size, compare, pvt);
}

void shellsort_(void *a, int *n, int *size, int (*compare)(void *, void *, void *), void *pvt) {
    shellsort(a, *n, *size, compare, pvt);
}

void qsort_(void *base, int count, int size, int (*compare)(const void *, const void *)) {
    quicksort(base, count, size, compare_two, reinterpret_cast<void *>(compare));
}

int ssearch_(void *key, int *keysize, void *index, int *nkeys, int *unique,
             int (*compare)(void *, void *, void *), void *pvt, int *ns, int *ne, size_t,
             size_t) {
    int result = ssearch(key, *keysize, index, *nkeys, *unique, compare, pvt, ns, ne);
    *ns += 1;
    *ne += 1;
    return result;
}

}  // extern "C"
