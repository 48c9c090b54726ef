// Framing of the ring-buffer protocol: every record is preceded by the
// sync word on the stream.
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "kestrel_alloc.h"

#include "orbserve.h"
#include "orbstate.h"
#include "vaultkeep_private.h"

void orbserve::fail_reply(Orbresponse *reply, const char *text) {
    reply->result = -1;
    std::snprintf(reply->errmsg, sizeof reply->errmsg, "%s", text);
    reply->nerr = static_cast<int>(std::strlen(reply->errmsg));
}

void orbserve::fill_pkg(Pktpkg *pkg, int pktid, double time, const char *bytes, int n,
                        int maxbytes) {
    const int size = maxbytes < 0 ? n : std::min(n, maxbytes);
    if (pkg->packet == nullptr || pkg->sZpacket < size) {
        pkg->packet = static_cast<char *>(
            KESTREL_REALLOC(pkg->packet, static_cast<std::size_t>(size), "pkg->packet"));
        pkg->sZpacket = size;
    }
    if (size > 0) std::memcpy(pkg->packet, bytes, static_cast<std::size_t>(size));
    pkg->pktid = pktid;
    pkg->time = time;
    pkg->packetsize = size;
    pkg->srcnamesize = static_cast<uint16_t>(std::strlen(pkg->srcname) + 1);
}

void orbserve::limit_send_time(int fd, int timeout) {
    if (timeout <= 0) return;
    timeval limit;
    limit.tv_sec = timeout / 1000;
    limit.tv_usec = (timeout % 1000) * 1000;
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

extern "C" {

char Sync[4] = {'o', 'r', 'b', 'm'};

int recvOrbrequest(Bns *in, Orbrequest *request) {
    if (gbnsSync(in, Sync, static_cast<int>(sizeof Sync), 1) != 0) return -1;
    return gbnsOrbrequest(in, request) == 0 ? 0 : -1;
}

int sendOrbresponse(Bns *out, Orbresponse *response) {
    if (vaultkeep::append_response(out, response) != 0) return -1;
    return bnsflush(out) == 0 ? 0 : -1;
}

}  // extern "C"

namespace vaultkeep {

int append_response(Bns *out, Orbresponse *response) {
    const int32_t before = out->lp;
    const int32_t counted = out->outcount;
    if (bnsput(out, Sync, BNS_BYTES, static_cast<int>(sizeof Sync)) != 0) return -1;
    if (pbnsOrbresponse(out, response) != 0) {
        out->lp = before;  // no sync word without its record
        out->outcount = counted;
        return -1;
    }
    return 0;
}

}  // namespace vaultkeep
