// Fuzz target for the block-format decoder: any bytes decode to the samples
// of their complete segments, and nothing is read past them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "codecs.h"
#include "elog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<unsigned char> in(data, data + size);
    int *out = nullptr, nout = -1, cap = 0;
    int rc = genuncompress(&out, &nout, &cap, in.data(), static_cast<int>(in.size()));
    if (rc == 0 && (nout < 0 || static_cast<int64_t>(nout) * 4 > cap)) std::abort();
    std::free(out);
    elog_clear();
    return 0;
}
