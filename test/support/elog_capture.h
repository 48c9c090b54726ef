// Reading what the error log holds and delivered.
#ifndef TEST_SUPPORT_ELOG_CAPTURE_H
#define TEST_SUPPORT_ELOG_CAPTURE_H

#include <string>

namespace testsupport {

// The text of the register from the first message on, as elog_string
// gives it (the register itself is left alone).
std::string elog_register_text();

// The number of messages waiting in the register.
int elog_register_count();

// Empties the register without delivering it.
void elog_reset_register();

}  // namespace testsupport

#endif
