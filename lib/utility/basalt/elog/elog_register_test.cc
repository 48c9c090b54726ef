// The error log's register, messages and entry points. The log is
// process-wide, so every test runs its body in a forked child and checks
// what the child printed and how it ended.
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "basalt.h"
#include "child.h"
#include "elog_capture.h"

using testsupport::ChildResult;
using testsupport::in_child;
using testsupport::out;
using testsupport::as_int;
using testsupport::as_value;
using testsupport::elog_clear_environment;
using testsupport::elog_program_name;
using testsupport::elog_register_count;
using testsupport::elog_register_text;
using testsupport::run_in_child;

namespace {

const std::string P = elog_program_name();

// Where memory taken on purpose goes, so that the allocations stay.
void *volatile taken;

// The register copied through ELOG_TBLCP, freed afterwards.
struct Entry {
    std::string tag;
    bool has_tag;
    std::string msg;
    std::string sys;
    bool has_sys;
    int severity;
    int n;
};

std::vector<Entry> register_entries() {
    void *value = nullptr;
    EXPECT_EQ(elog_query(ELOG_TBLCP, 0, &value), 0);
    Tbl *copy = static_cast<Tbl *>(value);
    std::vector<Entry> entries;
    for (int i = 0; i < maxtbl(copy); i++) {
        auto *m = static_cast<Elog_msg *>(gettbl(copy, i));
        entries.push_back({m->tag ? m->tag : "", m->tag != nullptr, m->msg ? m->msg : "",
                           m->sys ? m->sys : "", m->sys != nullptr, m->severity, m->n});
        elog_free_msg(m);
        std::free(m);
    }
    freetbl(copy, nullptr);
    return entries;
}

}  // namespace

TEST(ElogMessages, LogWaitsUntilTheNextDeliveredMessage) {
    ChildResult r = in_child([] {
        elog_log(0, "first %d", 1);
        register_error(0, "second");
        out("count " + std::to_string(elog_register_count()) + "\n");
        elog_complain(0, "third\n");
        out("count " + std::to_string(elog_register_count()) + "\n");
    });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "count 2\ncount 0\n");
    EXPECT_EQ(r.err, P + ": first 1\n" + P + ": second\n" + P + ": third\n");
}

TEST(ElogMessages, EachSeverityUsesItsDefaultTag) {
    struct Case {
        void (*log)(int, const char *, ...);
        std::string expected;
    };
    const std::vector<Case> cases = {
        {elog_notify, P + ": m\n"},       {elog_complain, P + ": m\n"},
        {complain, P + ": m\n"},          {elog_debug, P + " *debug*: m\n"},
        {elog_alert, P + " *alert*: m\n"},
    };
    for (const Case &c : cases) {
        ChildResult r = in_child([&] { c.log(0, "m"); });
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.err, c.expected);
    }
}

TEST(ElogMessages, IdenticalMessagesFoldIntoOneEntry) {
    ChildResult r = in_child([] {
        elog_log(0, "same");
        elog_log(0, "same\n");
        out(std::to_string(elog_register_count()) + "|" + elog_register_text());
        elog_complain(0, "other");
    });
    EXPECT_EQ(r.out, "1|" + P + ": same\n\t** repeated 2 times\n");
    EXPECT_EQ(r.err, P + ": same\n\t** repeated 2 times\n" + P + ": other\n");
}

TEST(ElogMessages, FoldingComparesTheTextAloneAndKeepsTheFirstSeverity) {
    ChildResult r = in_child([] {
        elog_set(ELOG_TAG, 0, const_cast<char *>("LOG"));
        elog_set(ELOG_TAG, 2, const_cast<char *>("CMP"));
        elog_log(0, "x");
        errno = ENOENT;
        elog_complain(1, "x");
    });
    EXPECT_EQ(r.err, "LOG: x\n\t** repeated 2 times\n");
}

TEST(ElogMessages, LeadingNewlineMovesToTheTagAndNeverFolds) {
    ChildResult r = in_child([] {
        elog_log(0, "\nhello");
        elog_log(0, "\nhello");
        std::vector<Entry> e = register_entries();
        out(std::to_string(e.size()) + "|" + e[0].tag + "|" + e[0].msg);
        elog_complain(0, "done");
    });
    EXPECT_EQ(r.out, "2|\n" + P + "|hello\n");
    EXPECT_EQ(r.err, "\n" + P + ": hello\n\n" + P + ": hello\n" + P + ": done\n");
}

// The format here is the empty string or null on purpose; clang's
// -Wformat-security would flag it as a format that is not a literal.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
TEST(ElogMessages, EmptyOrNullFormatIsAnEmptyLineWithoutTag) {
    const char *empty = "";
    const char *none = nullptr;
    for (const char *format : {empty, none}) {
        ChildResult r = in_child([&] {
            elog_log(0, format);
            std::vector<Entry> e = register_entries();
            out(std::string(e[0].has_tag ? "tag" : "no tag") + "|" + e[0].msg);
            elog_complain(0, format);
        });
        EXPECT_EQ(r.out, "no tag|\n");
        // The second empty message folds into the first.
        EXPECT_EQ(r.err, "\n\t** repeated 2 times\n");
    }
}
#pragma GCC diagnostic pop

TEST(ElogMessages, LongTextsAreCutAsDocumented) {
    const std::string notice = "\n\t...  ** truncated by elog ***\n";
    struct Case {
        std::size_t length;
        std::string stored;
    };
    const std::vector<Case> cases = {
        {20000, std::string(10207, 'a') + notice},
        {10241, std::string(10207, 'a') + notice},
        {10240, std::string(10237, 'a') + "\n"},
        {10239, std::string(10237, 'a') + "\n"},
        {10237, std::string(10237, 'a') + "\n"},
        {100, std::string(100, 'a') + "\n"},
    };
    for (const Case &c : cases) {
        ChildResult r = in_child([&] {
            std::string text(c.length, 'a');
            elog_log(0, "%s", text.c_str());
            out(register_entries()[0].msg);
        });
        EXPECT_EQ(r.out.size(), c.stored.size()) << c.length;
        EXPECT_EQ(r.out, c.stored) << c.length;
    }
}

TEST(ElogMessages, SystemErrorTextFollowsWhenAskedAndErrnoIsSet) {
    struct Case {
        int flag;
        int err;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {1, ENOENT, P + ": open\n\tNo such file or directory\n"},
        {1, 0, P + ": open\n"},
        {0, ENOENT, P + ": open\n"},
        {1, 9999, P + ": open\n\tUnknown error: 9999\n"},
    };
    for (const Case &c : cases) {
        ChildResult r = in_child([&] {
            errno = c.err;
            elog_complain(c.flag, "open");
            out("errno " + std::to_string(errno) + "\n");
        });
        EXPECT_EQ(r.err, c.expected);
        EXPECT_EQ(r.out, "errno 0\n");
    }
}

TEST(ElogMessages, ErrnoIsZeroAfterEveryLoggingCall) {
    ChildResult r = in_child([] {
        errno = EINVAL;
        elog_log(0, "a");
        out(std::to_string(errno));
        errno = EINVAL;
        elog_notify(0, "b");
        out(std::to_string(errno));
        errno = EINVAL;
        elog_clear();
        out(std::to_string(errno));
    });
    EXPECT_EQ(r.out, "000");
}

TEST(ElogMessages, DieDeliversAndExitsWithStatusOne) {
    for (auto fn : {elog_die, die}) {
        ChildResult r = in_child([&] {
            elog_log(0, "waiting");
            fn(0, "bye %s", "now");
        });
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, P + ": waiting\n" + P + " *fatal*: bye now\n");
    }
}

TEST(ElogMessages, FaultDeliversAndAborts) {
    ChildResult r = in_child([] { elog_fault(0, "broken"); });
    EXPECT_FALSE(r.exited);
    EXPECT_EQ(r.signal, SIGABRT);
    EXPECT_EQ(testsupport::without_emulator_notice(r.err), P + " *fault*: broken\n");
}

TEST(ElogLimit, FiftyWaitingMessagesEndTheProcess) {
    ChildResult r = in_child([] {
        for (int i = 1; i <= 60; i++) elog_log(0, "message %d", i);
        out("survived\n");
    });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    std::string expected;
    for (int i = 1; i <= 50; i++) expected += P + ": message " + std::to_string(i) + "\n";
    expected += P + " *fatal*: quitting because log has 50 messages\n"
                    "   eliminate this limit with\n"
                    "      setenv ELOG_MAXMSG 0\n"
                    "   or by editing elog.pf.  See elog(3).\n";
    EXPECT_EQ(r.err, expected);
}

TEST(ElogLimit, FoldedMessagesCountOnce) {
    ChildResult r = in_child([] {
        for (int i = 0; i < 100; i++) elog_log(0, "again");
        out(std::to_string(elog_register_count()));
    });
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "1");
}

TEST(ElogLimit, ZeroMeansNoLimitAndTheLimitCanBeSet) {
    ChildResult r = in_child([] {
        setenv("ELOG_MAXMSG", "0", 1);
        for (int i = 0; i < 120; i++) elog_log(0, "m%d", i);
        out(std::to_string(elog_register_count()) + "\n");
        elog_clear();
        elog_set(ELOG_MAXMSG, 0, as_value(3));
        elog_log(0, "a");
        elog_log(0, "b");
        out("two\n");
        elog_log(0, "c");
        out("three\n");
    });
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "120\ntwo\n");
    EXPECT_EQ(r.err.rfind(P + ": a\n" + P + ": b\n" + P + ": c\n" + P +
                              " *fatal*: quitting because log has 3 messages\n",
                          0),
              0u);
}

TEST(ElogRegister, BeforeInitialisationTheRegisterIsLeftAlone) {
    ChildResult r = in_child([] {
        char *s = elog_string(0);
        out(std::string("[") + s + "]");
        std::free(s);
        elog_clear();
        elog_truncate(0);
        elog_print(stdout, 0);
        elog_printfd(1, 0);
        elog_flush(1, 0);
        elog_clear_register(1);
        out("ok");
    });
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "[]ok");
    EXPECT_EQ(r.err, "");
}

TEST(ElogRegister, MarkAndQuietFlushRestoreTheRegister) {
    ChildResult r = in_child([] {
        elog_log(0, "kept");
        int mark = elog_mark();
        elog_log(0, "tried 1");
        elog_log(0, "tried 2");
        elog_flush(0, mark);
        out(std::to_string(mark) + "|" + elog_register_text());
    });
    EXPECT_EQ(r.out, "1|" + P + ": kept\n");
    EXPECT_EQ(r.err, "");
}

TEST(ElogRegister, FlushWithDeliveryPrintsAtTheComplainSetting) {
    ChildResult r = in_child([] {
        elog_set(ELOG_DELIVER, 2, const_cast<char *>("stdout"));
        elog_log(0, "kept");
        int mark = elog_mark();
        elog_log(0, "flushed");
        elog_flush(1, mark);
        std::fflush(stdout);
        out("|" + elog_register_text());
    });
    EXPECT_EQ(r.out, P + ": flushed\n|" + P + ": kept\n");
    EXPECT_EQ(r.err, "");
}

TEST(ElogRegister, FlushDropsEvenWhenTheComplainSettingKeepsThem) {
    ChildResult r = in_child([] {
        elog_set(ELOG_DELIVER, 2, const_cast<char *>("log"));
        elog_log(0, "a");
        elog_flush(1, 0);
        out(std::to_string(elog_register_count()));
    });
    EXPECT_EQ(r.out, "0");
    EXPECT_EQ(r.err, "");
}

TEST(ElogRegister, ClearRegisterDeliversOrDrops) {
    ChildResult r = in_child([] {
        elog_log(0, "one");
        elog_log(0, "two");
        elog_clear_register(1);
        out(std::to_string(elog_register_count()));
        elog_log(0, "three");
        elog_clear_register(0);
        out(std::to_string(elog_register_count()));
    });
    EXPECT_EQ(r.out, "00");
    EXPECT_EQ(r.err, P + ": one\n" + P + ": two\n");
}

TEST(ElogRegister, TruncateAndStringFromAnIndex) {
    ChildResult r = in_child([] {
        for (const char *m : {"a", "b", "c", "d"}) elog_log(0, "%s", m);
        char *s = elog_string(2);
        out(std::string(s) + "|");
        std::free(s);
        s = elog_string(9);
        out(std::string(s) + "|");
        std::free(s);
        elog_truncate(1);
        out(elog_register_text());
    });
    EXPECT_EQ(r.out, P + ": c\n" + P + ": d\n||" + P + ": a\n");
}

TEST(ElogRegister, StringLayoutShowsSystemTextAndRepeats) {
    ChildResult r = in_child([] {
        errno = EACCES;
        elog_log(1, "denied");
        elog_log(0, "denied");
        elog_set(ELOG_TAG, 0, const_cast<char *>(""));
        elog_log(0, "untagged");
        out(elog_register_text());
    });
    EXPECT_EQ(r.out, P + ": denied\n\tPermission denied\n\t** repeated 2 times\nuntagged\n");
}

TEST(ElogRegister, PrintWritesToAStreamAndIgnoresNull) {
    ChildResult r = in_child([] {
        elog_log(0, "a");
        elog_log(0, "b");
        elog_print(nullptr, 0);
        elog_print(stdout, 1);
        elog_printfd(-1, 0);
        out(std::to_string(elog_register_count()));
    });
    EXPECT_EQ(r.out, P + ": b\n2");
}

TEST(ElogQuery, CodesAnswerAsDocumented) {
    ChildResult r = in_child([] {
        std::ostringstream s;
        void *v = nullptr;
        s << elog_query(ELOG_VERSION, 0, &v) << " " << static_cast<char *>(v) << "\n";
        s << elog_query(ELOG_MAXMSG, 0, &v) << " " << as_int(v) << "\n";
        s << elog_query(ELOG_SIGNALS, 0, &v) << " " << static_cast<char *>(v) << "\n";
        s << elog_query(ELOG_TAG, 7, &v) << " " << elog_set(ELOG_TAG, -1, nullptr) << "\n";
        s << elog_query(ELOG_DEBUG, -1, &v) << " " << elog_set(ELOG_DELIVER, 7, nullptr)
          << "\n";
        s << elog_query(static_cast<Elog_code>(14), 0, &v) << " "
          << elog_set(static_cast<Elog_code>(99), 0, nullptr) << "\n";
        for (Elog_code c : {ELOG_TBLCP, ELOG_TBLCPCL, ELOG_VERSION, ELOG_STRING})
            s << elog_set(c, 0, nullptr) << " ";
        s << "\n";
        elog_log(0, "a");
        elog_log(0, "b");
        elog_query(ELOG_TBL, 0, &v);
        s << maxtbl(static_cast<Tbl *>(v)) << " ";
        elog_query(ELOG_COUNT, 0, &v);
        s << as_int(v) << " ";
        elog_query(ELOG_STRING, 1, &v);
        s << static_cast<char *>(v);
        std::free(v);
        elog_set(ELOG_COUNT, 0, as_value(1));
        s << elog_register_count() << "\n";
        out(s.str());
    });
    EXPECT_EQ(r.out, "0 $Revision: 1.84 $\n"
                     "0 50\n"
                     "0 ILL:TRAP:FPE:BUS:SEGV:SYS\n"
                     "-1 -1\n"
                     "-1 -1\n"
                     "-1 -1\n"
                     "-1 -1 -1 -1 \n"
                     "2 2 " + P + ": b\n1\n");
}

TEST(ElogQuery, SettingsAreTheCallersStrings) {
    ChildResult r = in_child([] {
        static char tag[] = "T1";
        elog_set(ELOG_TAG, 2, tag);
        void *v = nullptr;
        elog_query(ELOG_TAG, 2, &v);
        out(v == tag ? "same\n" : "copy\n");
        tag[1] = '2';  // the log sees the change
        elog_complain(0, "m");
        for (Elog_code c : {ELOG_TAG, ELOG_DELIVER, ELOG_DEBUG}) {
            elog_query(c, 3, &v);
            out(std::string(v ? static_cast<char *>(v) : "(unset)") + "\n");
        }
    });
    EXPECT_EQ(r.out, "same\n%P *fatal*\nstderr\n(unset)\n");
    EXPECT_EQ(r.err, "T2: m\n");
}

TEST(ElogQuery, CopiesAreIndependentAndCopyClearEmptiesTheRegister) {
    ChildResult r = in_child([] {
        errno = ENOENT;
        elog_log(1, "a");
        elog_log(0, "b");
        elog_log(0, "b");
        std::vector<Entry> e = register_entries();
        std::ostringstream s;
        for (const Entry &x : e)
            s << x.tag << "|" << x.msg << "|" << (x.has_sys ? x.sys : "-") << "|" << x.severity
              << "|" << x.n << "\n";
        s << elog_register_count() << "\n";
        void *v = nullptr;
        elog_query(ELOG_TBLCPCL, 0, &v);
        Tbl *copy = static_cast<Tbl *>(v);
        s << maxtbl(copy) << " " << elog_register_count() << "\n";
        for (int i = 0; i < maxtbl(copy); i++) {
            elog_free_msg(gettbl(copy, i));
            std::free(gettbl(copy, i));
        }
        freetbl(copy, nullptr);
        out(s.str());
    });
    EXPECT_EQ(r.out, P + "|a\n|No such file or directory|0|1\n" + P + "|b\n|-|0|2\n2\n2 0\n");
}

TEST(ElogQuery, ArgumentsAreCopiedAndCanBeReplaced) {
    ChildResult r = in_child([] {
        char a0[] = "prog", a1[] = "-x", a2[] = "y";
        char *argv[] = {a0, a1, a2, nullptr};
        elog_init(3, argv);
        void *v = nullptr;
        elog_query(ELOG_ARGC, 0, &v);
        std::ostringstream s;
        s << as_int(v) << ":";
        elog_query(ELOG_ARGV, 0, &v);
        char **copy = static_cast<char **>(v);
        for (int i = 0; copy[i]; i++) s << copy[i] << (copy[i] == argv[i] ? "(same)" : "") << ",";
        static char b0[] = "other";
        static char *mine[] = {b0, nullptr};
        elog_set(ELOG_ARGV, 0, mine);
        elog_set(ELOG_ARGC, 0, as_value(1));
        elog_query(ELOG_ARGV, 0, &v);
        s << (v == mine ? " set" : " not set");
        elog_query(ELOG_ARGC, 0, &v);
        s << as_int(v);
        out(s.str());
    });
    EXPECT_EQ(r.out, "3:prog,-x,y, set1");
}

TEST(ElogCallback, SeesEveryMessageAndCanEmptyTheRegister) {
    ChildResult r = in_child([] {
        static std::string seen;
        static int result = 0;
        auto cb = +[](int severity, char *text, Tbl *tbl) -> int {
            seen += std::to_string(severity) + "[" + text + "]" + std::to_string(maxtbl(tbl)) +
                    "\n";
            return result;
        };
        elog_set(ELOG_CALLBACK, 0, reinterpret_cast<void *>(cb));
        void *v = nullptr;
        elog_query(ELOG_CALLBACK, 0, &v);
        seen += v == reinterpret_cast<void *>(cb) ? "stored\n" : "lost\n";
        elog_log(0, "one");
        result = 1;
        elog_notify(0, "two");  // the callback empties the register: nothing printed
        result = 0;
        elog_log(0, "three");
        elog_flush(1, 0);       // severity 1, the waiting message
        elog_flush(1, 0);       // nothing waiting: no call
        elog_log(0, "four");
        elog_clear_register(1);
        out(seen);
    });
    EXPECT_EQ(r.out, "stored\n"
                     "0[" + P + ": one\n]1\n"
                     "1[" + P + ": one\n" + P + ": two\n]2\n"
                     "0[" + P + ": three\n]1\n"
                     "1[" + P + ": three\n]1\n"
                     "0[" + P + ": four\n]1\n"
                     "1[" + P + ": four\n]1\n");
    EXPECT_EQ(r.err, P + ": three\n" + P + ": four\n");
}

TEST(ElogCallback, AMessageLoggedInsideTheCallbackGoesToStandardError) {
    // The callback runs under the register lock: a message it logs must not
    // wait on that lock, nor enter the register.
    ChildResult r = in_child([] {
        auto cb = +[](int, char *, Tbl *) -> int {
            elog_notify(0, "inside");
            return 0;
        };
        elog_set(ELOG_CALLBACK, 0, reinterpret_cast<void *>(cb));
        elog_log(0, "outside");
        out(elog_register_text());
    });
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, P + ": inside\n");
    EXPECT_EQ(r.out, P + ": outside\n");
}

TEST(ElogCallback, ADeathInsideTheCallbackDoesNotWaitOnTheRegister) {
    // Stands for an out-of-memory death while the register lock is held.
    ChildResult r = in_child([] {
        auto cb = +[](int, char *, Tbl *) -> int { elog_die(0, "dying inside"); };
        elog_set(ELOG_CALLBACK, 0, reinterpret_cast<void *>(cb));
        elog_log(0, "outside");
    });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, P + " *fatal*: dying inside\n");
}

TEST(ElogMemory, RunningOutOfMemoryWhileTheLogStartsKeepsTheMessage) {
    if (testsupport::under_address_sanitizer()) GTEST_SKIP() << "exhausts memory on purpose";
    ChildResult r = in_child([] {
        testsupport::leave_little_memory(16u << 20);
        for (std::size_t size = 1u << 20; size >= 8;) {
            void *p = std::malloc(size);
            if (p == nullptr) size /= 2;
            taken = p;
        }
        // The log initialises itself now, and cannot.
        elog_complain(0, "outer %d", 7);
    });
    if (testsupport::memory_not_limited(r)) GTEST_SKIP() << "address space limit not honoured here";
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err.rfind("outer 7\nOut of memory at line ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("\tCan't malloc "), std::string::npos) << r.err;
}

TEST(ElogThreads, ConcurrentMessagesAreNeitherLostNorDuplicated) {
    constexpr int kThreads = 8;
    constexpr int kPerThread = 300;
    ChildResult r = in_child([] {
        setenv("ELOG_MAXMSG", "0", 1);
        elog_init(0, nullptr);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; t++) {
            threads.emplace_back([t] {
                for (int i = 0; i < kPerThread; i++) {
                    if (i % 3 == 2) {
                        elog_notify(0, "t%d-m%d", t, i);
                    } else {
                        elog_log(0, "t%d-m%d", t, i);
                    }
                    if (i % 50 == 49) elog_flush(1, 0);
                }
            });
        }
        for (std::thread &th : threads) th.join();
        // What never got delivered is still in the register.
        out(elog_register_text());
    });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    std::multiset<std::string> lines;
    std::istringstream delivered(r.err + r.out);
    for (std::string line; std::getline(delivered, line);) lines.insert(line);
    EXPECT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kPerThread));
    for (int t = 0; t < kThreads; t++) {
        for (int i = 0; i < kPerThread; i++) {
            std::string line = P + ": t" + std::to_string(t) + "-m" + std::to_string(i);
            EXPECT_EQ(lines.count(line), 1u) << line;
        }
    }
}
