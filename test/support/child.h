// Running a piece of code in a forked child and capturing what it did.
#ifndef TEST_SUPPORT_CHILD_H
#define TEST_SUPPORT_CHILD_H

#include <functional>
#include <string>

namespace testsupport {

struct ChildResult {
    std::string out;   // everything the child wrote on standard output
    std::string err;   // everything the child wrote on standard error
    bool exited = false;
    int exit_code = -1;  // when exited
    int signal = 0;      // the signal that ended it, when not exited
};

// Forks, runs `body` in the child with stdout and stderr captured, and
// exits the child with status 0 when `body` returns. Waits for the child.
// `input`, when given, is what the child reads on standard input.
ChildResult run_in_child(const std::function<void()> &body,
                         const std::string &input = std::string());

// True when the build runs under AddressSanitizer (tests that exhaust
// memory on purpose skip themselves there).
bool under_address_sanitizer();

// Limits the address space of the calling process, so that a large
// allocation fails; for use inside run_in_child only.
void limit_address_space(std::size_t bytes);

}  // namespace testsupport

#endif
