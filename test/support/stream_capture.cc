#include "stream_capture.h"

#include <cstdlib>

namespace testsupport {

std::string printed(const std::function<void(FILE *)> &fn) {
    char *text = nullptr;
    std::size_t size = 0;
    FILE *f = open_memstream(&text, &size);
    fn(f);
    std::fclose(f);
    std::string s(text, size);
    std::free(text);
    return s;
}

}  // namespace testsupport
