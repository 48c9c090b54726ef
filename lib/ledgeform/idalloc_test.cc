// New ids: from the lastid table under its lock (also between processes)
// and from an id server, whose replies are read whole and checked.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "child.h"
#include "id_server.h"
#include "ledgeform_testing.h"

namespace {

using ledgeform_testing::DatabaseTest;
using ledgeform_testing::text_of;
using tallykeep::Behaviour;
using tallykeep::IdServer;
using testing::HasSubstr;

class IdTest : public DatabaseTest {
  protected:
    void TearDown() override {
        ledgeform::set_idserver_timing(5, 30);
        DatabaseTest::TearDown();
    }

    // The keyvalue of the lastid record of a name, or -1.
    int lastid_of(Dbptr db, const char *name) {
        Dbptr lastid = table(db, "lastid");
        Dbptr r = dblookup(lastid, nullptr, nullptr, "keyname", name);
        if (r.record < 0) return -1;
        r.field = dbALL;
        int v = -1;
        dbgetv(r, nullptr, "keyvalue", &v, nullptr);
        return v;
    }

    // Work that takes ids in a process of its own, which opens the
    // database itself: the ids it got, one per line on its output.
    // It starts when the gate (a pipe) closes.
    static pid_t taker(const std::string &dbname, int count, int gate[2], int out) {
        pid_t pid = fork();
        if (pid != 0) return pid;
        ::close(gate[1]);
        Dbptr db;
        if (LGdbopen(dbname.c_str(), "r+", &db) != 0) _exit(2);
        char c;
        while (read(gate[0], &c, 1) > 0) {
        }
        std::string ids;
        for (int i = 0; i < count; i++) ids += std::to_string(dbnextid(db, "evid")) + "\n";
        (void)!write(out, ids.data(), ids.size());
        _exit(0);
    }

    // Several processes take ids at once from the database of the
    // descriptor given: all ids handed out differ.
    void ids_differ_between_processes(const std::string &descriptor) {
        testsupport::write_file(path("shared"), descriptor);
        const bool light = testsupport::under_address_sanitizer() ||
                           testsupport::under_thread_sanitizer() || getenv("QEMU_LD_PREFIX");
        const int processes = light ? 3 : 4, each = light ? 10 : 25;
        std::vector<int> reads;
        std::vector<pid_t> pids;
        int gate[2];
        ASSERT_EQ(pipe(gate), 0);
        for (int p = 0; p < processes; p++) {
            int fds[2];
            ASSERT_EQ(pipe(fds), 0);
            pids.push_back(taker(path("shared"), each, gate, fds[1]));
            ::close(fds[1]);
            reads.push_back(fds[0]);
        }
        ::close(gate[0]);
        ::close(gate[1]);
        std::vector<int> ids;
        for (int fd : reads) {
            std::string text;
            char buf[4096];
            ssize_t n;
            while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
            ::close(fd);
            size_t at = 0, nl;
            while ((nl = text.find('\n', at)) != std::string::npos) {
                ids.push_back(std::stoi(text.substr(at, nl - at)));
                at = nl + 1;
            }
        }
        for (pid_t pid : pids) {
            int status = 0;
            waitpid(pid, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        std::sort(ids.begin(), ids.end());
        ASSERT_EQ(ids.size(), static_cast<size_t>(processes * each));
        for (int i = 0; i < processes * each; i++) EXPECT_EQ(ids[i], i + 1);
        Dbptr db = open(path("shared"));
        EXPECT_EQ(lastid_of(db, "evid"), processes * each);
    }
};

TEST_F(IdTest, FirstIdOfAnEmptyDatabaseIsOne) {
    Dbptr db = create();
    EXPECT_EQ(dbnextid(db, "evid"), 1);
    EXPECT_EQ(lastid_of(db, "evid"), 1);
    EXPECT_EQ(dbnextid(db, "evid"), 2);
    EXPECT_EQ(dbnextid(db, "wfid"), 1);
    EXPECT_EQ(dbnextid(db, "evid"), 3);
    EXPECT_EQ(lastid_of(db, "evid"), 3);
    // A name no table defines counts too.
    EXPECT_EQ(dbnextid(db, "other"), 1);
    EXPECT_EQ(log(), "");
}

TEST_F(IdTest, IdsGoOnFromTheLargestInUse) {
    Dbptr db = create();
    Dbptr event = table(db, "event");
    ASSERT_EQ(dbaddv(event, nullptr, "evid", 41, "sta", "A", nullptr), 0) << log();
    ASSERT_EQ(dbaddv(event, nullptr, "evid", 7, "sta", "B", nullptr), 1);
    EXPECT_EQ(dbnextid(db, "evid"), 42);
    EXPECT_EQ(lastid_of(db, "evid"), 42);
    // Appends with a null id get the next ones.
    EXPECT_EQ(dbaddv(event, nullptr, "sta", "C", nullptr), 2);
    EXPECT_EQ(dbaddv(event, nullptr, "sta", "D", nullptr), 3);
    int evid = 0;
    Dbptr r = event;
    r.record = 3;
    dbgetv(r, nullptr, "evid", &evid, nullptr);
    EXPECT_EQ(evid, 44);
    // The lastid table's own value wins when it is larger.
    Dbptr lastid = dblookup(table(db, "lastid"), nullptr, nullptr, "keyname", "evid");
    lastid.field = dbALL;
    ASSERT_EQ(dbputv(lastid, nullptr, "keyvalue", 100, nullptr), 0);
    EXPECT_EQ(dbnextid(db, "evid"), 101);
}

TEST_F(IdTest, IdNamesLongerThanTheKeyFieldAreRefused) {
    Dbptr db = create();
    EXPECT_EQ(dbnextid(db, "averyverylongidname"), -1);
    EXPECT_THAT(log(), HasSubstr("does not fit the keyname field of the lastid table"));
    EXPECT_EQ(dbnextid(dbinvalid(), "evid"), -1);
}

const char kDescriptor[] = "# Ledgeform Database Descriptor file\nschema ledger1.0\n";

TEST_F(IdTest, ProcessesNeverShareAnIdUnderLocalLocks) {
    ids_differ_between_processes(std::string(kDescriptor) + "dblocks local\n");
}

TEST_F(IdTest, ProcessesNeverShareAnIdUnderLockFiles) {
    // An empty id server key: no server.
    ids_differ_between_processes(std::string(kDescriptor) + "dblocks nfs\ndbidserver\n");
}

TEST_F(IdTest, IdsFromTheServer) {
    IdServer server;
    ASSERT_TRUE(server.ok());
    setenv("DBIDSERVER", server.address().c_str(), 1);
    Dbptr db = create();
    char *named = nullptr;
    dbquery(db, QUERY_ID_SERVER, &named);
    EXPECT_EQ(server.address(), named);
    EXPECT_EQ(dbnextid(db, "evid"), 1);
    EXPECT_EQ(dbnextid(db, "evid"), 2);
    EXPECT_EQ(dbnextid(db, "wfid"), 1);
    EXPECT_EQ(server.requests(), (std::vector<std::string>{"evid", "evid", "wfid"}));
    // An append with a null id.
    Dbptr event = table(db, "event");
    ASSERT_EQ(dbaddv(event, nullptr, "sta", "A", nullptr), 0) << log();
    int evid = 0;
    Dbptr r = event;
    r.record = 0;
    dbgetv(r, nullptr, "evid", &evid, nullptr);
    EXPECT_EQ(evid, 3);
    // Blanks around the digits are allowed.
    server.set_reply(" 17\n");
    EXPECT_EQ(dbidrequest("x", server.address().c_str()), 17);
}

TEST_F(IdTest, AServerIdNotAboveTheIdsInUseIsRefused) {
    IdServer server;
    ASSERT_TRUE(server.ok());
    setenv("DBIDSERVER", server.address().c_str(), 1);
    Dbptr db = create();
    ASSERT_EQ(dbaddv(table(db, "event"), nullptr, "evid", 41, "sta", "A", nullptr), 0) << log();
    server.set_next("evid", 41);
    EXPECT_EQ(dbnextid(db, "evid"), -1);
    EXPECT_THAT(log(),
                HasSubstr("idserver returns new id for evid = 41, but database already has id=41"));
    EXPECT_EQ(dbnextid(db, "evid"), 42);
}

// A server that never gives an id: the client tries twelve times, then the
// process ends.
TEST_F(IdTest, BadRepliesAreFailedTriesNeverIds) {
    const struct {
        Behaviour behaviour;
        const char *reply;
        const char *complaint;
    } cases[] = {
        {Behaviour::kClose, nullptr, "couldn't read idserver reply"},
        {Behaviour::kAnswer, "", "couldn't read idserver reply"},
        {Behaviour::kAnswer, "123456789012345678901234567890123",
         "idserver reply for 'evid' is longer than 32 bytes"},
        {Behaviour::kAnswer, "12abc", "idserver reply '12abc' for 'evid' is not an id"},
        {Behaviour::kAnswer, "99999999999", "is not an id"},
        {Behaviour::kHang, nullptr, "couldn't read idserver reply"},
    };
    for (const auto &c : cases) {
        IdServer server;
        ASSERT_TRUE(server.ok());
        server.set_behaviour(c.behaviour);
        if (c.reply != nullptr) server.set_reply(c.reply);
        std::string address = server.address();
        auto child = testsupport::in_child([&] {
            ledgeform::set_idserver_timing(0.01, 0.2);
            std::printf("%d", dbidrequest("evid", address.c_str()));
        });
        EXPECT_TRUE(child.exited) << c.complaint;
        EXPECT_EQ(child.exit_code, 1) << c.complaint;
        EXPECT_EQ(child.out, "") << c.complaint;
        EXPECT_THAT(child.err, HasSubstr(c.complaint));
        EXPECT_THAT(child.err, HasSubstr("waited"));
        EXPECT_THAT(child.err, HasSubstr("for id 'evid'"));
        EXPECT_THAT(child.err,
                    HasSubstr("dbnextid fails: is tallykeep server running on '" + address + "'?"));
        EXPECT_EQ(server.connections(), 12) << c.complaint;
    }
}

TEST_F(IdTest, NoServerListening) {
    int port = 0;
    {
        IdServer gone;
        port = gone.port();
    }
    std::string address = "127.0.0.1:" + std::to_string(port);
    auto child = testsupport::in_child([&] {
        ledgeform::set_idserver_timing(0.01, 0.2);
        dbidrequest("evid", address.c_str());
    });
    EXPECT_EQ(child.exit_code, 1);
    EXPECT_THAT(child.err, HasSubstr("Can't connect to idserver at " + address));
    EXPECT_THAT(child.err, HasSubstr("dbnextid fails"));
}

TEST_F(IdTest, AnEmptyServerNameIsTheLocalHostsDefaultPort) {
    IdServer server(2499);
    if (!server.ok()) GTEST_SKIP() << "port 2499 is taken";
    setenv("DBIDSERVER", "", 1);
    Dbptr db = create();
    EXPECT_EQ(dbnextid(db, "evid"), 1);
    EXPECT_EQ(dbidrequest("evid", ":"), 2);
    EXPECT_EQ(dbidrequest("evid", "localhost"), 3);
    EXPECT_EQ(server.requests().size(), 3u);
}

}  // namespace
