// Internals shared by the buffered-stream sources (bns*.cc).
#ifndef BASALT_BNS_PRIVATE_H
#define BASALT_BNS_PRIVATE_H

#include <cstdint>

#include "bns.h"

namespace basalt::bnsimpl {

// Counters are 32-bit and wrap over a long-lived stream.
inline int32_t wrap_add(int32_t a, int64_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

// Grows the buffer for `who`: by the larger of its size and n2add, up to
// BNS_MAX_SIZE. Fails (logged, false) when the buffer would still be
// smaller than `required` bytes.
bool grow(Bns *bns, int64_t n2add, int64_t required, const char *who);

// Logs that `who` asked a stream for more than BNS_MAX_SIZE bytes.
void refuse_size(const char *who);

// Appends one record to the traffic log when there is one: direction "<"
// or ">", the count (the transfer's result) and, when the count is at
// least 1, that many bytes. errno is left as it was.
void traffic(Bns *bns, const char *direction, const char *bytes, int count);

// Offsets kept in the mark list travel as pointer-sized integers.
inline void *offset_entry(int32_t offset) {
    return reinterpret_cast<void *>(static_cast<intptr_t>(offset));
}
inline int32_t entry_offset(void *entry) {
    return static_cast<int32_t>(reinterpret_cast<intptr_t>(entry));
}

}  // namespace basalt::bnsimpl

#endif
