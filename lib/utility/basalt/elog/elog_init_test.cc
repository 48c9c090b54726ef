// Initialisation of the error log: arguments, program name, built-in
// settings and the environment variables. Every test runs in a forked child.
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
using testsupport::run_in_child;

namespace {

const std::string P = elog_program_name();

// The seven settings of one kind, "(unset)" for an unset one, joined by "|".
std::string settings(Elog_code code) {
    std::string s;
    for (int severity = 0; severity < 7; severity++) {
        void *v = nullptr;
        elog_query(code, severity, &v);
        s += v ? static_cast<char *>(v) : "(unset)";
        if (severity < 6) s += "|";
    }
    return s;
}

// Whether the fault handler is installed, one-shot, for a signal.
bool fault_handler_installed(int sig) {
    struct sigaction action;
    sigaction(sig, nullptr, &action);
    return (action.sa_flags & SA_SIGINFO) && (action.sa_flags & SA_RESETHAND) &&
           action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN;
}

std::string fault_handlers() {
    std::string s;
    for (int sig : {SIGILL, SIGTRAP, SIGFPE, SIGBUS, SIGSEGV, SIGSYS, SIGUSR1, SIGUSR2})
        s += fault_handler_installed(sig) ? "1" : "0";
    return s;
}

}  // namespace

TEST(ElogInit, BuiltInSettingsWithoutFileOrEnvironment) {
    ChildResult r = in_child([] {
        std::ostringstream s;
        s << elog_init(0, nullptr) << "\n";
        s << settings(ELOG_TAG) << "\n" << settings(ELOG_DELIVER) << "\n"
          << settings(ELOG_DEBUG) << "\n";
        void *v = nullptr;
        elog_query(ELOG_MAXMSG, 0, &v);
        s << as_int(v) << "\n";
        elog_query(ELOG_SIGNALS, 0, &v);
        s << static_cast<char *>(v) << "\n" << fault_handlers() << "\n";
        elog_query(ELOG_ARGC, 0, &v);
        s << as_int(v) << "\n";
        out(s.str());
    });
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "0\n"
                     "%P|%P|%P|%P *fatal*|%P *fault*|%P *debug*|%P *alert*\n"
                     "|stderr|stderr|stderr|stderr|stderr|stderr\n"
                     "(unset)|(unset)|(unset)|(unset)|(unset)|(unset)|(unset)\n"
                     "50\n"
                     "ILL:TRAP:FPE:BUS:SEGV:SYS\n"
                     "11111100\n"
                     "0\n");
}

TEST(ElogInit, ProgramNameIsTheExecutablesLastComponent) {
    ChildResult r = in_child([] {
        out(std::string("[") + Program_Name + "]");
        char a0[] = "/some/where/else";
        char *argv[] = {a0, nullptr};
        elog_init(1, argv);
        out(std::string("[") + Program_Name + "]");
    });
    EXPECT_EQ(r.out, "[][" + P + "]");
}

TEST(ElogInit, ErrnoIsLeftAsItWas) {
    ChildResult r = in_child([] {
        errno = EDOM;
        elog_init(0, nullptr);
        out(std::to_string(errno == EDOM));
        errno = ERANGE;
        elog_init(0, nullptr);
        out(std::to_string(errno == ERANGE));
    });
    EXPECT_EQ(r.out, "11");
}

TEST(ElogInit, ArgumentCopyStopsAtANullEntryAndIsRenewed) {
    ChildResult r = in_child([] {
        char a0[] = "prog", a1[] = "one", a3[] = "three";
        char *argv[] = {a0, a1, nullptr, a3, nullptr};
        elog_init(4, argv);
        void *v = nullptr;
        std::ostringstream s;
        elog_query(ELOG_ARGC, 0, &v);
        s << as_int(v);
        elog_query(ELOG_ARGV, 0, &v);
        char **copy = static_cast<char **>(v);
        for (int i = 0; copy[i]; i++) s << " " << copy[i];
        s << (copy[2] == nullptr ? " end" : " no end");
        a1[0] = 'X';  // a copy: not affected
        s << " " << copy[1];
        char b0[] = "again";
        char *second[] = {b0, nullptr};
        elog_init(1, second);
        elog_query(ELOG_ARGV, 0, &v);
        s << " | " << static_cast<char **>(v)[0];
        elog_init(0, nullptr);  // no arguments: the copy stays
        elog_query(ELOG_ARGC, 0, &v);
        s << " " << as_int(v);
        out(s.str());
    });
    EXPECT_EQ(r.out, "2 prog one end one | again 1");
}

TEST(ElogInit, TheEnvironmentIsReadOnce) {
    ChildResult r = in_child([] {
        elog_init(0, nullptr);
        setenv("ELOG_MAXMSG", "7", 1);
        setenv("ELOG_TAG", "late", 1);
        elog_init(0, nullptr);
        void *v = nullptr;
        elog_query(ELOG_MAXMSG, 0, &v);
        out(std::to_string(as_int(v)) + " " + settings(ELOG_TAG));
    });
    EXPECT_EQ(r.out, "50 %P|%P|%P|%P *fatal*|%P *fault*|%P *debug*|%P *alert*");
}

TEST(ElogInit, MaxmsgFromTheEnvironment) {
    struct Case {
        const char *value;
        int max;
    };
    for (const Case &c : std::vector<Case>{{"0", 0}, {"word", 0}, {"5", 5}, {"-3", -3}, {"12x", 12}}) {
        ChildResult r = in_child([&] {
            setenv("ELOG_MAXMSG", c.value, 1);
            void *v = nullptr;
            elog_query(ELOG_MAXMSG, 0, &v);
            out(std::to_string(as_int(v)));
        });
        EXPECT_EQ(r.out, std::to_string(c.max)) << c.value;
    }
}

TEST(ElogInit, EnvironmentSyntaxForDeliveries) {
    struct Case {
        const char *text;
        std::string settings;
        std::string err;
    };
    const std::vector<Case> cases = {
        {"stderr", "stderr|stderr|stderr|stderr|stderr|stderr|stderr", ""},
        {"/tmp/x@df stderr@c",
         "(unset)|(unset)|stderr|/tmp/x|/tmp/x|(unset)|(unset)", ""},
        {"@c", "(unset)|(unset)|stderr|(unset)|(unset)|(unset)|(unset)", ""},
        {"stdout@nD", "(unset)|stdout|(unset)|(unset)|(unset)|stdout|(unset)", ""},
        {"two words@la", "two words|(unset)|(unset)|(unset)|(unset)|(unset)|two words", ""},
        {"a\\@b\\ c@n", "(unset)|a@b c|(unset)|(unset)|(unset)|(unset)|(unset)", ""},
        {"end\\", "end\\|end\\|end\\|end\\|end\\|end\\|end\\", ""},
        {"x@", "x|x|x|x|x|x|x", ""},
        {"x@@y@c", "x|x|y|x|x|x|x", ""},
        // The empty item after the blank sets every default again.
        {"x@ ", "|stderr|stderr|stderr|stderr|stderr|stderr", ""},
        {"stdout@c stderr", "stderr|stderr|stderr|stderr|stderr|stderr|stderr", ""},
        {"stdout@c @c", "(unset)|(unset)|stderr|(unset)|(unset)|(unset)|(unset)", ""},
        {"", "|stderr|stderr|stderr|stderr|stderr|stderr", ""},
        {"x@q", "(unset)|(unset)|(unset)|(unset)|(unset)|(unset)|(unset)",
         "Unrecognized severity 'q'\n"},
        {"x@cqd tail@l",
         "tail|(unset)|x|x|(unset)|(unset)|(unset)", "Unrecognized severity 'qd tail@l'\n"},
        {"x@\tc", "(unset)|(unset)|x|(unset)|(unset)|(unset)|(unset)",
         "Unrecognized severity '\tc'\n"},
    };
    for (const Case &c : cases) {
        ChildResult r = in_child([&] {
            setenv("ELOG_DELIVER", c.text, 1);
            out(settings(ELOG_DELIVER));
        });
        EXPECT_EQ(r.exit_code, 0) << c.text;
        EXPECT_EQ(r.out, c.settings) << c.text;
        EXPECT_EQ(r.err, c.err) << c.text;
    }
}

TEST(ElogInit, LongEnvironmentValuesAreCut) {
    ChildResult r = in_child([] {
        std::string text(3000, 'v');
        setenv("ELOG_TAG", (text + "@c").c_str(), 1);
        void *v = nullptr;
        elog_query(ELOG_TAG, 2, &v);
        out(std::to_string(std::strlen(static_cast<char *>(v))));
    });
    EXPECT_EQ(r.out, "1023");
}

TEST(ElogInit, TagFromTheEnvironmentLeavesOtherSeveritiesUntagged) {
    ChildResult r = in_child([] {
        setenv("ELOG_TAG", "%P %p@c", 1);
        elog_complain(0, "tagged");
        elog_notify(0, "untagged");
        elog_die(0, "also untagged");
    });
    EXPECT_EQ(r.exit_code, 1);
    // The child's pid is not known here; it follows the program name.
    const std::string prefix = P + " ";
    ASSERT_EQ(r.err.compare(0, prefix.size(), prefix), 0) << r.err;
    std::size_t colon = r.err.find(": tagged\n");
    ASSERT_NE(colon, std::string::npos);
    std::string pid = r.err.substr(prefix.size(), colon - prefix.size());
    EXPECT_GT(std::atoi(pid.c_str()), 0);
    EXPECT_EQ(r.err.substr(colon), ": tagged\nuntagged\nalso untagged\n");
}

TEST(ElogInit, DebuggerDefaultsComeOnlyWhenAsked) {
    struct Case {
        const char *text;  // null: ELOG_DEBUG not set
        std::string settings;
    };
    const std::vector<Case> cases = {
        {nullptr, "(unset)|(unset)|(unset)|(unset)|(unset)|(unset)|(unset)"},
        {"@d", "(unset)|(unset)|(unset)|ups %r %p &|(unset)|(unset)|(unset)"},
        {"", "(unset)|(unset)|(unset)|ups %r %p &|ups %r %p &|(unset)|(unset)"},
        {"gdb %r %p@D", "(unset)|(unset)|(unset)|(unset)|(unset)|gdb %r %p|(unset)"},
    };
    for (const Case &c : cases) {
        ChildResult r = in_child([&] {
            if (c.text) setenv("ELOG_DEBUG", c.text, 1);
            out(settings(ELOG_DEBUG));
        });
        EXPECT_EQ(r.out, c.settings) << (c.text ? c.text : "(not set)");
    }
}

TEST(ElogInit, SignalListFromTheEnvironment) {
    struct Case {
        const char *value;
        std::string handlers;
        std::string err;
    };
    const std::vector<Case> cases = {
        {"USR1", "00000010", ""},
        {"SIGUSR2:SEGV", "00001001", ""},
        {"", "00000000", ""},
        {"USR1:BOGUS:USR2", "00000011", "Unrecognized signal name 'BOGUS'\n"},
    };
    for (const Case &c : cases) {
        ChildResult r = in_child([&] {
            setenv("ELOG_SIGNALS", c.value, 1);
            elog_init(0, nullptr);
            void *v = nullptr;
            elog_query(ELOG_SIGNALS, 0, &v);
            out(std::string(static_cast<char *>(v)) + "|" + fault_handlers());
        });
        EXPECT_EQ(r.out, std::string(c.value) + "|" + c.handlers) << c.value;
        EXPECT_EQ(r.err, c.err) << c.value;
    }
}

TEST(ElogInit, ConcurrentFirstMessagesInitialiseOnce) {
    ChildResult r = in_child([] {
        setenv("ELOG_MAXMSG", "0", 1);
        std::vector<std::thread> threads;
        for (int t = 0; t < 6; t++)
            threads.emplace_back([t] { elog_log(0, "thread %d", t); });
        for (std::thread &th : threads) th.join();
        out(std::to_string(testsupport::elog_register_count()));
    });
    EXPECT_EQ(r.out, "6");
    EXPECT_EQ(r.err, "");
}
