// Fuzz target for opening crafted heap files: a file is refused with a
// message or opened, and an opened heap can be verified, read, written,
// compacted and closed without stepping outside its mapping.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "arrays.h"
#include "elog.h"
#include "tbl.h"
#include "xheap.h"

namespace {

std::string heap_path() {
    const char *tmp = std::getenv("TMPDIR");
    return std::string(tmp ? tmp : "/tmp") + "/xheap_fuzz." + std::to_string(getpid());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string path = heap_path();
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    Xheap *x = openx(const_cast<char *>(path.c_str()), 64);
    if (x != nullptr) {
        verifyx(x, 0);
        Tbl *names = namesx(x);
        char *buf = nullptr;
        int n = 0, cap = 0;
        for (int i = 0; i < maxtbl(names); i++)
            getx(x, static_cast<char *>(gettbl(names, i)), &buf, &n, &cap);
        if (maxtbl(names) > 0) {
            char *first = static_cast<char *>(gettbl(names, 0));
            putx(x, first, const_cast<char *>("value"), 5);
        }
        freetbl(names, nullptr);
        std::free(buf);
        putx(x, const_cast<char *>("fuzz"), const_cast<char *>("0123456789"), 10);
        delx(x, const_cast<char *>("fuzz"));
        collapsex(x);
        verifyx(x, 0);
        closex(&x);
    }
    unlink(path.c_str());
    elog_clear();
    return 0;
}
