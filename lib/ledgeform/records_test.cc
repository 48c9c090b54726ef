// Appending, reading, writing, deleting, compacting and truncating records.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cmath>

#include "kitbag.h"
#include "ledgeform_testing.h"

namespace {

using ledgeform_testing::cs;
using ledgeform_testing::at;
using ledgeform_testing::count_of;
using ledgeform_testing::DatabaseTest;
using ledgeform_testing::image_of;
using ledgeform_testing::same;
using ledgeform_testing::show;
using ledgeform_testing::text_of;
using testing::HasSubstr;
using testsupport::read_file;

using RecordsTest = DatabaseTest;

constexpr double kTime = 1700000000.5;

void set_old_mtime(const std::string &path) {
    struct timeval times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimes(path.c_str(), times), 0);
}

long mtime_of(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_mtime) : -1;
}

TEST_F(RecordsTest, AppendingCreatesTheTableFileAndNumbersRecordsFromZero) {
    Dbptr db = create();
    Dbptr sample = table(db, "sample");
    EXPECT_FALSE(testsupport::read_file(path("demo.sample")).size());
    EXPECT_EQ(dbaddv(sample, nullptr, "nsamp", 10, "samprate", 40.0, "sta", "AAK", "time", kTime,
                     nullptr),
              0);
    EXPECT_EQ(dbaddv(sample, nullptr, "nsamp", 11, "sta", "BBK", nullptr), 1);
    EXPECT_EQ(read_file(path("demo.sample")),
              "      10  40.0000000 AAK     1700000000.50000\n"
              "      11  -1.0000000 BBK    -9999999999.99900\n");
    EXPECT_EQ(count_of(sample), 2);
    int nsamp = 0;
    double rate = 0, time = 0;
    char sta[7];
    EXPECT_EQ(dbgetv(at(sample, 0), nullptr, "nsamp", &nsamp, "samprate", &rate, "sta", sta,
                     "time", &time, nullptr),
              0);
    EXPECT_EQ(nsamp, 10);
    EXPECT_EQ(rate, 40.0);
    EXPECT_STREQ(sta, "AAK");
    EXPECT_EQ(time, kTime);
}

TEST_F(RecordsTest, NullRecordHoldsTheFormattedNullValues) {
    Dbptr db = create();
    Dbptr sample = table(db, "sample");
    EXPECT_EQ(image_of(at(sample, dbNULL)), "      -1  -1.0000000 -      -9999999999.99900\n");
    EXPECT_EQ(dbaddnull(sample), 0);
    EXPECT_EQ(image_of(at(sample, 0)), image_of(at(sample, dbNULL)));
    // A site record: separators between the fields, the newline last.
    Dbptr site = table(db, "site");
    ASSERT_EQ(dbaddv(site, nullptr, "sta", "AAK", "ondate", 2001001, "lat", 42.5, "lddate", kTime,
                     nullptr),
              0);
    EXPECT_EQ(read_file(path("demo.site")),
              "AAK     2001001       -1   42.5000  1700000000.50000\n");
}

TEST_F(RecordsTest, AFieldWithoutTypeLeavesItsNullBlank) {
    // The schema gives attribute x no type, only a null value.
    std::string schema = path("untyped1.0");
    testsupport::write_file(schema, "Attribute u String ( 3 ) Null ( \"-\" ) ;\n"
                                    "Attribute x Null ( \"xyz\" ) ;\n"
                                    "Attribute n Integer ( 4 ) Format ( \"%4d\" ) Null ( \"-1\" ) ;\n"
                                    "Relation r Fields ( u x n ) ;\n");
    auto child = testsupport::in_child([&] {
        Dbptr r = table(create("demo", "r+", schema.c_str()), "r");
        std::string image = image_of(at(r, dbNULL));
        testsupport::out("[" + image + "] " + log());
    });
    EXPECT_TRUE(child.exited && child.exit_code == 0) << child.err;
    EXPECT_EQ(child.out, "[-      -1\n] " + testsupport::elog_program_name() +
                             ": no null value specified for type -1\n")
        << child.err;
}

TEST_F(RecordsTest, SeparatorWithoutTerminatorKeepsTheLastBinaryFieldWhole) {
    Dbptr db = create();
    Dbptr packed = table(db, "packed");
    int size = dbquery(packed, QUERY_RECORD_SIZE, &size);
    EXPECT_EQ(size, 45);  // sta 6, gain 4, count 2, total 4, weight 8, ref 16, five commas
    Dbptr ref = {7, -501, -501, -505};
    ASSERT_EQ(dbaddv(packed, nullptr, "sta", "AAK", "gain", 2.5, "count", 40000, "total", 123456,
                     "weight", 0.125, "ref", ref, nullptr),
              0);
    ASSERT_EQ(dbaddv(packed, nullptr, "sta", "BBK", "count", 70000, nullptr), 1);
    std::string file = read_file(path("demo.packed"));
    ASSERT_EQ(file.size(), 90u);
    EXPECT_EQ(file.substr(0, 7), "AAK   ,");
    for (int comma : {6, 11, 14, 19, 28, 51, 56, 59, 64, 73}) EXPECT_EQ(file[comma], ',') << comma;
    double gain = 0, weight = 0;
    int count = 0, total = 0;
    Dbptr back = dbinvalid();
    EXPECT_EQ(dbgetv(at(packed, 0), nullptr, "gain", &gain, "count", &count, "total", &total,
                     "weight", &weight, "ref", &back, nullptr),
              0);
    EXPECT_EQ(gain, 2.5);
    EXPECT_EQ(count, -25536);
    EXPECT_EQ(total, 123456);
    EXPECT_EQ(weight, 0.125);
    EXPECT_TRUE(same(back, ref)) << show(back);
    EXPECT_EQ(dbgetv(at(packed, 1), nullptr, "count", &count, "gain", &gain, "total", &total,
                     "ref", &back, nullptr),
              0);
    EXPECT_EQ(count, 4464);
    // Null values of binary fields are stored in binary.
    EXPECT_EQ(gain, 1.0);
    EXPECT_EQ(total, -1);
    EXPECT_TRUE(same(back, dbinvalid())) << show(back);
    // Bshort is low byte first on every host.
    EXPECT_EQ(static_cast<unsigned char>(file[12]), 0x40);
    EXPECT_EQ(static_cast<unsigned char>(file[13]), 0x9c);
}

TEST_F(RecordsTest, TwoFailedConversionsSumToMinus204) {
    Dbptr db = create();
    Dbptr sample = table(db, "sample");
    ASSERT_EQ(dbaddv(sample, nullptr, "sta", "AAK", nullptr), 0);
    Dbptr rate = dblookup(at(sample, 0), nullptr, nullptr, "samprate", nullptr);
    ASSERT_EQ(dbput(rate, "fast"), 0);
    double a = 0, b = 0;
    EXPECT_EQ(dbgetv(at(sample, 0), nullptr, "samprate", &a, "samprate", &b, nullptr), -204);
    EXPECT_EQ(dbgetv(at(sample, 0), nullptr, "nosuch", &a, nullptr), dbINVALID);
    EXPECT_THAT(log(), HasSubstr("no field nosuch in table sample.\n"));
    EXPECT_EQ(dbgetv(at(sample, 0), nullptr, "samprate", nullptr, nullptr), dbINVALID);
    EXPECT_THAT(log(), HasSubstr("field 'samprate' has no matching variable in dbgetv"));
}

TEST_F(RecordsTest, TimesReadFromNumbersDashesBlanksAndTimeTexts) {
    Dbptr db = create();
    Dbptr sample = table(db, "sample");
    ASSERT_EQ(dbaddv(sample, nullptr, "sta", "AAK", nullptr), 0);
    Dbptr time = dblookup(at(sample, 0), nullptr, nullptr, "time", nullptr);
    struct Case {
        const char *text;
        double value;
    } cases[] = {{"-", 0.0}, {"", 0.0}, {"1700000000.25", 1700000000.25},
                 {"11/14/2023 22:13", 1699999980.0}};
    for (const Case &c : cases) {
        ASSERT_EQ(dbput(time, c.text), 0);
        double value = -1;
        EXPECT_EQ(dbgetv(at(sample, 0), nullptr, "time", &value, nullptr), 0) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
}

TEST_F(RecordsTest, StringsAreCutOrPaddedToTheWidth) {
    Dbptr db = create();
    Dbptr sample = table(db, "sample");
    ASSERT_EQ(dbaddv(sample, nullptr, "sta", "ABCDEFGHIJ", nullptr), 0);
    ASSERT_EQ(dbaddv(sample, nullptr, "sta", "AB", nullptr), 1);
    char field[16];
    ASSERT_EQ(dbget(dblookup(at(sample, 0), nullptr, nullptr, "sta", nullptr), field), 0);
    EXPECT_STREQ(field, "ABCDEF");
    ASSERT_EQ(dbget(dblookup(at(sample, 1), nullptr, nullptr, "sta", nullptr), field), 0);
    EXPECT_STREQ(field, "AB    ");
    EXPECT_EQ(text_of(at(sample, 1), "sta"), "AB");
}

TEST_F(RecordsTest, GetAndPutCopyFieldsRecordsAndTables) {
    Dbptr db = create();
    Dbptr sample = table(db, "sample");
    ASSERT_EQ(dbaddv(sample, nullptr, "nsamp", 1, "sta", "AAK", nullptr), 0);
    ASSERT_EQ(dbaddv(sample, nullptr, "nsamp", 2, "sta", "BBK", nullptr), 1);
    std::string all = read_file(path("demo.sample"));
    std::string buffer(all.size() + 1, 'x');
    ASSERT_EQ(dbget(sample, buffer.data()), 0);
    EXPECT_EQ(buffer, all + '\0');
    // A record over another, and a field from the scratch record.
    std::string first = image_of(at(sample, 0));
    ASSERT_EQ(dbput(at(sample, 1), first.c_str()), 0);
    EXPECT_EQ(image_of(at(sample, 1)), first);
    ASSERT_EQ(dbputv(at(sample, dbSCRATCH), nullptr, "sta", "CCK", nullptr), 0);
    Dbptr sta1 = dblookup(at(sample, 1), nullptr, nullptr, "sta", nullptr);
    ASSERT_EQ(dbput(sta1, nullptr), 0);
    EXPECT_EQ(text_of(at(sample, 1), "sta"), "CCK");
    // Without a buffer a record is copied into the scratch record.
    ASSERT_EQ(dbget(at(sample, 0), nullptr), 0);
    EXPECT_EQ(image_of(at(sample, dbSCRATCH)), first);
    int nsamp = 5;
    ASSERT_EQ(dbputx(dblookup(at(sample, 0), nullptr, nullptr, "nsamp", nullptr), &nsamp), 0);
    EXPECT_EQ(text_of(at(sample, 0), "sta"), "AAK");
    int back = 0;
    dbgetv(at(sample, 0), nullptr, "nsamp", &back, nullptr);
    EXPECT_EQ(back, 5);
    char buf[8] = "x";
    EXPECT_EQ(dbget(db, buf), dbINVALID);
    EXPECT_STREQ(buf, "");
}

TEST_F(RecordsTest, ReadOnlyDatabasesRefuseChanges) {
    Dbptr rw = create();
    ASSERT_EQ(dbaddv(table(rw, "sample"), nullptr, "sta", "AAK", nullptr), 0);
    close(rw);
    Dbptr db = open(path("demo"), "r");
    Dbptr sample = table(db, "sample");
    EXPECT_EQ(dbaddv(sample, nullptr, "sta", "BBK", nullptr), dbINVALID);
    EXPECT_THAT(log(), HasSubstr("Table " + path("demo.sample") +
                                 " is opened read-only and cannot be updated\n"));
    clear_log();
    EXPECT_EQ(dbaddnull(table(db, "site")), dbINVALID);
    EXPECT_THAT(log(), HasSubstr("Table site does not exist and database was opened read-only\n"));
    EXPECT_EQ(dbput(at(sample, 0), image_of(at(sample, 0)).c_str()), dbINVALID);
    EXPECT_EQ(dbdelete(at(sample, 0)), dbINVALID);
    EXPECT_THAT(log(), HasSubstr("dbdelete: Table sample (" + path("demo.sample") +
                                 ") is opened read-only and can't be modified.\n"));
    EXPECT_EQ(dbmark(at(sample, 0)), dbINVALID);
    EXPECT_EQ(dbtruncate(sample, 0), dbINVALID);
    EXPECT_THAT(log(), HasSubstr("is opened read-only and cannot be updatedn"));
    // The scratch record may always be written.
    EXPECT_EQ(dbputv(at(sample, dbSCRATCH), nullptr, "sta", "ZZZ", nullptr), 0);
}

TEST_F(RecordsTest, DuplicateChecksFindEqualRecordsAndRefuseConflicts) {
    Dbptr db = create();
    Dbptr site = table(db, "site");
    // An empty table: no search, but a null primary key is refused.
    EXPECT_EQ(dbaddv(site, nullptr, "lat", 1.0, nullptr), dbINVALID);
    EXPECT_THAT(log(), HasSubstr("Can't add record with null primary key to site\n"));
    for (int i = 0; i < 6; i++) {
        std::string sta = "S" + std::to_string(i);
        ASSERT_EQ(dbaddv(site, nullptr, "sta", sta.c_str(), "ondate", 2001001, "offdate", 2001100,
                         "lat", 10.0 + i, nullptr),
                  i);
    }
    // Same key and fields (lddate, the Timedate field, differs): the existing record.
    EXPECT_EQ(dbaddv(site, nullptr, "sta", "S4", "ondate", 2001001, "offdate", 2001100, "lat",
                     14.0, nullptr),
              4);
    // Unset fields hold their null values and match anything.
    EXPECT_EQ(dbaddv(site, nullptr, "sta", "S4", "ondate", 2001001, nullptr), 4);
    clear_log();
    EXPECT_EQ(dbaddv(site, nullptr, "sta", "S4", "ondate", 2001001, "lat", 99.0, nullptr), -107);
    EXPECT_THAT(log(), HasSubstr("Couldn't add a new record to table " + path("demo.site") +
                                 "\n\tThe new record matched the primary key of record #4, "
                                 "but field 'lat' is different.\n"));
    // Outside the range of dates: a new record.
    EXPECT_EQ(dbaddv(site, nullptr, "sta", "S4", "ondate", 2002001, nullptr), 6);
    EXPECT_EQ(count_of(site), 7);
}

TEST_F(RecordsTest, AlternateKeysAreCheckedAndMayNotBeAllNull) {
    Dbptr db = create();
    Dbptr sensor = table(db, "sensor");
    ASSERT_EQ(dbaddv(sensor, nullptr, "sta", "AAK", "chan", "BHZ", "nsamp", 5, nullptr), 0);
    EXPECT_EQ(dbaddv(sensor, nullptr, "sta", "BBK", nullptr), dbINVALID);
    EXPECT_THAT(log(), HasSubstr("Can't add record with null alternate key to sensor\n"));
    clear_log();
    EXPECT_EQ(dbaddv(sensor, nullptr, "sta", "CCK", "chan", "BHZ", "nsamp", 5, nullptr), -103);
    EXPECT_THAT(log(), HasSubstr("matched the alternate key of record #0, but field 'sta' is different.\n"));
}

TEST_F(RecordsTest, RelationsWithoutPrimaryKeyFillNormally) {
    Dbptr db = create();
    Dbptr sample = table(db, "sample");
    for (int i = 0; i < 3; i++) EXPECT_EQ(dbaddv(sample, nullptr, "sta", "AAK", nullptr), i);
    EXPECT_EQ(dbaddchk(sample, image_of(at(sample, 0)).c_str()), 3);
    EXPECT_EQ(count_of(sample), 4);
}

TEST_F(RecordsTest, NullIdsAreAssignedFromTheLastidTable) {
    Dbptr db = create();
    Dbptr event = table(db, "event");
    // No pairs: the null record with a new id.
    EXPECT_EQ(dbaddv(event, nullptr, nullptr), 0);
    int evid = 0;
    dbgetv(at(event, 0), nullptr, "evid", &evid, nullptr);
    EXPECT_EQ(evid, 1);
    EXPECT_EQ(dbaddv(event, nullptr, "sta", "AAK", nullptr), 1);
    dbgetv(at(event, 1), nullptr, "evid", &evid, nullptr);
    EXPECT_EQ(evid, 2);
    // The used id leaves the scratch record.
    dbgetv(at(event, dbSCRATCH), nullptr, "evid", &evid, nullptr);
    EXPECT_EQ(evid, -1);
    Dbptr lastid = table(db, "lastid");
    Dbptr rec = dblookup(lastid, nullptr, nullptr, "keyname", "evid");
    ASSERT_EQ(rec.record, 0);
    int value = 0;
    rec.field = dbALL;
    dbgetv(rec, nullptr, "keyvalue", &value, nullptr);
    EXPECT_EQ(value, 2);
}

TEST_F(RecordsTest, FirstIdFollowsTheLargestInUse) {
    Dbptr db = create();
    Dbptr event = table(db, "event");
    ASSERT_EQ(dbaddv(event, nullptr, "evid", 41, "sta", "AAK", nullptr), 0);
    ASSERT_EQ(dbaddv(event, nullptr, "evid", 7, "sta", "BBK", nullptr), 1);
    EXPECT_EQ(dbaddv(event, nullptr, "sta", "CCK", nullptr), 2);
    int evid = 0, value = 0;
    dbgetv(at(event, 2), nullptr, "evid", &evid, nullptr);
    EXPECT_EQ(evid, 42);
    Dbptr rec = dblookup(table(db, "lastid"), nullptr, nullptr, "keyname", "evid");
    rec.field = dbALL;
    dbgetv(rec, nullptr, "keyvalue", &value, nullptr);
    EXPECT_EQ(value, 42);
}

TEST_F(RecordsTest, DeletingRenumbersTheLaterRecords) {
    Dbptr db = create();
    Dbptr sample = table(db, "sample");
    for (int i = 0; i < 3; i++) ASSERT_EQ(dbaddv(sample, nullptr, "nsamp", i, nullptr), i);
    ASSERT_EQ(dbdelete(at(sample, 0)), 0);
    EXPECT_EQ(count_of(sample), 2);
    int n = -1;
    dbgetv(at(sample, 0), nullptr, "nsamp", &n, nullptr);
    EXPECT_EQ(n, 1);
    dbgetv(at(sample, 1), nullptr, "nsamp", &n, nullptr);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(read_file(path("demo.sample")).size(), 2u * 46u);
    // The table stays mapped and appendable.
    EXPECT_EQ(dbaddv(sample, nullptr, "nsamp", 9, nullptr), 2);
}

TEST_F(RecordsTest, MarkedRecordsAreRemovedByCrunch) {
    Dbptr db = create();
    Dbptr sample = table(db, "sample");
    for (int i = 0; i < 5; i++) ASSERT_EQ(dbaddv(sample, nullptr, "nsamp", i, nullptr), i);
    EXPECT_EQ(dbcrunch(sample), 0);
    EXPECT_EQ(count_of(sample), 5);
    ASSERT_EQ(dbmark(at(sample, 1)), 0);
    ASSERT_EQ(dbmark(at(sample, 3)), 0);
    EXPECT_EQ(image_of(at(sample, 1)), image_of(at(sample, dbNULL)));
    EXPECT_EQ(dbcrunch(sample), 0);
    ASSERT_EQ(count_of(sample), 3);
    const int want[] = {0, 2, 4};
    for (int i = 0; i < 3; i++) {
        int n = -1;
        dbgetv(at(sample, i), nullptr, "nsamp", &n, nullptr);
        EXPECT_EQ(n, want[i]);
    }
    EXPECT_EQ(read_file(path("demo.sample")).size(), 3u * 46u);
}

TEST_F(RecordsTest, TruncateKeepsTheFirstRecords) {
    Dbptr db = create();
    Dbptr sample = table(db, "sample");
    for (int i = 0; i < 4; i++) ASSERT_EQ(dbaddv(sample, nullptr, "nsamp", i, nullptr), i);
    EXPECT_EQ(dbtruncate(sample, 10), 0);
    EXPECT_EQ(count_of(sample), 4);
    EXPECT_EQ(dbtruncate(sample, 2), 0);
    EXPECT_EQ(count_of(sample), 2);
    EXPECT_EQ(read_file(path("demo.sample")).size(), 2u * 46u);
    int n = -1;
    EXPECT_EQ(dbgetv(at(sample, 1), nullptr, "nsamp", &n, nullptr), 0);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(dbtruncate(sample, -1), dbINVALID);
    EXPECT_EQ(dbtruncate(at(sample, 0), 1), 0);  // the record member is ignored
    EXPECT_EQ(dbtruncate(db, 1), dbINVALID);
    EXPECT_THAT(log(), HasSubstr("dbtruncate requires db pointer to table\n"));
}

TEST_F(RecordsTest, InMemoryTablesGrowAndShrink) {
    Dbptr db = create();
    Dbptr memo = table(db, "memo");
    for (int i = 0; i < 120; i++) ASSERT_EQ(dbaddv(memo, nullptr, "nsamp", i, nullptr), i);
    EXPECT_EQ(count_of(memo), 120);
    ASSERT_EQ(dbdelete(at(memo, 0)), 0);
    int n = -1;
    dbgetv(at(memo, 118), nullptr, "nsamp", &n, nullptr);
    EXPECT_EQ(n, 119);
    ASSERT_EQ(dbtruncate(memo, 10), 0);
    EXPECT_EQ(count_of(memo), 10);
    ASSERT_EQ(dbmark(at(memo, 4)), 0);
    ASSERT_EQ(dbcrunch(memo), 0);
    EXPECT_EQ(count_of(memo), 9);
    EXPECT_FALSE(testsupport::read_file(path("demo.memo")).size());
}

TEST_F(RecordsTest, LongRecordsAreAppendedWhole) {
    Dbptr db = create();
    Dbptr note = table(db, "note");
    std::string remark(4990, 'r');
    ASSERT_EQ(dbaddv(note, nullptr, "sta", "AAK", "remark", remark.c_str(), nullptr), 0);
    std::string file = read_file(path("demo.note"));
    ASSERT_EQ(file.size(), 5008u);
    EXPECT_EQ(file.substr(7, 4990), remark);
    EXPECT_EQ(file.back(), '\n');
    std::string back(5001, '\0');
    dbgetv(at(note, 0), nullptr, "remark", back.data(), nullptr);
    EXPECT_STREQ(back.c_str(), remark.c_str());
}

TEST_F(RecordsTest, TimedateFieldsAreStampedAndTheTableTouched) {
    Dbptr db = create();
    Dbptr site = table(db, "site");
    ASSERT_EQ(dbaddv(site, nullptr, "sta", "AAK", "ondate", 2001001, "lddate", 5.0, nullptr), 0);
    double lddate = 0;
    dbgetv(at(site, 0), nullptr, "lddate", &lddate, nullptr);
    EXPECT_EQ(lddate, 5.0);  // a Timedate value given in the call wins
    set_old_mtime(path("demo.site"));
    ASSERT_EQ(dbputv(at(site, dbSCRATCH), nullptr, "lat", 1.0, nullptr), 0);
    EXPECT_EQ(mtime_of(path("demo.site")), 1000000000);
    double before = std_now();
    ASSERT_EQ(dbputv(at(site, 0), nullptr, "lat", 1.0, nullptr), 0);
    EXPECT_GT(mtime_of(path("demo.site")), 1000000000);
    dbgetv(at(site, 0), nullptr, "lddate", &lddate, nullptr);
    EXPECT_GE(lddate, std::floor(before));
}

TEST_F(RecordsTest, ViewsOfTheSchemaReachTheirBaseTables) {
    Dbptr db = create();
    Dbptr site = table(db, "site");
    Dbptr wfdisc = table(db, "wfdisc");
    Dbptr view = table(db, "sitedata");
    ASSERT_EQ(dbaddv(site, nullptr, "sta", "AAK", "ondate", 2001001, nullptr), 0);
    ASSERT_EQ(dbaddv(wfdisc, nullptr, "sta", "AAK", "chan", "BHZ", "time", kTime, "endtime",
                     kTime + 10, nullptr),
              0);
    int size = dbquery(view, QUERY_RECORD_SIZE, &size);
    EXPECT_EQ(size, 33);  // two slots and a terminator of its own
    // Fields of the scratch record of the view are those of the base tables'.
    ASSERT_EQ(dbputv(at(view, dbSCRATCH), nullptr, "chan", "LHZ", nullptr), 0);
    EXPECT_EQ(text_of(at(wfdisc, dbSCRATCH), "chan"), "LHZ");
    // A record of slots: the terminator leaves the last record number whole.
    Dbptr s0 = at(site, 0), w0 = at(wfdisc, 0);
    ASSERT_EQ(dbputv(at(view, dbSCRATCH), nullptr, "site", s0, "wfdisc", w0, nullptr), 0);
    ASSERT_EQ(dbadd(view, nullptr), 0);
    EXPECT_EQ(text_of(at(view, 0), "chan"), "BHZ");
    EXPECT_EQ(text_of(at(view, 0), "site.sta"), "AAK");
    Dbptr slot = dbinvalid();
    ASSERT_EQ(dbgetv(at(view, 0), nullptr, "wfdisc", &slot, nullptr), 0);
    EXPECT_TRUE(same(slot, w0)) << show(slot);
    EXPECT_EQ(read_file(path("demo.sitedata")).back(), '\n');
    // A view in memory has no terminator: 16 bytes per slot.
    Dbptr mem = table(db, "sitemem");
    size = dbquery(mem, QUERY_RECORD_SIZE, &size);
    EXPECT_EQ(size, 32);
    EXPECT_EQ(dbaddv(view, nullptr, nullptr), dbINVALID);
    EXPECT_THAT(log(), HasSubstr("dbaddv may only be used with base tables, not views.\n"));
    EXPECT_EQ(dbaddchk(view, nullptr), dbINVALID);
    EXPECT_THAT(log(), HasSubstr("dbaddchk may only be used with primary tables, not views\n"));
    // The null record of a view reaches the base tables' null records.
    EXPECT_EQ(text_of(at(view, dbNULL), "chan"), "-");
}

TEST_F(RecordsTest, DestroyRemovesTablesLockFilesAndTheDescriptor) {
    setenv("DBLOCKS", "nfs", 1);
    setenv("DBIDSERVER", "", 1);
    Dbptr db = create();
    ASSERT_EQ(dbaddv(table(db, "sample"), nullptr, "sta", "AAK", nullptr), 0);
    ASSERT_EQ(dbaddv(table(db, "memo"), nullptr, "sta", "AAK", nullptr), 0);
    EXPECT_TRUE(is_file(path(".%demo.sample").c_str()));
    EXPECT_EQ(dbdestroy(db), 0) << log();
    close(db);
    EXPECT_FALSE(is_present(path("demo.sample").c_str()));
    EXPECT_FALSE(is_present(path(".%demo.sample").c_str()));
    EXPECT_FALSE(is_present(path("demo").c_str()));
    // A read-only database is not destroyed.
    unsetenv("DBLOCKS");
    Dbptr ro = create("other", "r");
    EXPECT_EQ(dbdestroy(ro), dbINVALID);
    EXPECT_THAT(log(), HasSubstr("Can't destroy a database opened read-only.\n"));
    EXPECT_TRUE(is_file(path("other").c_str()));
}

}  // namespace
