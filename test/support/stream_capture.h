// Capturing what a routine prints on a stdio stream.
#ifndef TEST_SUPPORT_STREAM_CAPTURE_H
#define TEST_SUPPORT_STREAM_CAPTURE_H

#include <cstdio>
#include <functional>
#include <string>

namespace testsupport {

// Everything fn writes on the stream it is given.
std::string printed(const std::function<void(FILE *)> &fn);

}  // namespace testsupport

#endif
