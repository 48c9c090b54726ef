// Fuzz target for the parameter-file parser and writer: whatever bytes a
// file holds, parsing them (from a string and from a descriptor), writing
// the tree back in both layouts, parsing that text again, copying,
// comparing and freeing must neither crash, leak nor hang.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "elog.h"
#include "pf.h"
#include "quiet_log.h"

namespace {

// The whole input through a descriptor, zero bytes included.
Pf *parse_descriptor(const uint8_t *data, size_t size) {
    Pf *pf = nullptr;
    int fd = memfd_create("pf_parse_fuzz", MFD_CLOEXEC);
    if (fd < 0) return nullptr;
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    if (lseek(fd, 0, SEEK_SET) == 0) pfinfd(fd, &pf);
    close(fd);
    return pf;
}

void write_and_reread(Pf *pf) {
    char *text = pf2string(pf);
    Pf *again = nullptr;
    pfcompile(text, &again);
    std::free(text);
    Pf *copy = pfdup(again);
    pfcmp(again, copy);
    pffree(copy);
    pffree(again);

    char *buf = nullptr;
    size_t len = 0;
    FILE *file = open_memstream(&buf, &len);
    if (file != nullptr) {
        pfout(file, pf);
        std::fclose(file);
    }
    std::free(buf);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzing::quiet_log();

    // As a string: up to the first zero byte.
    char *string = static_cast<char *>(std::malloc(size + 1));
    if (string == nullptr) return 0;
    std::memcpy(string, data, size);
    string[size] = '\0';
    Pf *pf = nullptr;
    pfcompile(string, &pf);
    std::free(string);
    write_and_reread(pf);
    pffree(pf);

    pf = parse_descriptor(data, size);
    write_and_reread(pf);
    pffree(pf);

    elog_clear();
    return 0;
}
