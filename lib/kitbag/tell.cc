// A descriptor's current offset.
#include <unistd.h>

#include "kitbag.h"

// lseek64: offsets beyond 2 GB on boards whose off_t is 32 bits.
extern "C" int64_t tell(int fd) { return lseek64(fd, 0, SEEK_CUR); }
