// Fuzz target for the request decoder: whatever bytes a client sends after
// the sync word, decoding must neither crash, leak nor allocate beyond the
// bounds of the wire, and a request that decodes encodes back into bytes
// that decode to the same request.
//
// The input is a run of records, read one after the other from a memory
// stream until the decoder fails.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "elog.h"
#include "kestrel.h"

namespace {

void setup_once() {
    static bool done = false;
    if (done) return;
    done = true;
    elog_init(0, nullptr);
    elog_set(ELOG_MAXMSG, 0, nullptr);
}

Bns *memory_stream() {
    Bns *b = bnsnew(-1, 0);
    bnstimeout(b, 0);  // a memory stream never waits for more
    return b;
}

bool same_text(const char *a, const char *b) {
    return std::strcmp(a != nullptr ? a : "", b != nullptr ? b : "") == 0;
}

// The fields every code carries through the wire compare equal.
void check_same(const Orbrequest *a, const Orbrequest *b) {
    bool same = a->what == b->what;
    switch (a->what) {
        case ORBGET: case ORBGET2: case ORBSEEK: same = same && a->pktcode == b->pktcode; break;
        case ORBSELECT: same = same && same_text(a->select, b->select) && a->nselect == b->nselect; break;
        case ORBREJECT: same = same && same_text(a->reject, b->reject) && a->nreject == b->nreject; break;
        case ORBKILL: same = same && a->thread == b->thread; break;
        case ORBREAP:
        case ORBREAP2: same = same && a->reap_maxpkts == b->reap_maxpkts && a->reap_maxbytes == b->reap_maxbytes; break;
        case ORBPUT:
        case ORBPUTACK:
            same = same && a->pkg->packetsize == b->pkg->packetsize &&
                   std::memcmp(a->pkg->packet, b->pkg->packet, static_cast<size_t>(a->pkg->packetsize)) == 0 &&
                   std::strcmp(a->pkg->srcname, b->pkg->srcname) == 0;
            break;
        case ORBOPEN:
        case ORBSIGNEDOPEN:
            same = same && std::memcmp(a->hello, b->hello, sizeof *a->hello) == 0 &&
                   std::strcmp(a->signer, b->signer) == 0;
            break;
        default: break;
    }
    if (!same) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    setup_once();
    Bns *in = memory_stream();
    bnsput(in, const_cast<uint8_t *>(data), BNS_BYTES, static_cast<int>(size));
    Orbrequest *request = newOrbrequest();
    Orbrequest *again = newOrbrequest();
    Bns *wire = memory_stream();
    for (int records = 0; records < 64 && gbnsOrbrequest(in, request) == 0; records++) {
        bnsclr(wire);
        if (pbnsOrbrequest(wire, request) != 0) continue;  // a code without a layout
        if (gbnsOrbrequest(wire, again) != 0) std::abort();
        check_same(request, again);
    }
    freeOrbrequest(request);
    freeOrbrequest(again);
    bnsfree(in);
    bnsfree(wire);
    elog_clear();
    return 0;
}
