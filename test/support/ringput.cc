// ringput: writes the packets of a packet file or segment directory to a
// ring-buffer server opened for writing, in order, and checks that every
// one was stored.
//
//   ringput [-u] [-n count] source host:port
//
// Each packet goes as a put with acknowledgement, whose reply must carry
// the number of packets stored so far; with -u as puts without
// acknowledgement, the count then asked for once at the end. -n stops
// after count packets. Prints the number written; status 0 when the
// server stored every packet, 1 otherwise.
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "basalt.h"
#include "kestrel.h"
#include "torvik.h"

namespace {

char kSync[] = "orbm";

int connect_to(const std::string &ring) {
    const std::size_t colon = ring.rfind(':');
    if (colon == std::string::npos) return -1;
    std::string host = ring.substr(0, colon);
    if (host.empty()) host = "127.0.0.1";
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.c_str(), ring.substr(colon + 1).c_str(), &hints, &found) != 0) return -1;
    int fd = ::socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    if (fd >= 0 && ::connect(fd, found->ai_addr, found->ai_addrlen) != 0) {
        ::close(fd);
        fd = -1;
    }
    freeaddrinfo(found);
    return fd;
}

struct Connection {
    Bns *in;
    Bns *out;
    Orbrequest *request = newOrbrequest();
    Orbresponse *response = newOrbresponse();

    explicit Connection(int fd) : in(bnsnew(fd, 0)), out(bnsnew(fd, 0)) {}
    ~Connection() {
        const int fd = in->fd;
        bnsfree(in);
        bnsfree(out);
        freeOrbrequest(request);
        freeOrbresponse(response);
        ::close(fd);
    }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    bool send() {
        return bnsput(out, kSync, BNS_BYTES, 4) == 0 && pbnsOrbrequest(out, request) == 0 &&
               bnsflush(out) == 0;
    }
    bool receive() { return gbnsSync(in, kSync, 4, 1) == 0 && gbnsOrbresponse(in, response) == 0; }
    bool call() { return send() && receive() && response->what == request->what; }
};

[[noreturn]] void quit(const char *format, long n) {
    std::fprintf(stderr, "ringput: ");
    std::fprintf(stderr, format, n);
    std::fprintf(stderr, "\n");
    std::exit(1);
}

// Opens the connection for writing and puts the packets of source
// through it; the number written (every failure ends the program).
long copy(Connection &conn, int source, bool acknowledged, long limit) {
    Orbrequest *r = conn.request;
    r->hello = newOrbOpenString();
    r->sZhello = static_cast<int>(sizeof(OrbOpenString));
    std::memcpy(&r->hello->handshake, kSync, 4);
    r->hello->pid = static_cast<int>(getpid());
    r->hello->perm = 'w';
    std::snprintf(r->hello->what, sizeof r->hello->what, "ringput");
    std::snprintf(r->hello->who, sizeof r->hello->who, "ringput");
    r->what = ORBOPEN;
    if (!conn.call() || conn.response->result != 0) quit("open refused (%ld)", 0);

    r->pkg = newPktpkg();
    Pktpkg *pkg = r->pkg;
    long written = 0;
    while (limit < 0 || written < limit) {
        if (torvikreap(source, &pkg->pktid, pkg->srcname, &pkg->time, &pkg->packet,
                       &pkg->packetsize, &pkg->sZpacket) != 0)
            break;
        pkg->srcnamesize = static_cast<uint16_t>(std::strlen(pkg->srcname) + 1);
        r->what = acknowledged ? ORBPUTACK : ORBPUT;
        if (!acknowledged) {
            if (!conn.send()) quit("put %ld not sent", written);
        } else if (!conn.call() || conn.response->result != 0 ||
                   conn.response->pktid != written + 1) {
            quit("put %ld not stored", written);
        }
        written++;
    }
    if (!acknowledged) {
        r->what = ORBTELL;
        if (!conn.call() || conn.response->pktid != written) quit("%ld puts, fewer stored", written);
    }
    return written;
}

}  // namespace

int main(int argc, char **argv) {
    elog_init(argc, argv);
    bool acknowledged = true;
    long limit = -1;
    int c;
    while ((c = getopt(argc, argv, "un:")) != -1) {
        switch (c) {
            case 'u': acknowledged = false; break;
            case 'n': limit = std::atol(optarg); break;
            default:
                std::fprintf(stderr, "Usage: ringput [-u] [-n count] source host:port\n");
                return 1;
        }
    }
    if (argc - optind != 2) {
        std::fprintf(stderr, "Usage: ringput [-u] [-n count] source host:port\n");
        return 1;
    }
    const int source = torvikopen(argv[optind], const_cast<char *>("r"));
    if (source < 0) quit("can't read the source (%ld)", 0);
    const int fd = connect_to(argv[optind + 1]);
    if (fd < 0) quit("can't connect (%ld)", 0);

    long written = 0;
    {
        Connection conn(fd);
        written = copy(conn, source, acknowledged, limit);
    }
    std::printf("%ld\n", written);
    torvikclose(source);
    return 0;
}
