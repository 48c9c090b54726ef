#include "elog_capture.h"

#include <cstdlib>

#include "elog.h"

namespace testsupport {

std::string elog_register_text() {
    char *s = elog_string(0);
    std::string text = s ? s : "";
    std::free(s);
    return text;
}

int elog_register_count() {
    void *value = nullptr;
    if (elog_query(ELOG_COUNT, 0, &value) < 0) return -1;
    return static_cast<int>(reinterpret_cast<intptr_t>(value));
}

void elog_reset_register() { elog_clear(); }

}  // namespace testsupport
