// dbtables for callers that pass every argument by address and strings as
// blank-padded buffers with their lengths after the other arguments.
#include <cstdlib>

#include "db.h"

extern "C" void dbtables_(int *result, Dbptr *db, char *name, size_t length) {
    // A name longer than an int can hold is no attribute name: give the
    // empty name's list rather than cutting the buffer somewhere.
    int n = length > static_cast<size_t>(0x7fffffff) ? 0 : static_cast<int>(length);
    char *s = newcs(name, n);
    // The list is lent, as dbtables lends it: the caller gets a handle that
    // the freeing bindings refuse.
    *result = fhandle_lend(dbtables(*db, s), FHANDLE_TBL, 0);
    free(s);
}
