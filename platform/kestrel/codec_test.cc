// The wire codec: every record through a memory stream and back, the bytes
// of the layout, and the bounds that fail a stream without allocating.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "kestrel.h"

namespace {

// A memory stream that never waits for more input.
Bns *memory() {
    Bns *b = bnsnew(-1, 256);
    bnstimeout(b, 0);
    return b;
}

std::string contents(Bns *b) { return std::string(b->data + b->fp, b->data + b->lp); }

void load(Bns *b, const std::string &bytes) {
    bnsput(b, const_cast<char *>(bytes.data()), BNS_BYTES, static_cast<int>(bytes.size()));
}

std::string be32(uint32_t v) {
    return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 8), static_cast<char>(v)};
}

// A record's bytes after the sync word.
std::string record(int32_t code, const std::string &body) {
    return be32(static_cast<uint32_t>(code)) + be32(static_cast<uint32_t>(body.size())) + body;
}

void set_pkg(Pktpkg *pkg, int pktid, const std::string &name, const std::string &bytes) {
    pkg->pktid = pktid;
    pkg->time = 1700000000.125;
    std::snprintf(pkg->srcname, sizeof pkg->srcname, "%s", name.c_str());
    pkg->packet = static_cast<char *>(std::realloc(pkg->packet, bytes.size() + 1));
    std::memcpy(pkg->packet, bytes.data(), bytes.size());
    pkg->sZpacket = static_cast<int>(bytes.size() + 1);
    pkg->packetsize = static_cast<int>(bytes.size());
}

void set_hello(Orbrequest *r) {
    r->hello = newOrbOpenString();
    std::memcpy(&r->hello->handshake, "orbm", 4);
    r->hello->pid = 1234;
    r->hello->perm = 'r';
    std::strcpy(r->hello->what, "spillway ring dir");
    std::strcpy(r->hello->who, "operator");
}

// Encodes `in`, decodes it into a fresh request and hands both to check.
void round_trip(const std::function<void(Orbrequest *)> &fill,
                const std::function<void(const Orbrequest *, const Orbrequest *)> &check) {
    Orbrequest *in = newOrbrequest();
    fill(in);
    Bns *b = memory();
    ASSERT_EQ(pbnsOrbrequest(b, in), 0);
    Orbrequest *out = newOrbrequest();
    ASSERT_EQ(gbnsOrbrequest(b, out), 0);
    EXPECT_EQ(out->what, in->what);
    EXPECT_EQ(b->lp - b->fp, 0) << "whole record read";
    check(in, out);
    freeOrbrequest(in);
    freeOrbrequest(out);
    bnsfree(b);
}

TEST(Codec, RequestsTravelWithTheirFields) {
    round_trip([](Orbrequest *r) { r->what = ORBGET; r->pktcode = -13; },
               [](const Orbrequest *, const Orbrequest *o) { EXPECT_EQ(o->pktcode, -13); });
    round_trip([](Orbrequest *r) { r->what = ORBSEEK; r->pktcode = 42; },
               [](const Orbrequest *, const Orbrequest *o) { EXPECT_EQ(o->pktcode, 42); });
    round_trip(
        [](Orbrequest *r) {
            r->what = ORBREAP2;
            r->reap_maxtime = 12.5;
            r->reap_maxbytes = 4096;
            r->reap_maxpkts = 3;
        },
        [](const Orbrequest *, const Orbrequest *o) {
            EXPECT_EQ(o->reap_maxtime, 12.5);
            EXPECT_EQ(o->reap_maxbytes, 4096);
            EXPECT_EQ(o->reap_maxpkts, 3);
        });
    round_trip([](Orbrequest *r) { r->what = ORBSELECT; r->select = strdup("AA_.*|BB_.*"); },
               [](const Orbrequest *, const Orbrequest *o) {
                   EXPECT_STREQ(o->select, "AA_.*|BB_.*");
                   EXPECT_EQ(o->nselect, 12);
                   EXPECT_GE(o->sZselect, 12);
               });
    round_trip([](Orbrequest *r) { r->what = ORBREJECT; r->reject = strdup(""); },
               [](const Orbrequest *, const Orbrequest *o) {
                   EXPECT_STREQ(o->reject, "");
                   EXPECT_EQ(o->nreject, 1);
               });
    round_trip([](Orbrequest *r) { r->what = ORBAFTER; r->time = 1700000000.75; },
               [](const Orbrequest *, const Orbrequest *o) { EXPECT_EQ(o->time, 1700000000.75); });
    round_trip([](Orbrequest *r) { r->what = ORBSETPRIO; r->thread = 9; r->newpri = -2; },
               [](const Orbrequest *, const Orbrequest *o) {
                   EXPECT_EQ(o->thread, 9);
                   EXPECT_EQ(o->newpri, -2);
               });
    round_trip([](Orbrequest *r) { r->what = ORBLOGGING; r->logflag = -3; },
               [](const Orbrequest *, const Orbrequest *o) { EXPECT_EQ(o->logflag, -3); });
    round_trip([](Orbrequest *r) { r->what = ORBKILL; r->thread = 17; },
               [](const Orbrequest *, const Orbrequest *o) { EXPECT_EQ(o->thread, 17); });
    round_trip([](Orbrequest *r) { r->what = ORBSTASHFLAG; r->stashflag = 2; },
               [](const Orbrequest *, const Orbrequest *o) { EXPECT_EQ(o->stashflag, 2); });
    round_trip(
        [](Orbrequest *r) {
            r->what = ORBPUTACK;
            r->pkg = newPktpkg();
            set_pkg(r->pkg, 5, "AA_BBB_HHZ/gnt", std::string("\0\1\2body", 7));
        },
        [](const Orbrequest *, const Orbrequest *o) {
            ASSERT_NE(o->pkg, nullptr);
            EXPECT_EQ(o->pkg->pktid, 5);
            EXPECT_EQ(o->pkg->time, 1700000000.125);
            EXPECT_STREQ(o->pkg->srcname, "AA_BBB_HHZ/gnt");
            EXPECT_EQ(o->pkg->srcnamesize, 15);
            EXPECT_EQ(std::string(o->pkg->packet, static_cast<size_t>(o->pkg->packetsize)),
                      std::string("\0\1\2body", 7));
        });
    for (int code : {ORBOPEN, ORBRUP, ORBSIGNEDOPEN}) {
        round_trip(
            [code](Orbrequest *r) {
                r->what = code;
                r->athread = 11;
                set_hello(r);
                std::strcpy(r->signer, "alice");
                std::strcpy(r->signature, "0123abcd");
                std::memcpy(r->challenge, "\x7f\0\0\1ABCDEFGH", 12);
            },
            [code](const Orbrequest *, const Orbrequest *o) {
                ASSERT_NE(o->hello, nullptr);
                EXPECT_EQ(std::memcmp(&o->hello->handshake, "orbm", 4), 0);
                EXPECT_EQ(o->hello->pid, 1234);
                EXPECT_EQ(o->hello->perm, 'r');
                EXPECT_STREQ(o->hello->what, "spillway ring dir");
                EXPECT_STREQ(o->hello->who, "operator");
                if (code == ORBRUP) {
                    EXPECT_EQ(o->athread, 11);
                }
                if (code == ORBSIGNEDOPEN) {
                    EXPECT_STREQ(o->signer, "alice");
                    EXPECT_STREQ(o->signature, "0123abcd");
                    EXPECT_EQ(std::memcmp(o->challenge, "\x7f\0\0\1ABCDEFGH", 12), 0);
                }
            });
    }
    for (int code : {ORBSTAT, ORBCLIENTS, ORBSOURCES, ORBTELL, ORBCLOSE, ORBVERSION, ORBHALT,
                     ORBMYTHREAD, ORBSTASHOP, ORBCHALLENGE, 99})
        round_trip([code](Orbrequest *r) { r->what = code; },
                   [](const Orbrequest *, const Orbrequest *) {});
}

void response_trip(const std::function<void(Orbresponse *)> &fill,
                   const std::function<void(const Orbresponse *)> &check) {
    Orbresponse *in = newOrbresponse();
    fill(in);
    Bns *b = memory();
    ASSERT_EQ(pbnsOrbresponse(b, in), 0);
    Orbresponse *out = newOrbresponse();
    ASSERT_EQ(gbnsOrbresponse(b, out), 0);
    EXPECT_EQ(out->what, in->what);
    EXPECT_EQ(out->result, in->result);
    check(out);
    freeOrbresponse(in);
    freeOrbresponse(out);
    bnsfree(b);
}

TEST(Codec, ResponsesTravelWithTheirFields) {
    response_trip(
        [](Orbresponse *r) {
            r->what = ORBSTAT;
            r->result = -1;
            std::strcpy(r->errmsg, "no writing to vaultkeep");
            r->nerr = 24;
        },
        [](const Orbresponse *o) {
            EXPECT_STREQ(o->errmsg, "no writing to vaultkeep");
            EXPECT_EQ(o->nerr, 24);
        });
    response_trip(
        [](Orbresponse *r) {
            r->what = ORBREAP;
            r->pkg = newPktpkg();
            set_pkg(r->pkg, ORBREAPEND, "", "");
        },
        [](const Orbresponse *o) {
            EXPECT_EQ(o->pkg->pktid, ORBREAPEND);
            EXPECT_EQ(o->pkg->srcnamesize, 1);
            EXPECT_EQ(o->pkg->packetsize, 0);
        });
    response_trip([](Orbresponse *r) { r->what = ORBAFTER; r->pktid = 77; },
                  [](const Orbresponse *o) { EXPECT_EQ(o->pktid, 77); });
    response_trip([](Orbresponse *r) { r->what = ORBVERSION; r->version = 7; },
                  [](const Orbresponse *o) { EXPECT_EQ(o->version, 7); });
    response_trip([](Orbresponse *r) { r->what = ORBCHALLENGE; std::memcpy(r->challenge, "\0\1\2\3\4\5\6\7\10\11\12\13", 12); },
                  [](const Orbresponse *o) {
                      EXPECT_EQ(std::memcmp(o->challenge, "\0\1\2\3\4\5\6\7\10\11\12\13", 12), 0);
                  });
    response_trip(
        [](Orbresponse *r) {
            r->what = ORBRUP;
            r->active = 1;
            r->orb_start = 794662200.0;
            r->server_start = 1700000000.5;
            r->latest_pktid = -2;
        },
        [](const Orbresponse *o) {
            EXPECT_EQ(o->active, 1);
            EXPECT_EQ(o->orb_start, 794662200.0);
            EXPECT_EQ(o->server_start, 1700000000.5);
            EXPECT_EQ(o->latest_pktid, -2);
        });
    response_trip(
        [](Orbresponse *r) {
            r->what = ORBSTAT;
            r->orbstat.maxdata = 4000000000u;
            r->orbstat.maxpkts = 29;
            std::memcpy(r->orbstat.address, "\x7f\0\0\1", 4);
            std::strcpy(r->orbstat.version, "* Release 7.2.3");
            std::strcpy(r->orbstat.host, "ringhost:/data");
            r->orbstat.when = 3.5;
        },
        [](const Orbresponse *o) {
            EXPECT_EQ(o->orbstat.maxdata, 4000000000u);
            EXPECT_EQ(o->orbstat.maxpkts, 29);
            EXPECT_EQ(std::memcmp(o->orbstat.address, "\x7f\0\0\1", 4), 0);
            EXPECT_STREQ(o->orbstat.version, "* Release 7.2.3");
            EXPECT_STREQ(o->orbstat.host, "ringhost:/data");
            EXPECT_EQ(o->orbstat.when, 3.5);
        });
    response_trip(
        [](Orbresponse *r) {
            r->what = ORBCLIENTS;
            r->client_when = 9.0;
            r->client = static_cast<Orbclient *>(std::calloc(2, sizeof(Orbclient)));
            r->sZclient = r->nclient = 2;
            r->client[1].thread = 8;
            r->client[1].perm = 'r';
            std::strcpy(r->client[1].select, "AA.*");
            r->client[1].nselect = 4;
            r->client[1].written = 4000000000u;
        },
        [](const Orbresponse *o) {
            ASSERT_EQ(o->nclient, 2);
            EXPECT_EQ(o->client_when, 9.0);
            EXPECT_EQ(o->client[1].thread, 8);
            EXPECT_EQ(o->client[1].perm, 'r');
            EXPECT_STREQ(o->client[1].select, "AA.*");
            EXPECT_EQ(o->client[1].written, 4000000000u);
        });
    response_trip(
        [](Orbresponse *r) {
            r->what = ORBSOURCES;
            r->source = static_cast<Orbsrc *>(std::calloc(1, sizeof(Orbsrc)));
            r->sZsource = r->nsource = 1;
            std::strcpy(r->source[0].srcname, "AA_BBB_HHZ");
            r->source[0].npkts = 12;
        },
        [](const Orbresponse *o) {
            ASSERT_EQ(o->nsource, 1);
            EXPECT_STREQ(o->source[0].srcname, "AA_BBB_HHZ");
            EXPECT_EQ(o->source[0].npkts, 12);
        });
}

TEST(Codec, AGetIsItsCodeLengthAndPktcode) {
    Orbrequest *r = newOrbrequest();
    r->what = ORBGET;
    r->pktcode = 7;
    Bns *b = memory();
    ASSERT_EQ(pbnsOrbrequest(b, r), 0);
    EXPECT_EQ(contents(b), record(2, be32(7)));
    freeOrbrequest(r);
    bnsfree(b);
}

TEST(Codec, ADeclaredLengthBeyondTheBoundFailsAtOnce) {
    Orbrequest *r = newOrbrequest();
    r->what = -1;
    Bns *b = memory();
    load(b, be32(ORBPUT) + be32(0x80000000u) + "tail");
    const int size_before = b->sz;
    EXPECT_EQ(gbnsOrbrequest(b, r), -1);
    EXPECT_EQ(r->what, -1);
    EXPECT_EQ(b->sz, size_before) << "nothing grown";
    EXPECT_EQ(contents(b), "tail") << "only the header read";
    freeOrbrequest(r);
    bnsfree(b);

    Orbresponse *o = newOrbresponse();
    b = memory();
    load(b, be32(ORBGET) + be32(KESTREL_MAX_RESPONSE + 1u));
    EXPECT_EQ(gbnsOrbresponse(b, o), -1);
    EXPECT_EQ(b->sz, 256);
    freeOrbresponse(o);
    bnsfree(b);
}

TEST(Codec, BodiesThatBreakTheirLayoutFail) {
    const std::string hello = std::string("orbm") + be32(1) + "r" + be32(0) + be32(0);
    struct Case {
        const char *what;
        std::string bytes;
    } cases[] = {
        {"truncated body", record(ORBGET, "\0\0")},
        {"byte left over", record(ORBGET, be32(7) + "x")},
        {"expression over its bound", record(ORBSELECT, be32(KESTREL_MAX_EXPRESSION + 1) +
                                                            std::string(KESTREL_MAX_EXPRESSION + 1, 'a'))},
        {"text longer than its field",
         record(ORBOPEN, std::string("orbm") + be32(1) + "r" + be32(128) + std::string(128, 'w') + be32(0))},
        {"signer over its bound",
         record(ORBSIGNEDOPEN, hello + be32(66) + std::string(66, 's') + be32(0) + std::string(12, 'c'))},
        {"empty source name size",
         record(ORBPUT, be32(1) + std::string(8, '\0') + std::string("\0\0", 2) + be32(0))},
        {"source name too long",
         record(ORBPUT, be32(1) + std::string(8, '\0') + std::string("\0\x41", 2) + std::string(64, 'n') + be32(0))},
        {"packet longer than the body",
         record(ORBPUT, be32(1) + std::string(8, '\0') + std::string("\0\1", 2) + be32(100) + "short")},
    };
    for (const Case &c : cases) {
        Orbrequest *r = newOrbrequest();
        r->what = -1;
        Bns *b = memory();
        load(b, c.bytes + "next");
        EXPECT_EQ(gbnsOrbrequest(b, r), -1) << c.what;
        EXPECT_EQ(r->what, -1) << c.what;
        EXPECT_EQ(contents(b), "next") << c.what << ": the record is consumed";
        freeOrbrequest(r);
        bnsfree(b);
    }
}

TEST(Codec, AnUnknownCodeIsReadWholeWithItsBodyPassedOver) {
    Orbrequest *r = newOrbrequest();
    Bns *b = memory();
    load(b, record(99, "whatever") + record(ORBSEEK, be32(3)));
    ASSERT_EQ(gbnsOrbrequest(b, r), 0);
    EXPECT_EQ(r->what, 99);
    ASSERT_EQ(gbnsOrbrequest(b, r), 0);
    EXPECT_EQ(r->what, ORBSEEK);
    EXPECT_EQ(r->pktcode, 3);
    freeOrbrequest(r);
    bnsfree(b);
}

TEST(Codec, ACountOfRecordsThatCannotFitAllocatesNothing) {
    Orbresponse *o = newOrbresponse();
    Bns *b = memory();
    load(b, record(ORBCLIENTS, be32(0) + std::string(8, '\0') + be32(0x10000000u) + "abc"));
    EXPECT_EQ(gbnsOrbresponse(b, o), -1);
    EXPECT_EQ(o->client, nullptr);
    EXPECT_EQ(o->sZclient, 0);
    freeOrbresponse(o);
    bnsfree(b);
}

TEST(Codec, TheEncoderRefusesFieldsBeyondTheWire) {
    Orbresponse *r = newOrbresponse();
    r->what = ORBGET;
    r->pkg = newPktpkg();
    std::memset(r->pkg->srcname, 'x', sizeof r->pkg->srcname);  // no terminator
    Bns *b = memory();
    EXPECT_EQ(pbnsOrbresponse(b, r), -1);
    EXPECT_EQ(b->lp, 0) << "nothing left in the stream";
    r->pkg->srcname[0] = '\0';
    r->pkg->packetsize = -1;
    EXPECT_EQ(pbnsOrbresponse(b, r), -1);
    Orbrequest *q = newOrbrequest();
    q->what = ORBSELECT;
    q->select = static_cast<char *>(std::calloc(KESTREL_MAX_EXPRESSION + 2, 1));
    std::memset(q->select, 'a', KESTREL_MAX_EXPRESSION + 1);
    EXPECT_EQ(pbnsOrbrequest(b, q), -1);
    EXPECT_EQ(b->lp, 0);
    freeOrbrequest(q);
    freeOrbresponse(r);
    bnsfree(b);
}

TEST(Codec, RequestCodeNames) {
    EXPECT_EQ(Orbxlatn, 29);
    EXPECT_STREQ(xlatnum(ORBOPEN, Orbxlat, Orbxlatn), "ORBOPEN");
    EXPECT_STREQ(xlatnum(ORBSIGNEDOPEN, Orbxlat, Orbxlatn), "ORBSIGNEDOPEN");
    EXPECT_EQ(xlatnum(-1, Orbxlat, Orbxlatn), nullptr);
}

}  // namespace
