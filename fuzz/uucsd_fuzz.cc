// Fuzz target for the run-class decoder: any bytes decode to the number of
// samples asked for or are refused, never read past their end, and leave
// the cursor at most one byte past it.
//
// Input layout: bytes 0-1 the number of samples (1 to 65536), the rest the
// stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "codecs.h"
#include "elog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    int nsamp = ((data[0] << 8) | data[1]) + 1;
    std::vector<unsigned char> in(data + 2, data + size);
    std::vector<int> out(static_cast<size_t>(nsamp));
    unsigned char *cursor = in.data();
    if (uucsd(out.data(), &cursor, static_cast<int>(in.size()), nsamp) == 0 &&
        cursor > in.data() + in.size() + 1)
        std::abort();
    elog_clear();
    return 0;
}
