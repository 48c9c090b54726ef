// A loopback TCP port that nobody listens on at the moment of asking, for
// tests and benchmarks that start a server of their own.
#ifndef TEST_SUPPORT_FREE_PORT_H
#define TEST_SUPPORT_FREE_PORT_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace testsupport {

// The port the kernel hands out for a socket bound to 127.0.0.1 (0 when
// none could be had).
inline int free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) == 0)
        port = ntohs(sa.sin_port);
    ::close(fd);
    return port;
}

}  // namespace testsupport

#endif
