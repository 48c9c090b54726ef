// The per-connection state of the ring servers: allocation and release.
#include "orbstate.h"

#include <cstdlib>

#include "kestrel_alloc.h"

extern "C" {

Orbclient_state *newOrbclient_state(void) {
    Orbclient_state *state = KESTREL_NEW_RECORD(Orbclient_state, "s");
    state->reap_maxpkts = -1;
    state->reap_maxbytes = -1;
    pthread_mutex_init(&state->client_mutex, nullptr);
    return state;
}

void orbfree_regcomp(regex_t *pgm) {
    if (pgm == nullptr) return;
    regfree(pgm);
    std::free(pgm);
}

void freeOrbclient_state(Orbclient_state *state) {
    if (state == nullptr) return;
    bnsfree(state->in);
    bnsfree(state->out);
    if (state->selections != nullptr) freetbl(state->selections, nullptr);
    orbfree_regcomp(state->restrict_pgm);
    orbfree_regcomp(state->reject_pgm);
    orbfree_regcomp(state->select_pgm);
    std::free(state->restrictions);
    freeOrbclient(state->aclient);
    freeOrbrequest(state->request);
    freeOrbresponse(state->reply);
    if (state->sentstash != nullptr) freetbl(state->sentstash, nullptr);
    std::free(state->packet);
    pthread_mutex_destroy(&state->client_mutex);
    std::free(state);
}

}  // extern "C"
