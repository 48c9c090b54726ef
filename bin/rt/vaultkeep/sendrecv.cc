// Framing of the ring-buffer protocol: every record is preceded by the
// sync word on the stream.
#include <sys/socket.h>
#include <sys/time.h>

#include <cstring>

#include "vaultkeep.h"
#include "vaultkeep_private.h"

extern "C" {

char Sync[4] = {'o', 'r', 'b', 'm'};

int recvOrbrequest(Bns *in, Orbrequest *request) {
    if (gbnsSync(in, Sync, static_cast<int>(sizeof Sync), 1) != 0) return -1;
    return gbnsOrbrequest(in, request) == 0 ? 0 : -1;
}

int sendOrbresponse(Bns *out, Orbresponse *response) {
    const int32_t before = out->lp;
    const int32_t counted = out->outcount;
    if (bnsput(out, Sync, BNS_BYTES, static_cast<int>(sizeof Sync)) != 0) return -1;
    if (pbnsOrbresponse(out, response) != 0) {
        out->lp = before;  // no sync word without its record
        out->outcount = counted;
        return -1;
    }
    return bnsflush(out) == 0 ? 0 : -1;
}

}  // extern "C"

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
    if (out->timeout > 0) {
        timeval limit;
        limit.tv_sec = out->timeout / 1000;
        limit.tv_usec = (out->timeout % 1000) * 1000;
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    }
}

}  // namespace vaultkeep
