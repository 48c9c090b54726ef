// Fuzz target: any bytes, as a NUL-terminated string, through the time-string
// parser's entry points. No crash, leak or hang; the log is cleared after.
//
// The first byte chooses the entry point (zstr2epoch, is_epoch_string or
// str2epoch, which differ only around the one parse that takes the time);
// the rest is the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "elog.h"
#include "quiet_log.h"
#include "timeparse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzing::quiet_log();
    if (size < 1) return 0;
    const int entry = data[0] % 3;
    data++;
    size--;
    char *text = static_cast<char *>(std::malloc(size + 1));
    if (text == nullptr) return 0;
    std::memcpy(text, data, size);
    text[size] = '\0';
    double e = 0;
    int mark = elog_mark();
    switch (entry) {
    case 0: (void)zstr2epoch(text, &e); break;
    case 1: (void)is_epoch_string(text, &e); break;
    default: (void)str2epoch(text); break;
    }
    elog_flush(0, mark);
    elog_clear();
    std::free(text);
    return 0;
}
