// The client calls: connections to a ring-buffer server over TCP, each
// call one request and the wait for its reply.
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bury.h"
#include "client_private.h"
#include "kestrel.h"
#include "kestrel_alloc.h"
#include "kitbag_host.h"
#include "pf.h"
#include "signing.h"

namespace {

char kSync[] = "orbm";
constexpr int kSyncBytes = 4;
constexpr int kChallengeBytes = 12;
// perm, what, who and the challenge: the block a signed open signs.
constexpr int kSignedBlockBytes = 1 + 128 + 24 + kChallengeBytes;
// A restored position's time, read back from its saved text, is trusted
// to this many seconds.
constexpr double kSavedTimeSlack = 0.002;

struct Connection {
    int fd = -1;
    Bns *in = nullptr;
    Bns *out = nullptr;
    Orbrequest *request = nullptr;
    Orbresponse *response = nullptr;
    bool reaping = false;  // a reap request runs: packets may be on their way
    bool broken = false;   // the stream has failed; only orbclose is left

    ~Connection() {
        bnsfree(in);
        bnsfree(out);
        freeOrbrequest(request);
        freeOrbresponse(response);
        if (fd >= 0) ::close(fd);
    }
};

std::mutex table_mutex;
// Never destroyed: a program may be ended from another thread (the state
// file's signal handling saves and exits) while a call still uses one of
// its connections.
std::vector<std::unique_ptr<Connection>> &table = *new std::vector<std::unique_ptr<Connection>>;

Connection *lookup(int orb) {
    std::lock_guard<std::mutex> hold(table_mutex);
    if (orb < 0 || static_cast<std::size_t>(orb) >= table.size()) return nullptr;
    return table[static_cast<std::size_t>(orb)].get();
}

int enter(std::unique_ptr<Connection> c) {
    std::lock_guard<std::mutex> hold(table_mutex);
    for (std::size_t i = 0; i < table.size(); i++) {
        if (!table[i]) {
            table[i] = std::move(c);
            return static_cast<int>(i);
        }
    }
    table.push_back(std::move(c));
    return static_cast<int>(table.size() - 1);
}

std::unique_ptr<Connection> remove_connection(int orb) {
    std::lock_guard<std::mutex> hold(table_mutex);
    if (orb < 0 || static_cast<std::size_t>(orb) >= table.size()) return nullptr;
    return std::move(table[static_cast<std::size_t>(orb)]);
}

// The port of a name from "ringhold_names": its leading number, or 0.
int named_port(const std::string &name) {
    Pf *pf = nullptr;
    if (pfread("ringhold_names", &pf) != 0 || pf == nullptr) return 0;
    void *value = nullptr;
    int port = 0;
    if (pfget(pf, name.c_str(), &value) == 1 && value != nullptr)
        port = static_cast<int>(std::strtol(static_cast<char *>(value), nullptr, 10));
    pffree(pf);
    return port;
}

// Splits "host:port" into host and port; false when the port is a name
// that does not resolve.
bool split_name(const char *name, std::string *host, int *port) {
    const std::string text = name != nullptr ? name : "";
    const std::size_t colon = text.find(':');
    *host = text.substr(0, colon);
    if (host->empty()) *host = "localhost";
    *port = ORB_DEFAULT_PORT;
    if (colon == std::string::npos || colon + 1 == text.size()) return true;
    const std::string p = text.substr(colon + 1);
    *port = std::atoi(p.c_str());
    if (*port == 0) *port = named_port(p);
    return *port > 0 && *port < 65536;
}

int connect_to(const char *name) {
    std::string host;
    int port = 0;
    if (!split_name(name, &host, &port)) return -1;
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -1;
    int fd = -1;
    for (addrinfo *a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd >= 0 && ::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            ::close(fd);
            fd = -1;
        }
        // Requests are written whole; none waits for the previous one's
        // acknowledgement.
        const int on = 1;
        if (fd >= 0) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    freeaddrinfo(found);
    return fd;
}

// The command line of this program, words separated by blanks.
void command_line(char *what, std::size_t size) {
    what[0] = '\0';
    FILE *f = std::fopen("/proc/self/cmdline", "r");
    if (f == nullptr) return;
    std::size_t n = std::fread(what, 1, size - 1, f);
    std::fclose(f);
    while (n > 0 && what[n - 1] == '\0') n--;
    for (std::size_t i = 0; i < n; i++)
        if (what[i] == '\0') what[i] = ' ';
    what[n] = '\0';
}

void fill_hello(OrbOpenString *hello, const char *perm) {
    std::memset(hello, 0, sizeof *hello);
    std::memcpy(&hello->handshake, kSync, sizeof hello->handshake);
    hello->pid = static_cast<int>(getpid());
    hello->perm = (perm != nullptr && perm[0] == 'w') ? 'w' : 'r';
    command_line(hello->what, sizeof hello->what);
    char who[256] = "";
    my_username(who);
    std::snprintf(hello->who, sizeof hello->who, "%.*s", static_cast<int>(sizeof hello->who - 1), who);
}

std::unique_ptr<Connection> new_connection(const char *name) {
    const int fd = connect_to(name);
    if (fd < 0) return nullptr;
    auto c = std::make_unique<Connection>();
    c->fd = fd;
    c->in = bnsnew(fd, 0);
    c->out = bnsnew(fd, 0);
    c->request = newOrbrequest();
    c->response = newOrbresponse();
    c->request->hello = newOrbOpenString();
    c->request->sZhello = static_cast<int>(sizeof(OrbOpenString));
    return c;
}

bool send_request(Connection *c) {
    if (bnsput(c->out, kSync, BNS_BYTES, kSyncBytes) != 0 ||
        pbnsOrbrequest(c->out, c->request) != 0 || bnsflush(c->out) != 0) {
        c->broken = true;
        return false;
    }
    return true;
}

// Reads the next response into c->response, waiting as long as the stream
// only times out. False when the connection has ended or its stream broke.
bool next_response(Connection *c) {
    for (;;) {
        const int errors = c->in->err;
        const int sync = gbnsSync(c->in, kSync, kSyncBytes, 1);
        if (sync == -2) continue;  // not a record here: try the next bytes
        if (sync == -1) {
            if (c->in->eof || c->in->err != errors) break;
            continue;  // nothing yet
        }
        if (gbnsOrbresponse(c->in, c->response) == 0) return true;
        break;
    }
    c->broken = true;
    return false;
}

// Sends the request and waits for the reply to it, passing over packets
// still streaming from an earlier reap.
bool exchange(Connection *c) {
    if (c->broken || !send_request(c)) return false;
    const int code = c->request->what;
    while (next_response(c)) {
        if (c->response->what == code) {
            c->reaping = false;
            return true;
        }
    }
    return false;
}

bool exchange_code(Connection *c, int code) {
    c->request->what = code;
    return exchange(c);
}

void copy_packet(const Pktpkg *pkg, int *pktid, char *srcname, double *time, char **packet,
                 int *nbytes, int *bufsize) {
    *pktid = pkg->pktid;
    std::snprintf(srcname, sizeof pkg->srcname, "%s", pkg->srcname);
    *time = pkg->time;
    const int n = pkg->packetsize;
    if (*packet == nullptr || *bufsize < n) {
        *packet = static_cast<char *>(KESTREL_REALLOC(*packet, n > 0 ? n : 1, "*packet"));
        *bufsize = n > 0 ? n : 1;
    }
    if (n > 0) std::memcpy(*packet, pkg->packet, static_cast<std::size_t>(n));
    *nbytes = n;
}

int open_with(std::unique_ptr<Connection> c) {
    if (!c || !exchange(c.get()) || c->response->result != 0) return -1;
    return enter(std::move(c));
}

}  // namespace

namespace kestrel {

int put_packet(int orb, char *srcname, double time, char *packet, int nbytes) {
    Connection *c = lookup(orb);
    if (c == nullptr) return -1;
    if (c->request->pkg == nullptr) c->request->pkg = newPktpkg();
    Pktpkg *pkg = c->request->pkg;
    std::snprintf(pkg->srcname, sizeof pkg->srcname, "%s", srcname);
    pkg->time = time;
    pkg->packet = packet;  // lent for the send
    pkg->packetsize = nbytes;
    c->request->what = ORBPUTACK;
    const bool sent = send_request(c);
    pkg->packet = nullptr;
    if (!sent) return -1;
    while (next_response(c))
        if (c->response->what == ORBPUTACK) return c->response->result == 0 ? 0 : -1;
    return -1;
}

}  // namespace kestrel

extern "C" {

int orbopen(char *name, char *perm) {
    std::unique_ptr<Connection> c = new_connection(name);
    if (!c) return -1;
    fill_hello(c->request->hello, perm);
    c->request->what = ORBOPEN;
    return open_with(std::move(c));
}

int orbsignedopen(char *name, char *perm, char *signer) {
    if (signer == nullptr || std::strlen(signer) >= sizeof(Orbrequest::signer)) return -1;
    std::unique_ptr<Connection> c = new_connection(name);
    if (!c || !exchange_code(c.get(), ORBCHALLENGE) || c->response->result != 0) return -1;
    Orbrequest *r = c->request;
    fill_hello(r->hello, perm);
    std::memset(r->challenge, 0, sizeof r->challenge);
    std::memcpy(r->challenge, c->response->challenge, kChallengeBytes);
    char block[kSignedBlockBytes];
    block[0] = r->hello->perm;
    std::memcpy(block + 1, r->hello->what, sizeof r->hello->what);
    std::memcpy(block + 1 + sizeof r->hello->what, r->hello->who, sizeof r->hello->who);
    std::memcpy(block + kSignedBlockBytes - kChallengeBytes, r->challenge, kChallengeBytes);
    char signature[SG_MAX_SIGNATURE + 1] = "";
    if (sgsign(signer, block, kSignedBlockBytes, signature) != 0) return -1;
    std::snprintf(r->signer, sizeof r->signer, "%s", signer);
    std::snprintf(r->signature, sizeof r->signature, "%s", signature);
    r->what = ORBSIGNEDOPEN;
    return open_with(std::move(c));
}

int orbclose(int orb) {
    std::unique_ptr<Connection> c = remove_connection(orb);
    if (!c) return -1;
    return exchange_code(c.get(), ORBCLOSE) ? 0 : -1;
}

int orbseek(int orb, int which) {
    Connection *c = lookup(orb);
    if (c == nullptr) return -1;
    c->request->pktcode = which;
    if (!exchange_code(c, ORBSEEK) || c->response->result != 0) return -1;
    return c->response->pktid;
}

int orbafter(int orb, double time) {
    Connection *c = lookup(orb);
    if (c == nullptr) return -1;
    c->request->time = time;
    if (!exchange_code(c, ORBAFTER) || c->response->result != 0) return -1;
    return c->response->pktid;
}

static int set_expression(int orb, int code, char *expression) {
    Connection *c = lookup(orb);
    if (c == nullptr) return -1;
    char empty[] = "";
    char *&field = code == ORBSELECT ? c->request->select : c->request->reject;
    char *saved = field;
    field = expression != nullptr ? expression : empty;  // lent for the send
    const bool answered = exchange_code(c, code);
    field = saved;
    if (!answered || c->response->result != 0) return -1;
    return c->response->nselections;
}

int orbselect(int orb, char *expression) { return set_expression(orb, ORBSELECT, expression); }

int orbreject(int orb, char *expression) { return set_expression(orb, ORBREJECT, expression); }

int orbget(int orb, int which, int *pktid, char *srcname, double *time, char **packet,
           int *nbytes, int *bufsize) {
    Connection *c = lookup(orb);
    if (c == nullptr) return -1;
    c->request->pktcode = which;
    if (!exchange_code(c, ORBGET) || c->response->result != 0 || c->response->pkg == nullptr)
        return -1;
    copy_packet(c->response->pkg, pktid, srcname, time, packet, nbytes, bufsize);
    return 0;
}

int orbreap(int orb, int *pktid, char *srcname, double *time, char **packet, int *nbytes,
            int *bufsize) {
    Connection *c = lookup(orb);
    if (c == nullptr || c->broken) return -1;
    if (!c->reaping) {
        Orbrequest *r = c->request;
        r->what = ORBREAP;
        r->reap_maxpkts = 0;  // no limit: until the next request
        r->reap_maxbytes = 0;
        r->reap_maxtime = 0.0;
        if (!send_request(c)) return -1;
        c->reaping = true;
    }
    while (next_response(c)) {
        const Orbresponse *r = c->response;
        if ((r->what != ORBREAP && r->what != ORBREAP2) || r->result != 0 || r->pkg == nullptr)
            continue;
        if (r->pkg->pktid == ORBREAPEND) {
            // A counted reap has ended; ask for more.
            c->reaping = false;
            return orbreap(orb, pktid, srcname, time, packet, nbytes, bufsize);
        }
        copy_packet(r->pkg, pktid, srcname, time, packet, nbytes, bufsize);
        return 0;
    }
    return -1;
}

int orbresurrect(int orb, int *pktid, double *time) {
    Relic id;
    id.ip = pktid;
    Relic when;
    when.dp = time;
    // Both are registered whatever the state holds, so that every save
    // from now on records the position, a first run's included.
    const int restored_id = resurrect(const_cast<char *>("pktid"), id, INT_RELIC);
    const int restored_time = resurrect(const_cast<char *>("time"), when, TIME_RELIC);
    if (restored_id != 0 || restored_time != 0) return -1;

    // Read the saved packet itself, so that the next packet streamed is the
    // one after it; when it is gone (or its id now names another packet),
    // stand on the first packet later than its time.
    Connection *c = lookup(orb);
    if (c == nullptr) return -1;
    c->request->pktcode = *pktid;
    if (exchange_code(c, ORBGET) && c->response->result == 0 && c->response->pkg != nullptr &&
        c->response->pkg->pktid == *pktid &&
        std::fabs(c->response->pkg->time - *time) <= kSavedTimeSlack)
        return 0;
    return orbafter(orb, *time) >= 0 ? 0 : -1;
}

}  // extern "C"
