// The "dir[:port]" operand of the server.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "elog_capture.h"
#include "scratch_dir.h"
#include "vaultkeep.h"

namespace {

using testsupport::in_child;
using testsupport::out;

struct Parsed {
    int result;
    std::string dir;
    int port;
    std::string extra;
};

Parsed parse(const char *text, int port = ORB_DEFAULT_PORT) {
    Parsed p{0, "", port, ""};
    static char dir[4096];
    char extra[65] = "x";
    p.result = torvikportnum(const_cast<char *>(text), dir, &p.port, extra);
    p.dir = dir;
    p.extra = extra;
    return p;
}

TEST(Portnum, OperandForms) {
    struct Case {
        const char *text;
        int result;
        std::string dir;
        int port;
    } cases[] = {
        {"/data/ring", 0, "/data/ring", 6510},
        {"/data/ring:7000", 0, "/data/ring", 7000},
        {"/data/ring:", 0, "/data/ring", 6510},
        {"", 0, "localhost", 6510},
        {"relative:17", 0, "relative", 17},
    };
    for (const Case &k : cases) {
        const Parsed p = parse(k.text);
        EXPECT_EQ(p.result, k.result) << k.text;
        EXPECT_EQ(p.dir, k.dir) << k.text;
        EXPECT_EQ(p.port, k.port) << k.text;
        EXPECT_EQ(p.extra, "") << k.text;
    }
    EXPECT_EQ(parse(nullptr).dir, "localhost");
}

TEST(Portnum, ALongDirectoryIsKeptWholeOrRefused) {
    const std::string kept = "/" + std::string(200, 'd');
    const Parsed p = parse((kept + ":7000").c_str());
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.dir, kept) << "not cut to 63 characters";
    const std::string huge = "/" + std::string(5000, 'd');
    EXPECT_EQ(parse((huge + ":7000").c_str()).result, -1);
    EXPECT_EQ(parse(huge.c_str()).result, -1);
}

TEST(Portnum, NamedPortsComeFromRingholdNames) {
    testsupport::ScratchDir dir;
    testsupport::write_file(dir.file("ringhold_names.pf"),
                            "archive 6520 on the big disk\n"
                            "plain 6530\n"
                            "zero 0 nothing\n");
    const testsupport::ChildResult r = in_child([&] {
        setenv("PFPATH", dir.path().c_str(), 1);
        for (const char *text : {"/d:archive", "/d:plain", "/d:zero", "/d:absent"}) {
            const Parsed p = parse(text);
            out(std::to_string(p.result) + " " + std::to_string(p.port) + " [" + p.extra + "]\n");
        }
    });
    EXPECT_EQ(r.out,
              "0 6520 [on the big disk]\n"
              "0 6530 []\n"
              "-1 6510 []\n"
              "-1 6510 []\n");
}

}  // namespace
