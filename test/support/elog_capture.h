// Reading what the error log holds and delivered.
#ifndef TEST_SUPPORT_ELOG_CAPTURE_H
#define TEST_SUPPORT_ELOG_CAPTURE_H

#include <cstdint>
#include <functional>
#include <string>

#include "child.h"

namespace testsupport {

// The text of the register from the first message on, as elog_string
// gives it (the register itself is left alone).
std::string elog_register_text();

// The number of messages waiting in the register.
int elog_register_count();

// Empties the register without delivering it.
void elog_reset_register();

// Removes every environment variable that configures the error log
// (ELOG_MAXMSG, ELOG_WAIT, ELOG_SIGNALS, ELOG_DELIVER, ELOG_TAG, ELOG_DEBUG),
// so that a child starts from the built-in settings.
void elog_clear_environment();

// Standard error of a child that aborted, without the notice an emulator
// (qemu-user, for the ARM build) adds when the target dies of a signal.
std::string without_emulator_notice(const std::string &err);

// The program name the log gives this test binary: the last path component
// of the executable.
std::string elog_program_name();

// Runs body in a forked child (run_in_child) whose error log starts from the
// built-in settings (elog_clear_environment first).
ChildResult in_child(const std::function<void()> &body);

// Writes s on standard output: how a child reports to its parent.
void out(const std::string &s);

// Integers travel through the log's query and set values as pointers.
inline void *as_value(int n) { return reinterpret_cast<void *>(static_cast<intptr_t>(n)); }
inline int as_int(void *v) { return static_cast<int>(reinterpret_cast<intptr_t>(v)); }

}  // namespace testsupport

#endif
