// Whether a range of memory may be read. This platform keeps no record of
// unreadable ranges, so every range is readable.
#include "kitbag.h"

extern "C" int nomem(void *address, int n) { return 0; }
