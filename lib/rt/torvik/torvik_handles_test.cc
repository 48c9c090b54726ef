// Handles: ids, opening and closing, the key lists of torvikset and
// torvikquery, and selection by source name.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "_torvik.h"
#include "child.h"
#include "costly_patterns.h"
#include "elog.h"
#include "elog_capture.h"
#include "scratch_dir.h"
#include "tbl.h"
#include "torvik_testing.h"

namespace {

using torvik_testing::cs;
using torvik_testing::exec_self;
using torvik_testing::Handle;
using torvik_testing::take;

using testsupport::ChildResult;
using testsupport::elog_register_text;
using testsupport::elog_reset_register;
using testsupport::in_child;
using testsupport::read_file;
using testsupport::ScratchDir;
using testsupport::write_file;

const std::string &P() {
    static const std::string name = testsupport::elog_program_name();
    return name;
}



// ---- Ids ----

// Run in a fresh process (this binary, exec'd with the variable set) so
// that no handle was given before.
void ids_probe(const char *dir) {
    std::string a = std::string(dir) + "/a", b = std::string(dir) + "/b";
    int first = torvikopen(cs(a), cs("w"));
    int closed = torvikclose(first);
    int missing = torvikopen(cs(std::string(dir) + "/no/such"), cs("r"));
    int second = torvikopen(cs(b), cs("w"));
    int third = torvikopen(cs(a), cs("r"));
    std::printf("PROBE:%d %d %d %d %d %d %d\n", first, closed, missing, second, third,
                torviktell(first), torvikfd(first));
    torvikclose(second);
    torvikclose(third);
    std::fflush(stdout);
    std::exit(0);
}

class ProbeEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        if (const char *dir = std::getenv("TORVIK_HANDLES_PROBE")) ids_probe(dir);
    }
};
::testing::Environment *const probe_env =
    ::testing::AddGlobalTestEnvironment(new ProbeEnvironment);

TEST(TorvikHandles, IdsStartAtOneAndAreNeverGivenAgain) {
    ScratchDir dir;
    ChildResult r = in_child([&] {
        setenv("TORVIK_HANDLES_PROBE", dir.path().c_str(), 1);
        exec_self("TorvikHandles.Defaults");
    });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    // A failed open takes no id.
    const std::size_t at = r.out.find("PROBE:");
    ASSERT_NE(at, std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(at), "PROBE:1 0 -1 2 3 -1 -1\n");
}

TEST(TorvikHandles, IdsThatAreNotOpenFailEverywhere) {
    ScratchDir dir;
    int closed = torvikopen(cs(dir.file("f")), cs("w"));
    ASSERT_GE(closed, 1);
    ASSERT_EQ(torvikclose(closed), 0);
    Handle open(dir.file("f"), "r");
    for (int orb : {closed, 0, -1, 1000000}) {
        SCOPED_TRACE(orb);
        int period = 77;
        EXPECT_EQ(fd2torvik(orb, nullptr), nullptr);
        EXPECT_EQ(torvikselect(orb, cs("A.*")), -1);
        EXPECT_EQ(torvikreject(orb, cs("A.*")), -1);
        EXPECT_EQ(torvikset(orb, TORVIK_SEGMENT_PERIOD, 10, 0), -1);
        EXPECT_EQ(torvikquery(orb, TORVIK_SEGMENT_PERIOD, &period, 0), -1);
        EXPECT_EQ(period, 77);
        EXPECT_EQ(torvikclose(orb), -1);
        EXPECT_EQ(torviktell(orb), -1);
        EXPECT_EQ(torvikfd(orb), -1);
    }
    // The open handle is untouched by all of it.
    int period = 0;
    EXPECT_EQ(torvikquery(open.id(), TORVIK_SEGMENT_PERIOD, &period, 0), 0);
    EXPECT_EQ(period, 3600);
    EXPECT_GE(torvikfd(open.id()), 0);
}

// ---- Opening ----

TEST(TorvikHandles, ModeAndRepresentation) {
    ScratchDir dir;
    write_file(dir.file("existing"), "");
    struct Case {
        const char *mode;
        const char *representation;
        unsigned write;
    };
    const Case cases[] = {
        {"r", "x", 0},
        {"rb", "x", 0},
        {"w", "x", 1},
        {"m", "x", 1},
        {"b", "b", 1},
        {"bxyz", "bxyz", 1},
        {"a", "a", 1},
        {"f", "f", 1},
        {"s3", "s3", 1},
        {"x", "x", 1},
        {"b123456789abcdefghij", "b123456789abcde", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode);
        Handle h(dir.file("existing"), c.mode);
        ASSERT_NE(h.record(), nullptr);
        EXPECT_STREQ(h.record()->representation, c.representation);
        EXPECT_EQ(h.record()->flags.write, c.write);
        EXPECT_EQ(h.record()->dirname, nullptr);
        EXPECT_EQ(take(h.record()->filename ? strdup(h.record()->filename) : nullptr),
                  dir.file("existing"));
        char *rep = nullptr;
        ASSERT_EQ(torvikquery(h.id(), TORVIK_REPRESENTATION, &rep, 0), 0);
        EXPECT_EQ(take(rep), c.representation);
    }
}

TEST(TorvikHandles, DirectoryWriterWritesHexByDefault) {
    ScratchDir dir;
    {
        Handle h(dir.path(), "w");
        ASSERT_NE(h.record(), nullptr);
        EXPECT_EQ(std::string(h.record()->dirname), dir.path());
        EXPECT_STREQ(h.record()->filename, "/dev/null");
        ASSERT_EQ(torvikput(h.id(), cs("AK_ANM_BHZ"), 1700000000.25, cs("ab"), 2), 0);
    }
    Tbl *names = segmentfiles(cs(dir.path()));
    ASSERT_EQ(maxtbl(names), 1);
    std::string contents = read_file(dir.file(static_cast<char *>(gettbl(names, 0))));
    freetbl(names, std::free);
    EXPECT_EQ(contents.substr(0, contents.find('\n') + 1),
              "#orb x AK_ANM_BHZ 2 1700000000.2500000\n");
}

TEST(TorvikHandles, UnopenablePathIsLoggedAndGivesMinusOne) {
    ScratchDir dir;
    const std::string path = dir.file("no/such/file");
    for (const char *mode : {"r", "w"}) {
        SCOPED_TRACE(mode);
        elog_reset_register();
        EXPECT_EQ(torvikopen(cs(path), cs(mode)), -1);
        EXPECT_EQ(elog_register_text(),
                  P() + ": Can't open '" + path + "' to write\n\tNo such file or directory\n");
    }
    elog_reset_register();
}

// ---- Settings and queries ----

TEST(TorvikHandles, Defaults) {
    Torvikfile *t = torviknew();
    EXPECT_EQ(t->dirname, nullptr);
    EXPECT_EQ(t->filename, nullptr);
    EXPECT_EQ(t->file, nullptr);
    EXPECT_EQ(t->id, -1);
    EXPECT_EQ(t->fd, -1);
    EXPECT_STREQ(t->representation, "x");
    ASSERT_NE(t->index, nullptr);
    EXPECT_EQ(maxtbl(t->index), 0);
    EXPECT_EQ(t->select, nullptr);
    EXPECT_EQ(t->reject, nullptr);
    EXPECT_EQ(t->select_pgm, nullptr);
    EXPECT_EQ(t->reject_pgm, nullptr);
    unsigned flags = 0;
    std::memcpy(&flags, &t->flags, sizeof t->flags);
    EXPECT_EQ(flags, 0u);
    EXPECT_EQ(t->tdelta, 0.0);
    EXPECT_EQ(t->first_pktid, 0);
    EXPECT_EQ(t->first_time, 0);
    EXPECT_EQ(t->segment_period, 3600);
    EXPECT_EQ(t->maxsize, 2.0e9);
    EXPECT_EQ(t->maxpkts, 400000);
    EXPECT_EQ(t->max_segment_size, 200000000);
    EXPECT_EQ(t->max_time_gap, 31536000);
    EXPECT_EQ(t->maxpktid, 2147483000);
    EXPECT_EQ(t->maxskip, 648);
    EXPECT_EQ(t->count, 0);
    EXPECT_EQ(t->segment_bytes, 0);
    EXPECT_EQ(t->pktid, -1);
    EXPECT_STREQ(t->srcname, "");
    EXPECT_EQ(t->time, 0.0);
    EXPECT_EQ(t->maxtime, 0.0);
    EXPECT_EQ(t->nbytes, 0);
    EXPECT_EQ(t->packet, nullptr);
    EXPECT_EQ(t->bufsize, 0);
    // The index holds whole packet entries.
    TorvikPkt entry{};
    entry.pktid = 7;
    std::strcpy(entry.srcname, "A_B");
    settbl(t->index, 0, &entry);
    EXPECT_EQ(static_cast<TorvikPkt *>(gettbl(t->index, 0))->pktid, 7);
    EXPECT_STREQ(static_cast<TorvikPkt *>(gettbl(t->index, 0))->srcname, "A_B");
    torvikfree(t);
}

struct Queried {
    int first_pktid = -9, first_time = -9, period = -9, maxpkts = -9, segsize = -9, gap = -9;
    double maxsize = -9;
    std::string filename, representation;
};

Queried query_all(int orb) {
    Queried q;
    char *filename = nullptr, *representation = nullptr;
    EXPECT_EQ(torvikquery(orb, TORVIK_FIRST_PKTID, &q.first_pktid, TORVIK_FIRST_TIME,
                          &q.first_time, TORVIK_SEGMENT_PERIOD, &q.period, TORVIK_MAXPKTS,
                          &q.maxpkts, TORVIK_MAX_SEGMENT_SIZE, &q.segsize, TORVIK_FILENAME,
                          &filename, TORVIK_REPRESENTATION, &representation, TORVIK_MAXSIZE,
                          &q.maxsize, TORVIK_MAX_TIME_GAP, &q.gap, 0),
              0);
    q.filename = take(filename);
    q.representation = take(representation);
    return q;
}

TEST(TorvikHandles, QueryGivesTheRecordsValues) {
    ScratchDir dir;
    write_file(dir.file("1700000000.42"), "");
    Handle h(dir.file("1700000000.42"), "r");
    Queried q = query_all(h.id());
    EXPECT_EQ(q.first_pktid, 42);
    EXPECT_EQ(q.first_time, 0);
    EXPECT_EQ(q.period, 3600);
    EXPECT_EQ(q.maxpkts, 400000);
    EXPECT_EQ(q.segsize, 200000000);
    EXPECT_EQ(q.maxsize, 2.0e9);
    EXPECT_EQ(q.gap, 31536000);
    EXPECT_EQ(q.filename, dir.file("1700000000.42"));
    EXPECT_EQ(q.representation, "x");
    // Keys that are not queryable consume no pointer.
    int period = 0;
    EXPECT_EQ(torvikquery(h.id(), TORVIK_CURRENT, TORVIK_SYNCHRONOUS, TORVIK_VERBOSE,
                          TORVIK_MAXPKTID, 99, TORVIK_SEGMENT_PERIOD, &period, 0),
              0);
    EXPECT_EQ(period, 3600);
}

TEST(TorvikHandles, SetWalksTheListByKey) {
    ScratchDir dir;
    write_file(dir.file("f"), "");
    Handle h(dir.file("f"), "r");
    Torvikfile *t = h.record();

    // Every settable key takes its value.
    EXPECT_EQ(torvikset(h.id(), TORVIK_SEGMENT_PERIOD, 60, TORVIK_MAXPKTS, 5,
                        TORVIK_MAX_SEGMENT_SIZE, 1000, TORVIK_REPRESENTATION, "bq",
                        TORVIK_CURRENT, 2, TORVIK_SYNCHRONOUS, -1, TORVIK_VERBOSE, 2,
                        TORVIK_MAXSIZE, 12345.5, TORVIK_MAXPKTID, 77, TORVIK_MAX_TIME_GAP, 99, 0),
              0);
    Queried q = query_all(h.id());
    EXPECT_EQ(q.period, 60);
    EXPECT_EQ(q.maxpkts, 5);
    EXPECT_EQ(q.segsize, 1000);
    EXPECT_EQ(q.representation, "bq");
    EXPECT_EQ(q.maxsize, 12345.5);
    EXPECT_EQ(q.gap, 99);
    EXPECT_EQ(t->flags.current, 1u);
    EXPECT_EQ(t->flags.synchronous, 1u);
    EXPECT_EQ(t->flags.verbose, 2u);
    EXPECT_EQ(t->maxpktid, 77);
    EXPECT_EQ(torvikset(h.id(), TORVIK_CURRENT, 0, TORVIK_SYNCHRONOUS, 0, 0), 0);
    EXPECT_EQ(t->flags.current, 0u);
    EXPECT_EQ(t->flags.synchronous, 0u);

    // Key 6 takes no value: 3 is the next key.
    EXPECT_EQ(torvikset(h.id(), TORVIK_FILENAME, TORVIK_SEGMENT_PERIOD, 1800, 0), 0);
    EXPECT_EQ(t->segment_period, 1800);
    // So do keys 1, 2, 12, 13 and unknown keys.
    EXPECT_EQ(torvikset(h.id(), TORVIK_FIRST_PKTID, TORVIK_FIRST_TIME, TORVIK_FILES,
                        TORVIK_TOTAL_BYTES, 16, -5, TORVIK_MAXPKTS, 9, 0),
              0);
    EXPECT_EQ(t->maxpkts, 9);
    EXPECT_EQ(t->first_pktid, 0);
    EXPECT_EQ(t->first_time, 0);

    // 6, 0 sets nothing.
    Queried before = query_all(h.id());
    const unsigned verbose = t->flags.verbose;
    EXPECT_EQ(torvikset(h.id(), TORVIK_FILENAME, 0), 0);
    Queried after = query_all(h.id());
    EXPECT_EQ(after.period, before.period);
    EXPECT_EQ(after.maxpkts, before.maxpkts);
    EXPECT_EQ(after.segsize, before.segsize);
    EXPECT_EQ(after.maxsize, before.maxsize);
    EXPECT_EQ(after.gap, before.gap);
    EXPECT_EQ(after.representation, before.representation);
    EXPECT_EQ(after.filename, before.filename);
    EXPECT_EQ(t->flags.verbose, verbose);

    // Verbosity is clamped to 0..3.
    for (auto [value, want] : {std::pair{7, 3u}, {-2, 0u}, {3, 3u}, {1, 1u}, {0, 0u}}) {
        EXPECT_EQ(torvikset(h.id(), TORVIK_VERBOSE, value, 0), 0);
        EXPECT_EQ(t->flags.verbose, want) << value;
    }

    // A representation of 16 or more characters is cut at 15.
    EXPECT_EQ(torvikset(h.id(), TORVIK_REPRESENTATION, "a123456789abcdefgh", 0), 0);
    EXPECT_STREQ(t->representation, "a123456789abcde");
}

TEST(TorvikHandles, FilesAndTotalComeFromOneListing) {
    ScratchDir dir;
    write_file(dir.file("1700003600.5"), "#orb b B 1 2.0\nb\n");
    write_file(dir.file("1700000000.0"), "#orb b A 3 1.0\naaa\n");
    write_file(dir.file("notes"), "not a segment file\n");
    Handle h(dir.path(), "r");
    Tbl *files = nullptr;
    double total = -1;
    int first = -9;
    ASSERT_EQ(torvikquery(h.id(), TORVIK_FILES, &files, TORVIK_FIRST_PKTID, &first,
                          TORVIK_TOTAL_BYTES, &total, 0),
              0);
    ASSERT_NE(files, nullptr);
    std::vector<std::string> paths;
    for (int i = 0; i < maxtbl(files); i++) paths.push_back(static_cast<char *>(gettbl(files, i)));
    freetbl(files, std::free);
    EXPECT_EQ(paths, (std::vector<std::string>{dir.file("1700000000.0"), dir.file("1700003600.5")}));
    EXPECT_EQ(total, 19.0 + 17.0);
    EXPECT_EQ(first, 0);

    // The total alone: the listing is not handed out.
    total = -1;
    ASSERT_EQ(torvikquery(h.id(), TORVIK_TOTAL_BYTES, &total, 0), 0);
    EXPECT_EQ(total, 36.0);

    // A free-standing file has no segment files.
    Handle file(dir.file("notes"), "r");
    files = nullptr;
    total = -1;
    ASSERT_EQ(torvikquery(file.id(), TORVIK_FILES, &files, TORVIK_TOTAL_BYTES, &total, 0), 0);
    ASSERT_NE(files, nullptr);
    EXPECT_EQ(maxtbl(files), 0);
    freetbl(files, std::free);
    EXPECT_EQ(total, 0.0);
}

// ---- Selection ----

TEST(TorvikHandles, SelectionMatchesWholeNamesOnly) {
    ScratchDir dir;
    write_file(dir.file("f"), "");
    Handle h(dir.file("f"), "r");
    struct Case {
        const char *select;  // null: none
        const char *reject;  // null: none
        const char *name;
        int want;
    };
    const Case cases[] = {
        {nullptr, nullptr, "AK_ANM_BHZ", 1},
        {nullptr, nullptr, "", 1},
        {"AK_.*", nullptr, "AK_ANM_BHZ", 1},
        {"AK_.*", nullptr, "XX_ANM_BHZ", 0},
        {"AK", nullptr, "AK_ANM_BHZ", 0},                 // a prefix only
        {"K_ANM_BHZ", nullptr, "AK_ANM_BHZ", 0},          // from the second character
        {".*_BHZ", nullptr, "AK_ANM_BHZ/pf", 0},          // not to the end
        {"ak_.*", nullptr, "AK_ANM_BHZ", 0},              // no case folding
        {"AK_ANM_(BHZ|BHN)", nullptr, "AK_ANM_BHN", 1},
        {"AK_ANM_BH.", nullptr, "AK_ANM_BHZ", 1},
        {nullptr, "BHZ", "AK_ANM_BHZ", 1},                // a channel code alone
        {nullptr, "BHZ", "BHZ", 0},
        {nullptr, ".*_BHZ", "AK_ANM_BHZ", 0},
        {nullptr, "AK_ANM", "AK_ANM_BHZ", 1},
        {"AK_.*", ".*_BHZ", "AK_ANM_BHZ", 0},
        {"AK_.*", ".*_BHZ", "AK_ANM_BHN", 1},
        {"AK_.*", ".*_BHZ", "XX_ANM_BHN", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.select ? c.select : "-") + " " + (c.reject ? c.reject : "-") +
                     " " + c.name);
        ASSERT_EQ(torvikselect(h.id(), const_cast<char *>(c.select)), 0);
        ASSERT_EQ(torvikreject(h.id(), const_cast<char *>(c.reject)), 0);
        EXPECT_EQ(selected(h.record(), const_cast<char *>(c.name)), c.want);
    }
}

TEST(TorvikHandles, EmptyOrNullClearsAnExpression) {
    ScratchDir dir;
    write_file(dir.file("f"), "");
    Handle h(dir.file("f"), "r");
    Torvikfile *t = h.record();
    for (char *clear : {const_cast<char *>(""), static_cast<char *>(nullptr)}) {
        ASSERT_EQ(torvikselect(h.id(), cs("XX_.*")), 0);
        ASSERT_EQ(torvikreject(h.id(), cs("AK_.*")), 0);
        EXPECT_STREQ(t->select, "XX_.*");
        EXPECT_STREQ(t->reject, "AK_.*");
        EXPECT_EQ(selected(t, cs("AK_ANM_BHZ")), 0);
        ASSERT_EQ(torvikselect(h.id(), clear), 0);
        EXPECT_EQ(t->select, nullptr);
        EXPECT_EQ(t->select_pgm, nullptr);
        EXPECT_EQ(selected(t, cs("YY_ANM_BHZ")), 1);
        EXPECT_EQ(selected(t, cs("AK_ANM_BHZ")), 0);
        ASSERT_EQ(torvikreject(h.id(), clear), 0);
        EXPECT_EQ(t->reject, nullptr);
        EXPECT_EQ(t->reject_pgm, nullptr);
        EXPECT_EQ(selected(t, cs("AK_ANM_BHZ")), 1);
    }
}

TEST(TorvikHandles, InvalidExpressionLeavesTheHandleWithoutIt) {
    ScratchDir dir;
    write_file(dir.file("f"), "");
    Handle h(dir.file("f"), "r");
    Torvikfile *t = h.record();
    ASSERT_EQ(torvikselect(h.id(), cs("AK_.*")), 0);
    ASSERT_EQ(torvikreject(h.id(), cs(".*_BHZ")), 0);

    elog_reset_register();
    EXPECT_EQ(torvikselect(h.id(), cs("AK_(")), -1);
    EXPECT_EQ(elog_register_text(), P() + ": invalid selection expression 'AK_('\n");
    EXPECT_EQ(t->select, nullptr);
    EXPECT_EQ(t->select_pgm, nullptr);
    EXPECT_STREQ(t->reject, ".*_BHZ");
    EXPECT_EQ(selected(t, cs("XX_ANM_BHN")), 1);
    EXPECT_EQ(selected(t, cs("XX_ANM_BHZ")), 0);

    ASSERT_EQ(torvikselect(h.id(), cs("AK_.*")), 0);
    elog_reset_register();
    EXPECT_EQ(torvikreject(h.id(), cs("a[")), -1);
    EXPECT_EQ(elog_register_text(), P() + ": invalid rejection expression 'a['\n");
    EXPECT_EQ(t->reject, nullptr);
    EXPECT_EQ(t->reject_pgm, nullptr);
    EXPECT_STREQ(t->select, "AK_.*");
    EXPECT_EQ(selected(t, cs("AK_ANM_BHZ")), 1);
    EXPECT_EQ(selected(t, cs("XX_ANM_BHZ")), 0);
    elog_reset_register();
}

// A pattern the regex engine would take too long over is refused at once,
// as one that does not compile, with the reason in the log.
TEST(TorvikHandles, CostlyExpressionsAreRefusedAtOnce) {
    ScratchDir dir;
    write_file(dir.file("f"), "");
    Handle h(dir.file("f"), "r");
    Torvikfile *t = h.record();
    for (const std::string &pattern : testsupport::costly_patterns()) {
        for (bool selection : {true, false}) {
            ASSERT_EQ(torvikselect(h.id(), cs("AK_.*")), 0);
            ASSERT_EQ(torvikreject(h.id(), cs(".*_BHZ")), 0);
            elog_reset_register();
            const int rc = selection ? torvikselect(h.id(), cs(pattern.c_str()))
                                     : torvikreject(h.id(), cs(pattern.c_str()));
            EXPECT_EQ(rc, -1) << pattern;
            const std::string kind = selection ? "selection" : "rejection";
            EXPECT_THAT(elog_register_text(),
                        testing::StartsWith(P() + ": invalid " + kind + " expression '" + pattern +
                                            "': pattern too complex ("));
            EXPECT_EQ(selection ? t->select_pgm : t->reject_pgm, nullptr);
        }
    }
    elog_reset_register();
}

// ---- Many threads ----

// Reading threads each follow the directory on a handle of their own
// while other threads open and close handles by the hundred, so that the
// table grows under the readers' lookups: every reader sees every packet.
TEST(TorvikHandles, ReadersAndOpenersShareTheTableSafely) {
    constexpr int kPackets = 1500, kReaders = 8, kOpeners = 2, kOpens = 300;
    ScratchDir dir;
    // Four segment files of packets as a writer puts them.
    for (int first = 0; first < kPackets; first += kPackets / 4) {
        std::string file;
        for (int i = first; i < first + kPackets / 4; i++)
            file += torvik_testing::raw_packet(
                "NN_T" + std::to_string(i % 7) + "_BHZ", 1700000000.0 + i * 0.5,
                std::string(static_cast<std::size_t>(20 + i % 300), static_cast<char>('a' + i % 26)));
        write_file(dir.file(std::to_string(1700000000 + first / 2) + "." + std::to_string(first)),
                   file + torvik_testing::raw_marker(1700000000.0));
    }
    std::vector<int> seen(kReaders, 0), wrong(kReaders, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kReaders; t++)
        threads.emplace_back([&, t] {
            torvik_testing::Reader r(dir.path());
            for (torvik_testing::Got g; (g = r.reap()).result == 0; seen[t]++)
                if (g.pktid != seen[t] || g.body.size() != static_cast<std::size_t>(20 + g.pktid % 300))
                    wrong[t]++;
        });
    std::vector<int> last(kOpeners, 0);
    for (int t = 0; t < kOpeners; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kOpens; i++) {
                int id = torvikopen(cs(dir.path()), cs("r"));
                if (id <= last[t] || torviktell(id) < -1) break;
                last[t] = id;
                torvikclose(id);
            }
        });
    for (std::thread &thread : threads) thread.join();
    for (int t = 0; t < kReaders; t++) {
        EXPECT_EQ(seen[t], kPackets) << "reader " << t;
        EXPECT_EQ(wrong[t], 0) << "reader " << t;
    }
    for (int t = 0; t < kOpeners; t++) EXPECT_GT(last[t], kOpens) << "opener " << t;
}

}  // namespace
