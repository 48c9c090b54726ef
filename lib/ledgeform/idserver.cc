// The client of the id server: one request per TCP connection, the id name
// and a zero byte; the reply, read to the end of the connection, is the new
// id as decimal text of at most 32 bytes. A reply that is empty, longer or
// not a number is a failed try, never an id. Twelve tries, each after a
// wait, then the process ends.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

#include "ledgeform_private.h"

namespace ledgeform {

namespace {

constexpr int kTries = 12;
constexpr int kReplyBytes = 32;
constexpr const char *kDefaultPort = "2499";

// Milliseconds between two tries and allowed for connecting and for each
// read of the reply.
int retry_ms = 5000;
int reply_ms = 30000;

int get_ms(const int &v) { return __atomic_load_n(&v, __ATOMIC_RELAXED); }

void pause_ms(int ms) {
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

bool wait_for(int fd, short events, int ms) {
    struct pollfd p = {fd, events, 0};
    int rc;
    do {
        rc = poll(&p, 1, ms);
    } while (rc < 0 && errno == EINTR);
    return rc > 0;
}

// A connected socket to the server "host[:port]", or -1.
int connect_to(const char *server) {
    bool verbose = verbose_exists() != 0;
    const char *colon = std::strchr(server, ':');
    std::size_t host_length = colon != nullptr ? static_cast<std::size_t>(colon - server) : std::strlen(server);
    Owned<char> host(static_cast<char *>(LF_MALLOC(host_length + 1, "host")));
    std::memcpy(host.get(), server, host_length);
    host.get()[host_length] = '\0';
    const char *port = colon != nullptr && colon[1] != '\0' ? colon + 1 : kDefaultPort;
    const char *name = host_length > 0 ? host.get() : "127.0.0.1";

    struct addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *found = nullptr;
    if (getaddrinfo(name, port, &hints, &found) != 0) {
        if (verbose) elog_complain(1, "Can't find ip address for host '%s'\n", name);
        return -1;
    }
    if (found == nullptr) {
        if (verbose) elog_complain(1, "Can't find ip address for '%s'\n", name);
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        freeaddrinfo(found);
        if (verbose) elog_complain(1, "Can't open stream socket\n");
        return -1;
    }
    int rc = connect(fd, found->ai_addr, found->ai_addrlen);
    freeaddrinfo(found);
    if (rc != 0 && errno == EINPROGRESS && wait_for(fd, POLLOUT, get_ms(reply_ms))) {
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
        rc = error == 0 ? 0 : -1;
        errno = error;
    } else if (rc != 0 && errno == EINPROGRESS) {
        errno = ETIMEDOUT;
    }
    if (rc != 0) {
        if (verbose) elog_complain(1, "Can't connect to server\n");
        close(fd);
        return -1;
    }
    return fd;
}

bool send_all(int fd, const char *p, std::size_t n) {
    while (n > 0) {
        if (!wait_for(fd, POLLOUT, get_ms(reply_ms))) return false;
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

// Reads the reply to the end of the connection: its length (at most
// kReplyBytes), kReplyBytes + 1 when it is longer, or -1 on an error.
int read_reply(int fd, char *reply) {
    int n = 0;
    for (;;) {
        if (!wait_for(fd, POLLIN, get_ms(reply_ms))) {
            errno = ETIMEDOUT;
            return -1;
        }
        char c[kReplyBytes + 1];
        ssize_t got = recv(fd, c, sizeof c, 0);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got < 0) return -1;
        if (got == 0) return n;
        if (n + got > kReplyBytes) return kReplyBytes + 1;
        std::memcpy(reply + n, c, static_cast<std::size_t>(got));
        n += static_cast<int>(got);
    }
}

// The id a reply holds: decimal digits (with a sign), blanks around them
// allowed; false for anything else.
bool id_of(const char *reply, int *id) {
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(reply, &end, 10);
    if (end == reply || errno != 0 || v < INT_MIN || v > INT_MAX) return false;
    while (*end == ' ' || *end == '\t' || *end == '\n' || *end == '\r') end++;
    if (*end != '\0') return false;
    *id = static_cast<int>(v);
    return true;
}

// One try: the id, or false after a complaint.
bool ask(const char *name, const char *server, int *id) {
    int fd = connect_to(server);
    if (fd < 0) {
        elog_complain(1, "Can't connect to idserver at %s", server);
        return false;
    }
    bool ok = false;
    char reply[kReplyBytes + 1] = "";
    if (!send_all(fd, name, std::strlen(name) + 1)) {
        elog_complain(1, "idserver request failed");
    } else {
        int n = read_reply(fd, reply);
        if (n <= 0) {
            elog_complain(1, "couldn't read idserver reply");
        } else if (n > kReplyBytes) {
            elog_complain(0, "idserver reply for '%s' is longer than %d bytes", name, kReplyBytes);
        } else {
            reply[n] = '\0';
            ok = id_of(reply, id);
            if (!ok) elog_complain(0, "idserver reply '%s' for '%s' is not an id", reply, name);
        }
    }
    close(fd);
    return ok;
}

}  // namespace

void set_idserver_timing(double retry_seconds, double reply_seconds) {
    __atomic_store_n(&retry_ms, static_cast<int>(retry_seconds * 1000), __ATOMIC_RELAXED);
    __atomic_store_n(&reply_ms, static_cast<int>(reply_seconds * 1000), __ATOMIC_RELAXED);
}

}  // namespace ledgeform

using namespace ledgeform;

extern "C" int dbidrequest(const char *name, const char *server) {
    if (server == nullptr) server = "";
    for (int tries = 1; tries <= kTries; tries++) {
        int id = 0;
        if (ask(name != nullptr ? name : "", server, &id)) return id;
        int ms = get_ms(retry_ms);
        pause_ms(ms);
        Owned<char> waited(strtdelta(static_cast<double>(ms) * tries / 1000.0));
        if (waited.get() != nullptr) strtrim(waited.get());
        elog_complain(0, "waited %s for id '%s'", waited.get() != nullptr ? waited.get() : "", name);
    }
    elog_die(0, "dbnextid fails: is tallykeep server running on '%s'?", server);
}
