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
// Likewise for ThreadSanitizer.
bool under_thread_sanitizer();

// Leaves the calling process (a test child) the address space it uses now
// plus `headroom` bytes, so that any larger allocation fails. Where the limit
// does not hold (a user-mode emulator does not bound its guest's memory) it
// prints a marker and ends the child with status 0: the parent asks
// memory_not_limited() and skips the test. Under the sanitizers it does
// the same at once.
void leave_little_memory(std::size_t headroom = std::size_t{32} << 20);
bool memory_not_limited(const ChildResult &result);

}  // namespace testsupport

#endif
