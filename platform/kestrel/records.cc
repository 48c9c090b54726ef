// The protocol records: allocation and release.
#include <cstdlib>

#include "kestrel.h"
#include "kestrel_alloc.h"

extern "C" {

Orbrequest *newOrbrequest(void) { return KESTREL_NEW_RECORD(Orbrequest, "request"); }

Orbresponse *newOrbresponse(void) { return KESTREL_NEW_RECORD(Orbresponse, "response"); }

Orbclient *newOrbclient(void) {
    Orbclient *client = KESTREL_NEW_RECORD(Orbclient, "client");
    client->lastpkt = -1.0;
    return client;
}

Pktpkg *newPktpkg(void) {
    Pktpkg *pkg = KESTREL_NEW_RECORD(Pktpkg, "pkg");
    pkg->srcnamesize = 1;
    return pkg;
}

OrbOpenString *newOrbOpenString(void) {
    return KESTREL_NEW_RECORD(OrbOpenString, "hello");
}

void freePktpkg(Pktpkg *pkg) {
    if (pkg == nullptr) return;
    std::free(pkg->packet);
    std::free(pkg);
}

void freeOrbrequest(Orbrequest *request) {
    if (request == nullptr) return;
    std::free(request->reject);
    std::free(request->select);
    freePktpkg(request->pkg);
    std::free(request->hello);
    std::free(request);
}

void freeOrbresponse(Orbresponse *response) {
    if (response == nullptr) return;
    std::free(response->source);
    freePktpkg(response->pkg);
    std::free(response->client);
    std::free(response);
}

void freeOrbclient(Orbclient *client) { std::free(client); }

}  // extern "C"
