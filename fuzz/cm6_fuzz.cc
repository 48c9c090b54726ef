// Fuzz target for the CM6 decoder: any text of a given length (with no NUL
// after it) is decoded or refused without reading past it; what decodes
// encodes back to text that decodes to the same samples.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs.h"
#include "elog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<char> text(data, data + size);
    int *out = nullptr, nsamp = -1, datasz = 0;
    int rc = um6(text.data(), static_cast<int>(text.size()), &out, &nsamp, &datasz);
    if (nsamp < 0 || nsamp > datasz) std::abort();
    if (rc >= 0) {
        char *again = nullptr;
        int nbytes = 0, cap = 0;
        cm6(out, nsamp, &again, &nbytes, &cap);
        int *back = nullptr, n2 = 0, cap2 = 0;
        if (um6(again, nbytes, &back, &n2, &cap2) != nsamp ||
            std::memcmp(back, out, sizeof(int) * static_cast<size_t>(nsamp)) != 0)
            std::abort();
        std::free(again);
        std::free(back);
    }
    std::free(out);
    elog_clear();
    return 0;
}
