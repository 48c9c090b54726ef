// Printers of the protocol records: one field per line on standard error,
// "self->name='value'", with a comment after the value when flag is set.
#include <cstdio>
#include <cstring>

#include "vaultkeep.h"

namespace {

// A number field: "self->name='%d'", then " # comment" when annotated.
void number(int flag, const char *name, int value, const char *comment) {
    if (flag)
        std::fprintf(stderr, "self->%s='%d' # %s\n", name, value, comment);
    else
        std::fprintf(stderr, "self->%s='%d'\n", name, value);
}

// The same for a time or other double.
void real(int flag, const char *name, double value, const char *comment) {
    if (flag)
        std::fprintf(stderr, "self->%s='%f' # %s\n", name, value, comment);
    else
        std::fprintf(stderr, "self->%s='%f'\n", name, value);
}

// A text field: the label line, then at most n characters of the text.
void text(int flag, const char *name, const char *value, int n, const char *comment) {
    if (flag)
        std::fprintf(stderr, "self->%s =# %s\n", name, comment);
    else
        std::fprintf(stderr, "self->%s =\n", name);
    aprintstr(stderr, value, n);
}

void perm(int flag, char value) {
    if (flag)
        std::fprintf(stderr, "self->perm='%s' # permission (r or w)  \n", aprintchar(value));
    else
        std::fprintf(stderr, "self->perm='%s'\n", aprintchar(value));
}

// The four bytes of an address read as one host integer.
int address_of(const char *address) {
    int value;
    std::memcpy(&value, address, sizeof value);
    return value;
}

void open_reply(Orbresponse *r, int flag) {
    real(flag, "orb_start", r->orb_start, "when orb ring buffer was last reset  ");
    real(flag, "server_start", r->server_start, "when ringhold was started  ");
    number(flag, "latest_pktid", r->latest_pktid, "latest packet id ");
}

}  // namespace

extern "C" {

void pdbgPktpkg(Pktpkg *pkg, int flag) {
    if (pkg == nullptr) return;
    number(flag, "pktid", pkg->pktid, "packet id  ");
    number(flag, "packetsize", pkg->packetsize, "packet size  ");
    number(flag, "srcnamesize", pkg->srcnamesize, "length of source name  ");
    real(flag, "time", pkg->time, "time of packet  ");
    const int n = pkg->srcnamesize < sizeof pkg->srcname ? pkg->srcnamesize : sizeof pkg->srcname;
    text(flag, "srcname", pkg->srcname, n, "source name  ");
    aprintstr(stderr, pkg->packet, pkg->packet != nullptr ? pkg->packetsize : 0);
}

void pdbgOrbsrc(Orbsrc *src, int flag) {
    text(flag, "srcname", src->srcname, sizeof src->srcname, "source name ");
    number(flag, "active", src->active, "data originating now on this port  ");
    number(flag, "soldest", src->soldest, "pktid of oldest packet on orb  ");
    number(flag, "slatest", src->slatest, "pktid of latest packet on orb  ");
    number(flag, "npkts", src->npkts, "# of packets on orb  ");
    number(flag, "nbytes", src->nbytes, "# of bytes on orb  ");
    real(flag, "soldest_time", src->soldest_time, "time of oldest packet on orb  ");
    real(flag, "slatest_time", src->slatest_time, "time of latest packet on orb  ");
}

void pdbgOrbclient(Orbclient *c, int flag) {
    real(flag, "started", c->started, "time client was connected  ");
    real(flag, "lastpkt", c->lastpkt, "time of latest packet to/from client  ");
    number(flag, "pktid", c->pktid, "current packet id  ");
    number(flag, "packets", static_cast<int>(c->packets), "number of packets to/from this client  ");
    number(flag, "bytes", static_cast<int>(c->bytes), "packet bytes to/from this client  ");
    number(flag, "read", static_cast<int>(c->read), "#bytes read  ");
    number(flag, "written", static_cast<int>(c->written), "#bytes written  ");
    number(flag, "nreads", static_cast<int>(c->nreads), "#read calls  ");
    number(flag, "nwrites", static_cast<int>(c->nwrites), "#write calls  ");
    number(flag, "nrequests", static_cast<int>(c->nrequests), "# requests from client  ");
    number(flag, "mymessages", c->mymessages, "thread flag to print messages if != 0 ");
    number(flag, "lastrequest", c->lastrequest, "# last request from client  ");
    number(flag, "priority", c->priority, "priority for client  ");
    number(flag, "errors", c->errors, "# errors from this client  ");
    number(flag, "nselect", c->nselect, "number of characters in select  ");
    text(flag, "select", c->select, c->nselect, "current selection expression  ");
    number(flag, "nreject", c->nreject, "number of characters in reject  ");
    text(flag, "reject", c->reject, c->nreject, "current rejection expression  ");
    number(flag, "fd", c->fd, "port to which client is connected  ");
    number(flag, "thread", c->thread, "thread to which client is connected  ");
    number(flag, "address", address_of(c->address), "ip address of client machine  ");
    number(flag, "port", c->port, "client port on client machine  ");
    text(flag, "who", c->who, sizeof c->who, "user running client  ");
    text(flag, "host", c->host, sizeof c->host, "hostname of client machine  ");
    text(flag, "what", c->what, sizeof c->what, "command line for client machine  ");
    number(flag, "pid", c->pid, "pid of client  ");
    perm(flag, c->perm);
}

void pdbgOrbOpenString(OrbOpenString *hello, int flag) {
    if (hello == nullptr) return;
    number(flag, "handshake", hello->handshake, "another sanity check  ");
    text(flag, "who", hello->who, sizeof hello->who, "user running client  ");
    text(flag, "what", hello->what, sizeof hello->what, "command line for client machine  ");
    std::fputs("\n", stderr);
    number(flag, "pid", hello->pid, "pid of client  ");
    perm(flag, hello->perm);
}

void pdbgOrbstat(Orbstat *s, int flag) {
    number(flag, "maxdata", static_cast<int>(s->maxdata), "max data bytes ");
    number(flag, "maxpkts", s->maxpkts, "max #packets ");
    number(flag, "maxsrc", s->maxsrc, "maximum number of sources ");
    number(flag, "nclients", s->nclients, "number of clients ");
    number(flag, "nsources", s->nsources, "number of sources ");
    real(flag, "started", s->started, "start time of orb server ");
    real(flag, "when", s->when, "time when this status was taken ");
    number(flag, "pid", s->pid, "pid for ringhold ");
    number(flag, "address", address_of(s->address), "ip address  ");
    number(flag, "port", s->port, "port number for server requests ");
    number(flag, "opens", s->opens, "number of opens ");
    number(flag, "closes", s->closes, "number of closes ");
    number(flag, "rejected", s->rejected, "number of failed opens  ");
    number(flag, "errors", s->errors, "number of threads exiting with errors ");
    text(flag, "host", s->host, sizeof s->host, "hostname on which ringhold runs ");
    text(flag, "who", s->who, sizeof s->who, "who ran the ringhold ");
    text(flag, "version", s->version, sizeof s->version, "version code ");
    std::fputs("\n", stderr);
    real(flag, "orb_start", s->orb_start, "last time buffer was initialized ");
    number(flag, "messages", s->messages, "global flag to print all messages if != 0  ");
    number(flag, "connections", s->connections,
           "global flag to print all connection open and closes if != 0 ");
}

void pdbgOrbrequest(Orbrequest *r, int flag) {
    number(flag, "what", r->what, "request code  ");
    switch (r->what) {
        case ORBPUT:
            pdbgPktpkg(r->pkg, flag);
            break;
        case ORBGET:
        case ORBSEEK:
            number(0, "pktcode", r->pktcode, "");
            break;
        case ORBREAP:
            real(0, "reap_maxtime", r->reap_maxtime, "");
            number(0, "reap_maxbytes", r->reap_maxbytes, "");
            number(0, "reap_maxpkts", r->reap_maxpkts, "");
            break;
        case ORBSELECT:
            number(flag, "nselect", r->nselect, "characters in select + 1 ");
            aprintstr(stderr, r->select, r->select != nullptr ? r->nselect : 0);
            break;
        case ORBREJECT:
            number(flag, "nreject", r->nreject, "characters in reject + 1 ");
            aprintstr(stderr, r->reject, r->reject != nullptr ? r->nreject : 0);
            break;
        case ORBAFTER:
            real(0, "time", r->time, "");
            break;
        case ORBSETPRIO:
            number(0, "newpri", r->newpri, "");
            number(0, "thread", r->thread, "");
            break;
        case ORBKILL:
            number(0, "thread", r->thread, "");
            break;
        case ORBLOGGING:
            number(0, "logflag", r->logflag, "");
            break;
        case ORBRUP:
            number(0, "athread", r->athread, "");
            pdbgOrbOpenString(r->hello, flag);
            break;
        case ORBOPEN:
            pdbgOrbOpenString(r->hello, flag);
            break;
        case ORBSTASHPKT:
            number(0, "stashflag", r->stashflag, "");
            break;
        default:
            break;
    }
}

void pdbgOrbresponse(Orbresponse *r, int flag) {
    number(flag, "what", r->what, "echo request  ");
    number(flag, "result", r->result, "result code  ");
    if (r->result != 0) {
        number(0, "nerr", r->nerr, "");
        aprintstr(stderr, r->errmsg, r->nerr < 0 ? 0 : r->nerr);
        return;
    }
    switch (r->what) {
        case ORBGET:
        case ORBREAP:
            pdbgPktpkg(r->pkg, flag);
            break;
        case ORBSTAT:
            pdbgOrbstat(&r->orbstat, flag);
            break;
        case ORBCLIENTS:
            real(0, "client_when", r->client_when, "");
            number(0, "nclient", r->nclient, "");
            for (int i = 0; i < r->nclient && r->client != nullptr; i++)
                pdbgOrbclient(&r->client[i], flag);
            std::fputs("\n", stderr);
            break;
        case ORBSOURCES:
            real(0, "source_when", r->source_when, "");
            number(0, "nsource", r->nsource, "");
            for (int i = 0; i < r->nsource && r->source != nullptr; i++)
                pdbgOrbsrc(&r->source[i], flag);
            std::fputs("\n", stderr);
            break;
        case ORBSEEK:
        case ORBTELL:
        case ORBAFTER:
            number(0, "pktid", r->pktid, "");
            break;
        case ORBSELECT:
        case ORBREJECT:
            number(0, "nselections", r->nselections, "");
            break;
        case ORBVERSION:
            number(0, "version", r->version, "");
            break;
        case ORBMYTHREAD:
            number(0, "thread", r->thread, "");
            break;
        case ORBRUP:
            number(flag, "active", r->active, "1 if thread is active, 0 otherwise ");
            open_reply(r, flag);
            break;
        case ORBOPEN:
            open_reply(r, flag);
            break;
        case ORBSTASHPKT:
            number(0, "stashflag", r->stashflag, "");
            break;
        default:
            break;
    }
}

}  // extern "C"
