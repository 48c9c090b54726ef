// The signing client: one TCP conversation with the signing daemon per
// request, serialised within the process.

#include "signing.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "alloc.h"
#include "bns.h"
#include "elog.h"
#include "filetests.h"
#include "kitbag_host.h"
#include "kitbag_process.h"
#include "pf.h"
#include "pfaccess.h"

namespace {

constexpr int kRequestMax = 1024;     // request line buffer
constexpr int kServerNameMax = 1023;  // longest address text used
constexpr int kStreamSize = 1024;
constexpr int kVerifyReplyMax = 32;

// The daemon's address text, read once from "sg.pf"; null until then.
// Guarded by name_lock (so that two threads starting at once do not race on
// it); kept for the life of the process once set.
char *server_name = nullptr;
pthread_mutex_t name_lock = PTHREAD_MUTEX_INITIALIZER;

// One conversation with the daemon at a time per process.
pthread_mutex_t Mutex = PTHREAD_MUTEX_INITIALIZER;

// Copies the daemon's address text into text (kServerNameMax + 1 bytes),
// reading "sg.pf" first when no name is known yet. 0, or -1 when the file
// cannot be read or names no server.
int init_server_name(char *text) {
    pthread_mutex_lock(&name_lock);
    if (server_name == nullptr) {
        Pf *pf = nullptr;
        const int r = pfread("sg.pf", &pf);
        if (r >= 0 && pf != nullptr) {
            // Quietly: a missing key is not worth a message of the getter.
            const int mark = elog_mark();
            const char *value = pfget_string(pf, "server");
            elog_flush(0, mark);
            if (value != nullptr) server_name = BASALT_STRDUP(value, "server_name");
        }
        if (pf != nullptr) pffree(pf);
    }
    int result = -1;
    if (server_name != nullptr) {
        std::snprintf(text, kServerNameMax + 1, "%s", server_name);
        result = 0;
    }
    pthread_mutex_unlock(&name_lock);
    return result;
}

// Splits "host:port" into host (kServerNameMax + 1 bytes) and port.
void parsename(const char *name, char *host, int *port) {
    std::snprintf(host, kServerNameMax + 1, "%s", name);
    *port = SG_DEFAULT_PORT;
    char *colon = std::strchr(host, ':');
    if (colon != nullptr) {
        *colon = '\0';
        if (colon[1] != '\0') *port = std::atoi(colon + 1);
    }
}

int recv_routine(int fd, void *buffer, int count, int flags) {
    return static_cast<int>(::recv(fd, buffer, static_cast<size_t>(count), flags));
}

int send_routine(int fd, void *buffer, int count, int flags) {
    return static_cast<int>(::send(fd, buffer, static_cast<size_t>(count), flags | MSG_NOSIGNAL));
}

// Opens a conversation: on 0, Mutex is held and *in and *out are streams on
// a connected socket; on -1 nothing is held.
int sgopen_socket(Bns **in, Bns **out) {
    char name[kServerNameMax + 1];
    if (init_server_name(name) < 0) return -1;

    pthread_mutex_lock(&Mutex);

    char host[kServerNameMax + 1];
    int port = 0;
    parsename(name, host, &port);

    in_addr_t address;
    if (host[0] == '\0') {
        address = htonl(INADDR_LOOPBACK);
    } else {
        int addr = -1;
        char dotted[64] = "";
        if (name2ip(host, &addr, dotted) < 0) {
            elog_log(1, "Can't find ip address for host '%s'\n", host);
            pthread_mutex_unlock(&Mutex);
            return -1;
        }
        address = static_cast<in_addr_t>(addr);
    }

    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        pthread_mutex_unlock(&Mutex);
        if (verbose_exists()) elog_complain(1, "Can't open stream socket\n");
        return -1;
    }
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = address;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0) {
        ::close(fd);
        pthread_mutex_unlock(&Mutex);
        if (verbose_exists()) elog_complain(1, "Can't connect to server\n");
        return -1;
    }

    ignoreSIGPIPE();
    *in = bnsnew(fd, kStreamSize);
    *out = bnsnew(fd, kStreamSize);
    (*in)->read_routine = recv_routine;
    (*in)->write_routine = send_routine;
    (*out)->read_routine = recv_routine;
    (*out)->write_routine = send_routine;
    return 0;
}

int close_socket(Bns *in, Bns *out) {
    bnsfree(in);
    const int result = bnsclose(out);
    pthread_mutex_unlock(&Mutex);
    return result;
}

// Formats the request line; false when it does not fit its buffer (an
// over-long signer name is refused rather than cut or overrun).
bool format_request(char *line, const char *verb, const char *signer, int nbytes) {
    if (signer == nullptr || nbytes < 0) return false;
    const int n = std::snprintf(line, kRequestMax, "%s\n%s\n%d\n", verb, signer, nbytes);
    if (n < 0 || n >= kRequestMax) {
        elog_complain(0, "%s: signer name too long (%zu characters)\n",
                      verb[0] == 's' ? "sgsign" : "sgverify", std::strlen(signer));
        return false;
    }
    return true;
}

}  // namespace

extern "C" int sgsign(char *signer, char *data, int nbytes, char *signature) {
    char line[kRequestMax];
    if (!format_request(line, "sign", signer, nbytes)) return -1;

    Bns *in = nullptr;
    Bns *out = nullptr;
    if (sgopen_socket(&in, &out) < 0) return -1;

    bnsput(out, line, BNS_BYTES, static_cast<int>(std::strlen(line)));
    if (nbytes > 0) bnsput(out, data, BNS_BYTES, nbytes);
    bnsflush(out);  // a failed flush shows as a missing reply

    const int n = bnsgetc(in, signature, SG_MAX_SIGNATURE, '\n');
    if (n >= 0) signature[n] = '\0';
    close_socket(in, out);
    return n >= 0 ? 0 : 1;
}

extern "C" int sgverify(char *signer, char *data, int nbytes, char *signature) {
    char line[kRequestMax];
    if (!format_request(line, "verify", signer, nbytes)) return -1;

    Bns *in = nullptr;
    Bns *out = nullptr;
    if (sgopen_socket(&in, &out) < 0) return -1;

    bnsput(out, line, BNS_BYTES, static_cast<int>(std::strlen(line)));
    if (nbytes > 0) bnsput(out, data, BNS_BYTES, nbytes);
    const size_t siglen = signature != nullptr ? std::strlen(signature) : 0;
    const int nsig = siglen < SG_MAX_SIGNATURE ? static_cast<int>(siglen) : SG_MAX_SIGNATURE;
    if (nsig > 0) bnsput(out, signature, BNS_BYTES, nsig);
    char newline[] = "\n";
    bnsput(out, newline, BNS_BYTES, 1);
    bnsflush(out);

    char reply[kVerifyReplyMax + 1];
    const int n = bnsgetc(in, reply, kVerifyReplyMax, '\n');
    close_socket(in, out);
    if (n < 0) return -1;
    reply[n] = '\0';
    return std::atoi(reply);
}
