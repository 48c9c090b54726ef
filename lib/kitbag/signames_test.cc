#include <gtest/gtest.h>

#include <cstring>

#include "elog.h"
#include "kitbag.h"

TEST(SignalNames, NameToNumber) {
    struct Case {
        const char *name;
        int rc, sig;
    } cases[] = {
        {"SIGTERM", 0, 15}, {"TERM", 0, 15}, {"SIGIOT", 0, 6}, {"SIGABRT", 0, 6},
        {"CHLD", 0, 17},    {"sigterm", -1, 0}, {"KILL", -1, 0}, {"STOP", -1, 0},
    };
    for (const Case &c : cases) {
        int sig = 0;
        EXPECT_EQ(str2sig(const_cast<char *>(c.name), &sig), c.rc) << c.name;
        if (c.rc == 0) {
            EXPECT_EQ(sig, c.sig) << c.name;
        }
    }
}

TEST(SignalNames, NumberToFirstName) {
    char buf[32];
    ASSERT_EQ(sig2str(6, buf), 0);
    EXPECT_STREQ(buf, "SIGIOT");
    ASSERT_EQ(sig2str(17, buf), 0);
    EXPECT_STREQ(buf, "SIGCLD");
    std::strcpy(buf, "untouched");
    EXPECT_EQ(sig2str(9, buf), -1);
    EXPECT_EQ(sig2str(19, buf), -1);
    EXPECT_STREQ(buf, "untouched");
    EXPECT_EQ(Nsig, 30);
}

// libbasalt takes its signal naming from the program's copy of this table.
TEST(SignalNames, TheErrorLogNamesSignalsThroughThisTable) {
    EXPECT_STREQ(signal_bysig(6)->name, "IOT");
    EXPECT_STREQ(signal_bysig(17)->name, "CLD");
    EXPECT_STREQ(signal_bysig(9)->name, "9");  // KILL has no row
    EXPECT_EQ(signal_byname(const_cast<char *>("SIGCHLD"))->sig, 17);
    EXPECT_EQ(signal_byname(const_cast<char *>("KILL"))->sig, -1);
}
