// Framing of the ring-buffer protocol: every record is preceded by the
// sync word on the stream.
#include <cstdio>
#include <cstring>

#include "orbserve.h"
#include "orbstate.h"
#include "vaultkeep_private.h"

void orbserve::fail_reply(Orbresponse *reply, const char *text) {
    reply->result = -1;
    std::snprintf(reply->errmsg, sizeof reply->errmsg, "%s", text);
    reply->nerr = static_cast<int>(std::strlen(reply->errmsg));
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
