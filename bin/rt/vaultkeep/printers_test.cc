// The protocol record printers: exact lines, annotated and plain.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "child.h"
#include "vaultkeep.h"

namespace {

// What fn prints on standard error.
std::string printed(const std::function<void()> &fn) {
    const testsupport::ChildResult r = testsupport::run_in_child(fn);
    EXPECT_TRUE(r.exited);
    return r.err;
}

Orbstat sample_stat() {
    Orbstat s;
    std::memset(&s, 0, sizeof s);
    s.maxdata = 1000;
    s.maxpkts = 29;
    s.maxsrc = 2;
    s.nclients = 3;
    s.when = 1700000100.5;
    s.started = 1700000000.25;
    s.orb_start = 794662200.0;
    s.pid = 4242;
    const unsigned char address[4] = {1, 0, 0, 0};
    std::memcpy(s.address, address, 4);
    s.port = 6510;
    s.opens = 5;
    s.closes = 2;
    s.rejected = 1;
    s.errors = 0;
    std::strcpy(s.host, "ringhost:/data");
    std::strcpy(s.who, "operator");
    std::strcpy(s.version, "* Release 7.2.3");
    s.messages = 1;
    return s;
}

TEST(Printers, StatusAnnotated) {
    Orbstat s = sample_stat();
    EXPECT_EQ(printed([&] { pdbgOrbstat(&s, 1); }),
              "self->maxdata='1000' # max data bytes \n"
              "self->maxpkts='29' # max #packets \n"
              "self->maxsrc='2' # maximum number of sources \n"
              "self->nclients='3' # number of clients \n"
              "self->nsources='0' # number of sources \n"
              "self->started='1700000000.250000' # start time of orb server \n"
              "self->when='1700000100.500000' # time when this status was taken \n"
              "self->pid='4242' # pid for ringhold \n"
              "self->address='1' # ip address  \n"
              "self->port='6510' # port number for server requests \n"
              "self->opens='5' # number of opens \n"
              "self->closes='2' # number of closes \n"
              "self->rejected='1' # number of failed opens  \n"
              "self->errors='0' # number of threads exiting with errors \n"
              "self->host =# hostname on which ringhold runs \n"
              "ringhost:/data\n"
              "self->who =# who ran the ringhold \n"
              "operator\n"
              "self->version =# version code \n"
              "* Release 7.2.3\n"
              "\n"
              "self->orb_start='794662200.000000' # last time buffer was initialized \n"
              "self->messages='1' # global flag to print all messages if != 0  \n"
              "self->connections='0' # global flag to print all connection open and closes if != 0 \n");
}

TEST(Printers, StatusPlain) {
    Orbstat s = sample_stat();
    const std::string text = printed([&] { pdbgOrbstat(&s, 0); });
    EXPECT_EQ(text.substr(0, text.find("self->pid")),
              "self->maxdata='1000'\nself->maxpkts='29'\nself->maxsrc='2'\nself->nclients='3'\n"
              "self->nsources='0'\nself->started='1700000000.250000'\n"
              "self->when='1700000100.500000'\n");
    EXPECT_NE(text.find("self->host =\nringhost:/data\nself->who =\noperator\n"), std::string::npos);
}

TEST(Printers, PacketWithControlBytesAndUnterminatedName) {
    Pktpkg *pkg = newPktpkg();
    pkg->pktid = 7;
    pkg->time = 1700000007.0;
    std::memset(pkg->srcname, 'N', sizeof pkg->srcname);  // no terminator
    pkg->srcnamesize = 64;
    const char bytes[] = {'a', 1, 'b'};
    pkg->packet = static_cast<char *>(std::malloc(3));
    std::memcpy(pkg->packet, bytes, 3);
    pkg->sZpacket = 3;
    pkg->packetsize = 3;
    EXPECT_EQ(printed([&] { pdbgPktpkg(pkg, 1); }),
              "self->pktid='7' # packet id  \n"
              "self->packetsize='3' # packet size  \n"
              "self->srcnamesize='64' # length of source name  \n"
              "self->time='1700000007.000000' # time of packet  \n"
              "self->srcname =# source name  \n" +
                  std::string(64, 'N') + "\n" + "a\\x01b\n");
    freePktpkg(pkg);
}

TEST(Printers, RequestsPrintTheFieldsOfTheirCode) {
    Orbrequest *r = newOrbrequest();
    struct Case {
        int code;
        int flag;
        std::string expected;
    } cases[] = {
        {25, 1, "self->what='25' # request code  \n"},
        {33, 0, "self->what='33'\n"},
        {2, 1, "self->what='2' # request code  \nself->pktcode='-13'\n"},
        {3, 0,
         "self->what='3'\nself->reap_maxtime='1.500000'\nself->reap_maxbytes='-1'\n"
         "self->reap_maxpkts='10'\n"},
        {9, 1, "self->what='9' # request code  \nself->nselect='6' # characters in select + 1 \nAA.*\\x01\n"},
        {16, 0, "self->what='16'\nself->newpri='4'\nself->thread='12'\n"},
        {12, 0, "self->what='12'\nself->time='1700000000.000000'\n"},
        {18, 0, "self->what='18'\nself->logflag='3'\n"},
        {-18, 0, "self->what='-18'\nself->stashflag='2'\n"},
    };
    r->pktcode = -13;
    r->reap_maxtime = 1.5;
    r->reap_maxbytes = -1;
    r->reap_maxpkts = 10;
    r->select = strdup("AA.*\x01");
    r->nselect = 6;
    r->newpri = 4;
    r->thread = 12;
    r->time = 1700000000.0;
    r->logflag = 3;
    r->stashflag = 2;
    for (const Case &c : cases) {
        r->what = c.code;
        EXPECT_EQ(printed([&] { pdbgOrbrequest(r, c.flag); }), c.expected) << c.code;
    }
    freeOrbrequest(r);
}

TEST(Printers, LivenessRequestPrintsItsOpenString) {
    Orbrequest *r = newOrbrequest();
    r->what = ORBRUP;
    r->athread = 3;
    r->hello = newOrbOpenString();
    std::memcpy(&r->hello->handshake, "orbm", 4);
    std::strcpy(r->hello->who, "bob");
    std::strcpy(r->hello->what, "spillway ring dir");
    r->hello->pid = 99;
    r->hello->perm = 'r';
    int handshake;
    std::memcpy(&handshake, "orbm", 4);
    EXPECT_EQ(printed([&] { pdbgOrbrequest(r, 1); }),
              "self->what='24' # request code  \n"
              "self->athread='3'\n"
              "self->handshake='" + std::to_string(handshake) + "' # another sanity check  \n"
              "self->who =# user running client  \nbob\n"
              "self->what =# command line for client machine  \nspillway ring dir\n"
              "\n"
              "self->pid='99' # pid of client  \n"
              "self->perm='r' # permission (r or w)  \n");
    freeOrbrequest(r);
}

TEST(Printers, FailedResponsePrintsTheErrorWhateverItsCode) {
    Orbresponse *r = newOrbresponse();
    r->what = ORBSTAT;
    r->result = -1;
    std::strcpy(r->errmsg, "unknown command");
    r->nerr = 15;
    EXPECT_EQ(printed([&] { pdbgOrbresponse(r, 1); }),
              "self->what='4' # echo request  \nself->result='-1' # result code  \n"
              "self->nerr='15'\nunknown command\n");
    freeOrbresponse(r);
}

TEST(Printers, ResponsesPrintTheFieldsOfTheirCode) {
    Orbresponse *r = newOrbresponse();
    r->pktid = 17;
    r->nselections = -1;
    r->version = 7;
    r->thread = 5;
    r->active = 1;
    r->orb_start = 794662200.0;
    r->server_start = 1700000000.0;
    r->latest_pktid = 12;
    r->source_when = 2.0;
    struct Case {
        int code;
        int flag;
        std::string expected;
    } cases[] = {
        {7, 1, "self->what='7' # echo request  \nself->result='0' # result code  \nself->pktid='17'\n"},
        {10, 0, "self->what='10'\nself->result='0'\nself->nselections='-1'\n"},
        {14, 0, "self->what='14'\nself->result='0'\nself->version='7'\n"},
        {23, 0, "self->what='23'\nself->result='0'\nself->thread='5'\n"},
        {24, 1,
         "self->what='24' # echo request  \nself->result='0' # result code  \n"
         "self->active='1' # 1 if thread is active, 0 otherwise \n"
         "self->orb_start='794662200.000000' # when orb ring buffer was last reset  \n"
         "self->server_start='1700000000.000000' # when ringhold was started  \n"
         "self->latest_pktid='12' # latest packet id \n"},
        {20, 0,
         "self->what='20'\nself->result='0'\nself->orb_start='794662200.000000'\n"
         "self->server_start='1700000000.000000'\nself->latest_pktid='12'\n"},
        {6, 0, "self->what='6'\nself->result='0'\nself->source_when='2.000000'\nself->nsource='0'\n\n"},
        {29, 0, "self->what='29'\nself->result='0'\n"},
    };
    for (const Case &c : cases) {
        r->what = c.code;
        EXPECT_EQ(printed([&] { pdbgOrbresponse(r, c.flag); }), c.expected) << c.code;
    }
    freeOrbresponse(r);
}

TEST(Printers, ClientRecord) {
    Orbclient *c = newOrbclient();
    c->started = 1.0;
    c->pktid = 3;
    c->nselect = 4;
    std::strcpy(c->select, "AA.*");
    std::strcpy(c->who, "bob");
    std::strcpy(c->host, "?");
    std::strcpy(c->what, "ringcat");
    c->perm = 'r';
    const std::string text = printed([&] { pdbgOrbclient(c, 0); });
    EXPECT_EQ(text.substr(0, text.find("self->packets")),
              "self->started='1.000000'\nself->lastpkt='-1.000000'\nself->pktid='3'\n");
    EXPECT_NE(text.find("self->nselect='4'\nself->select =\nAA.*\nself->nreject='0'\nself->reject =\n\n"),
              std::string::npos);
    EXPECT_NE(text.find("self->who =\nbob\nself->host =\n?\nself->what =\nringcat\nself->pid='0'\n"
                        "self->perm='r'\n"),
              std::string::npos);
    freeOrbclient(c);
}

}  // namespace
