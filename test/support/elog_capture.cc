#include "elog_capture.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "elog.h"
#include "kitbag.h"

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

void elog_clear_environment() {
    for (const char *name : {"ELOG_MAXMSG", "ELOG_WAIT", "ELOG_SIGNALS", "ELOG_DELIVER",
                             "ELOG_TAG", "ELOG_DEBUG"})
        unsetenv(name);
}

std::string without_emulator_notice(const std::string &err) {
    const std::string notice = "qemu: uncaught target signal";
    std::size_t at = err.rfind(notice);
    if (at == std::string::npos || (at != 0 && err[at - 1] != '\n')) return err;
    return err.substr(0, at);
}

std::string elog_program_name() {
    const char *path = getexecname();
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

ChildResult in_child(const std::function<void()> &body) {
    return run_in_child([&] {
        elog_clear_environment();
        body();
    });
}

void out(const std::string &s) { std::fputs(s.c_str(), stdout); }

}  // namespace testsupport
