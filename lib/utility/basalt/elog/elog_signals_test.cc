// Naming signals, and the fault handlers the error log installs.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>
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

#if defined(__SANITIZE_THREAD__)
// The fault handler logs from the signal context through the ordinary
// logging path, which allocates; that is its documented behaviour.
extern "C" const char *__tsan_default_options() { return "report_signal_unsafe=0"; }
#endif

namespace {

const std::string P = elog_program_name();

}  // namespace

TEST(SignalNames, ByNumber) {
    struct Case {
        int sig;
        std::string name;
        std::string description;
    };
    const std::vector<Case> cases = {
        {SIGSEGV, "SEGV", "Segmentation fault"},
        {SIGHUP, "HUP", "Hangup"},
        {SIGUSR2, "USR2", "User defined signal 2"},
        {200, "200", "no description for signal"},
    };
    for (const Case &c : cases) {
        Signal_info *info = signal_bysig(c.sig);
        EXPECT_EQ(info->sig, c.sig);
        EXPECT_EQ(std::string(info->name), c.name);
        EXPECT_EQ(std::string(info->description), c.description);
    }
    EXPECT_EQ(signal_bysig(SIGINT), signal_bysig(SIGTERM));  // one static record
}

TEST(SignalNames, ByName) {
    struct Case {
        const char *name;
        int sig;
        std::string description;
    };
    const std::vector<Case> cases = {
        {"SEGV", SIGSEGV, "Segmentation fault"},
        {"INT", SIGINT, "Interrupt"},
        {"BOGUS", -1, "no description for unrecognized signal"},
        {"", -1, "no description for unrecognized signal"},
    };
    for (const Case &c : cases) {
        std::string name = c.name;
        Signal_info *info = signal_byname(name.data());
        EXPECT_EQ(info->sig, c.sig) << c.name;
        EXPECT_EQ(info->name, name.data()) << c.name;  // the caller's string itself
        EXPECT_EQ(std::string(info->description), c.description) << c.name;
    }
}

TEST(ElogFault, AFaultSignalIsLoggedAndAborts) {
    ChildResult r = in_child([] {
        elog_init(0, nullptr);
        elog_log(0, "before");
        raise(SIGILL);
        out("survived");
    });
    EXPECT_FALSE(r.exited);
    EXPECT_EQ(r.signal, SIGABRT);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(testsupport::without_emulator_notice(r.err), P + ": before\n\n" + P + ": Illegal instruction\n" + P +
                         " *fault*: Signal ILL : Illegal instruction\n");
}

TEST(ElogFault, AFaultWhileTheRegisterIsLockedNeverWaitsForIt) {
    // The callback runs with the register lock held; a fault there must not
    // wait on the lock: the handler writes its message directly and aborts.
    ChildResult r = in_child([] {
        elog_init(0, nullptr);
        auto cb = +[](int, char *, Tbl *) -> int {
            raise(SIGSEGV);
            return 0;
        };
        elog_set(ELOG_CALLBACK, 0, reinterpret_cast<void *>(cb));
        elog_log(0, "inside");
        out("survived");
    });
    EXPECT_FALSE(r.exited);
    EXPECT_EQ(r.signal, SIGABRT);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(testsupport::without_emulator_notice(r.err),
              P + " *fault*: Signal SEGV : Segmentation fault\n");
}

TEST(ElogFault, HandlersForAListGivenLater) {
    ChildResult r = in_child([] {
        elog_set(ELOG_SIGNALS, 0, const_cast<char *>("SIGUSR2:NOPE"));
        void *v = nullptr;
        elog_query(ELOG_SIGNALS, 0, &v);
        out(std::string(static_cast<char *>(v)) + "\n");
        std::fflush(stdout);
        raise(SIGUSR2);
    });
    EXPECT_EQ(r.signal, SIGABRT);
    EXPECT_EQ(r.out, "SIGUSR2:NOPE\n");
    EXPECT_EQ(testsupport::without_emulator_notice(r.err), "Unrecognized signal name 'NOPE'\n\n" + P + ": User defined signal 2\n" + P +
                         " *fault*: Signal USR2 : User defined signal 2\n");
}

TEST(ElogFault, ANullListRecordsAnEmptyTextAndRemovesNoHandler) {
    ChildResult r = in_child([] {
        elog_set(ELOG_SIGNALS, 0, nullptr);
        void *v = nullptr;
        elog_query(ELOG_SIGNALS, 0, &v);
        struct sigaction action;
        sigaction(SIGSEGV, nullptr, &action);
        out("[" + std::string(static_cast<char *>(v)) + "] " +
            std::to_string((action.sa_flags & SA_SIGINFO) != 0));
    });
    EXPECT_EQ(r.out, "[] 1");
}

TEST(ElogFault, TheHandlerIsOneShot) {
    ChildResult r = in_child([] {
        elog_set(ELOG_SIGNALS, 0, const_cast<char *>("USR1"));
        struct sigaction action;
        sigaction(SIGUSR1, nullptr, &action);
        out(std::to_string((action.sa_flags & SA_RESETHAND) != 0) +
            std::to_string(sigisemptyset(&action.sa_mask)));
    });
    EXPECT_EQ(r.out, "11");
}
