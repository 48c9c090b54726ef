// Connection set-up: the first request of a connection, the challenge, the
// access check (IP list or signing daemon), the client record and state,
// and the reply that lets the thread become the client thread.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kestrel_alloc.h"
#include "pattern_cost_private.h"
#include "vaultkeep.h"
#include "vaultkeep_private.h"

namespace {

constexpr int kChallengeBytes = 12;
// perm, what, who and the challenge: the block a signed open is signed over.
constexpr int kSignedBlockBytes = 1 + 128 + 24 + kChallengeBytes;
constexpr int kDumpBytes = 96;
constexpr int kDottedSize = 32;
constexpr int kSentStashStep = 10;

bool is_open_code(int code) {
    return code == ORBOPEN || code == ORBRUP || code == ORBSIGNEDOPEN;
}

bool handshake_ok(const Orbrequest *request) {
    return request->hello != nullptr &&
           std::memcmp(&request->hello->handshake, Sync, sizeof Sync) == 0;
}

// The text of a scalar under key, looked up without path syntax (so that
// no name a client sends can reach another kind of value); null when the
// key is absent or holds something else.
const char *scalar_of(Pf *pf, const char *key) {
    void *value = nullptr;
    return pfget(pf, key, &value) == SCALAR_PF ? static_cast<const char *>(value) : nullptr;
}

// The array node under key, or null.
Pf *array_of(Pf *pf, const char *key) {
    void *value = nullptr;
    return pfget(pf, key, &value) == ARRAY_PF ? static_cast<Pf *>(value) : nullptr;
}

// Logs a refused request with its print and the first bytes received.
void show_refused(const Orbrequest *request, const Bns *in) {
    pdbgOrbrequest(const_cast<Orbrequest *>(request), 0);
    hexdump(stderr, in->data, std::min(in->lp, static_cast<int32_t>(kDumpBytes)));
}

}  // namespace

namespace vaultkeep {

namespace {

int recv_routine(int fd, void *buffer, int count, int flags) {
    return static_cast<int>(::recv(fd, buffer, static_cast<size_t>(count), flags));
}

int send_routine(int fd, void *buffer, int count, int flags) {
    return static_cast<int>(::send(fd, buffer, static_cast<size_t>(count), flags | MSG_NOSIGNAL));
}

}  // namespace

void setup_streams(int fd, Bns *in, Bns *out) {
    for (Bns *b : {in, out}) {
        b->read_routine = recv_routine;
        b->write_routine = send_routine;
    }
    // A client that stops reading blocks a send for the stream time-out at
    // most; then the send fails and the client is dropped.
    orbserve::limit_send_time(fd, out->timeout);
}

}  // namespace vaultkeep

extern "C" {

char *orbconstant(int code, char *buffer) {
    const char *name = xlatnum(code, Orbxlat, Orbxlatn);
    if (name != nullptr)
        std::strcpy(buffer, name);
    else
        std::sprintf(buffer, "* unknown: %d", code);
    return buffer;
}

void fd2ip(int fd, unsigned int *ip, int *port, char *text) {
    sockaddr_in peer;
    std::memset(&peer, 0, sizeof peer);
    socklen_t len = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &len) != 0 ||
        peer.sin_family != AF_INET) {
        elog_complain(1, "Couldn't get peername\n");
        std::memset(&peer, 0, sizeof peer);
    }
    *ip = peer.sin_addr.s_addr;
    *port = ntohs(peer.sin_port);
    inet_ntop(AF_INET, &peer.sin_addr, text, kDottedSize);
}

int challenge(unsigned int ip, Bns *in, Orbrequest *request, Bns *out, Orbresponse *response) {
    int failures = 0;
    std::memset(response->challenge, 0, sizeof response->challenge);
    std::memcpy(response->challenge, &ip, 4);
    double when = vaultkeep::now();
    unsigned char *cursor = reinterpret_cast<unsigned char *>(response->challenge + 4);
    hd2md(&when, &cursor, 1);
    response->what = ORBCHALLENGE;
    response->result = 0;
    const bool sent = sendOrbresponse(out, response) == 0;
    if (!sent) failures++;
    request->what = -1;
    if (sent && recvOrbrequest(in, request) != 0) {
        request->what = -1;
        failures++;
    }
    return failures;
}

int validate_open(unsigned int ip, Pf *pf, Orbrequest *request, char **restrictions) {
    *restrictions = nullptr;
    if (request->what != ORBSIGNEDOPEN) return legit_ip_pf(pf, ip, restrictions) == 1;

    const OrbOpenString *hello = request->hello;
    char block[kSignedBlockBytes];
    block[0] = hello->perm;
    std::memcpy(block + 1, hello->what, sizeof hello->what);
    std::memcpy(block + 1 + sizeof hello->what, hello->who, sizeof hello->who);
    std::memcpy(block + kSignedBlockBytes - kChallengeBytes, request->challenge, kChallengeBytes);
    const int verdict = sgverify(request->signer, block, kSignedBlockBytes, request->signature);
    if (verdict == 0 || verdict == -1) return 0;
    if (Pf *by_signer = array_of(pf, "restrict")) {
        if (const char *text = scalar_of(by_signer, request->signer))
            *restrictions = KESTREL_STRDUP(text, "restrictions");
    }
    return 1;
}

void reject_connection(Pf *pf, Orbrequest *request, Orbresponse *response) {
    response->what = request->what;
    response->result = -1;
    const char *message = scalar_of(pf, "reject_message");
    if (message != nullptr && std::strlen(message) >= 2) {
        // Its first 511 characters; nerr counts the terminator.
        const std::size_t n = std::min(std::strlen(message), sizeof response->errmsg - 1);
        std::memcpy(response->errmsg, message, n);
        response->errmsg[n] = '\0';
        response->nerr = static_cast<int>(n) + 1;
    } else {
        response->errmsg[0] = '\0';
        response->nerr = 0;
    }
}

Orbclient *setup_client(int fd, unsigned int ip, int port, Orbrequest *request) {
    Orbclient *client = newOrbclient();
    const OrbOpenString *hello = request->hello;
    client->fd = fd;
    std::memcpy(client->who, hello->who, sizeof client->who);
    std::memcpy(client->what, hello->what, sizeof client->what);
    client->pid = hello->pid;
    std::strcpy(client->host, "?");
    std::memcpy(client->address, &ip, sizeof client->address);
    client->port = port;
    client->perm = hello->perm;
    client->started = vaultkeep::now();
    client->bytes = 0;
    client->packets = 0;
    return client;
}

Orbclient_state *setup_state(Bns *in, Bns *out, char *iptext, Orbclient *client,
                             Orbrequest *request, Orbresponse *response, char *restrictions,
                             int pktlog, int *errors) {
    Orbclient_state *state = newOrbclient_state();
    std::snprintf(state->ip_address, sizeof state->ip_address, "%s", iptext);
    state->in = in;
    state->out = out;
    state->aclient = client;
    state->request = request;
    state->reply = response;
    if (response->pkg == nullptr) {
        response->pkg = newPktpkg();
        response->sZpkg = static_cast<int>(sizeof(Pktpkg));
    }
    state->restrictions = restrictions;
    if (restrictions != nullptr) {
        state->readonly = 1;
        if (std::strcmp(restrictions, "readonly") != 0) {
            state->restrict_pgm = KESTREL_NEW_RECORD(regex_t, "state->restrict_pgm");
            const char *why;
            if (basalt::regcomp_checked(state->restrict_pgm, restrictions,
                                        REG_EXTENDED | REG_NOSUB, &why) != 0) {
                std::free(state->restrict_pgm);
                state->restrict_pgm = nullptr;
                if (why != nullptr)
                    elog_complain(0,
                                  "%s: connection denied: regular expression '%s' in parameter "
                                  "file refused: %s",
                                  iptext, restrictions, why);
                else
                    elog_complain(0,
                                  "%s: connection denied: bad regular expression '%s' in "
                                  "parameter file",
                                  iptext, restrictions);
                (*errors)++;
            }
        }
    }
    const int empty = 0;
    state->sentstash = inittbl(0, kSentStashStep, 1, const_cast<int *>(&empty), sizeof(int));
    state->pktlog = pktlog;
    client->nrequests++;
    client->lastrequest = request->what;
    client->read = static_cast<unsigned int>(in->nbytes);
    client->nreads = static_cast<unsigned int>(in->nsys);
    client->written = static_cast<unsigned int>(out->nbytes);
    client->nwrites = static_cast<unsigned int>(out->nsys);
    client->pktid = 0;
    return state;
}

void fix_orbopen_reply(Orbrequest *request, Orbresponse *response, Orbclient_state *state) {
    response->what = request->what;
    response->result = 0;
    {
        vaultkeep::MutexLock hold(&Params.status_mutex);
        response->orb_start = Params.status.orb_start;
    }
    response->server_start = Params.server_start;
    response->latest_pktid = state->aclient->pktid;
}

void fix_orbrup_reply(Orbrequest *request, Orbresponse *response) {
    response->what = request->what;
    response->result = 0;
    {
        vaultkeep::MutexLock hold(&Params.status_mutex);
        response->orb_start = Params.status.orb_start;
    }
    response->server_start = Params.server_start;
    response->active = 0;
    response->latest_pktid = -2;
    int pktid = 0;
    if (request->athread > 0 && vaultkeep::find_thread(request->athread, &pktid)) {
        response->active = 1;
        response->latest_pktid = pktid;
    }
}

int log_connection(Pf *pf, char *iptext) {
    Pf *logged = array_of(pf, "log_packets");
    void *value = nullptr;
    return logged != nullptr && pfget(logged, iptext, &value) != INVALID_PF ? 1 : 0;
}

void free_setup(int fd, Orbclient_state *state, Bns *in, Bns *out, Orbrequest *request,
                Orbresponse *response) {
    if (state != nullptr) {
        freeOrbclient_state(state);
    } else {
        bnsfree(in);
        bnsfree(out);
        freeOrbrequest(request);
        freeOrbresponse(response);
    }
    ::close(fd);
}

void *launch(void *arg) {
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    unsigned int ip = 0;
    int port = 0;
    char iptext[kDottedSize] = "";
    fd2ip(fd, &ip, &port, iptext);

    Pf *pf = nullptr;
    if (pfread(Params.pfname, &pf) != 0) {
        elog_complain(1, "Thread giving up: can't read parameter file %s", Params.pfname);
        pffree(pf);
        ::close(fd);
        return nullptr;
    }

    Bns *in = bnsnew(fd, 0);
    Bns *out = bnsnew(fd, 0);
    vaultkeep::setup_streams(fd, in, out);
    Orbrequest *request = newOrbrequest();
    Orbresponse *response = newOrbresponse();

    request->what = -1;
    if (recvOrbrequest(in, request) != 0) request->what = -1;

    // The challenge this connection was given: a signed open must sign it.
    char issued[kChallengeBytes];
    bool challenged = false;
    if (request->what == ORBCHALLENGE) {
        challenge(ip, in, request, out, response);
        std::memcpy(issued, response->challenge, sizeof issued);
        challenged = true;
    }

    const int code = request->what;
    int errors = 0;
    bool answer = false;
    Orbclient_state *state = nullptr;
    char name[64];
    if (!is_open_code(code) || !handshake_ok(request)) {
        if (!is_open_code(code))
            elog_complain(0, "%s: connection denied: bad request %s", iptext,
                          orbconstant(code, name));
        else
            elog_complain(0, "%s: connection denied: bad handshake", iptext);
        show_refused(request, in);
        errors++;
    } else {
        char *restrictions = nullptr;
        const bool echoed = code != ORBSIGNEDOPEN ||
                            (challenged && std::memcmp(request->challenge, issued, sizeof issued) == 0);
        answer = true;
        if (!echoed || !validate_open(ip, pf, request, &restrictions)) {
            reject_connection(pf, request, response);
            if (code == ORBSIGNEDOPEN) {
                elog_complain(0, "%s: connection denied: permission denied (quillmark)", iptext);
                show_refused(request, in);
            } else {
                elog_complain(0, "%s: connection denied: permission denied (ip)", iptext);
            }
            errors++;
        } else if (code == ORBRUP) {
            fix_orbrup_reply(request, response);
        } else if (request->hello->perm != 'r') {
            elog_complain(0, "%s: connection denied: attempt to open for writing", iptext);
            reject_connection(pf, request, response);
            errors++;
        } else {
            const int pktlog = log_connection(pf, iptext);
            Orbclient *client = setup_client(fd, ip, port, request);
            state = setup_state(in, out, iptext, client, request, response, restrictions,
                                pktlog, &errors);
            restrictions = nullptr;  // the state's now
            if (errors == 0)
                fix_orbopen_reply(request, response, state);
            else
                reject_connection(pf, request, response);
        }
        std::free(restrictions);
    }
    if (answer && sendOrbresponse(out, response) != 0) {
        elog_complain(1, "%s: connection denied: failed to send response", iptext);
        errors++;
    }
    pffree(pf);

    if (errors == 0 && state != nullptr) return client_thread(state);
    if (errors != 0) {
        vaultkeep::MutexLock hold(&Params.status_mutex);
        Params.status.rejected++;
    }
    free_setup(fd, state, in, out, request, response);
    return nullptr;
}

}  // extern "C"
