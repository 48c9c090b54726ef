// Fuzz target: any bytes, as a NUL-terminated string, through the time-string
// parser's entry points. No crash, leak or hang; the log is cleared after.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "elog.h"
#include "timeparse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    char *text = static_cast<char *>(std::malloc(size + 1));
    if (text == nullptr) return 0;
    std::memcpy(text, data, size);
    text[size] = '\0';
    double e = 0;
    (void)zstr2epoch(text, &e);
    (void)is_epoch_string(text, &e);
    int mark = elog_mark();
    (void)str2epoch(text);
    elog_flush(0, mark);
    elog_clear();
    std::free(text);
    return 0;
}
