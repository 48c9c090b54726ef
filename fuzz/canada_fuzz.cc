// Fuzz target for the Canadian decoder: any stream, in count mode or with a
// given count, is decoded or refused without reading past its length.
//
// Input layout: byte 0 even: count mode; odd: byte 1 times 20 is the count;
// the rest is the stream, in a buffer of exactly its length.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs.h"
#include "elog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    int nsamp = (data[0] & 1) ? data[1] * 20 : 0;
    std::vector<unsigned char> stream(data + 2, data + size);
    int *out = nullptr, datasz = 0;
    int rc = ucanada(stream.data(), static_cast<int>(stream.size()), &out, &nsamp, &datasz);
    if (rc == 0 && nsamp > 0 && datasz < (nsamp + 1) * 4) std::abort();
    std::free(out);
    elog_clear();
    return 0;
}
