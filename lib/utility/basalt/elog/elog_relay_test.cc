// The log relay when the process itself defines orbelog: the relay finds it
// among the symbols already loaded once libkestrel cannot be loaded.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "basalt.h"
#include "child.h"
#include "elog_capture.h"
#include "scratch_dir.h"

using testsupport::ChildResult;
using testsupport::elog_clear_environment;
using testsupport::elog_program_name;
using testsupport::run_in_child;
using testsupport::ScratchDir;

// Stands in for libkestrel's orbelog; exported from the test program.
extern "C" int orbelog(char *ring, char *program, char *text) {
    std::printf("orbelog(%s|%s|%s)\n", ring, program, text);
    return 0;
}

TEST(ElogRelay, RelaysEachDeliveryToOrbelog) {
    const std::string P = elog_program_name();
    ScratchDir root;  // an installation without libkestrel
    ChildResult r = run_in_child([&] {
        elog_clear_environment();
        setenv("KORVANEL", root.path().c_str(), 1);
        setenv("ELOG_DELIVER", "orb:ringhost:6510@c", 1);
        elog_log(0, "waiting");
        elog_complain(0, "first");
        elog_complain(0, "second");
        call_orbelog(const_cast<char *>("r"), const_cast<char *>("p"), const_cast<char *>("t"));
    });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err,
              "Can't dynamically load library kestrel, error messages will be written to stderr.\n");
    EXPECT_EQ(r.out, "orbelog(ringhost:6510|" + P + "|" + P + ": waiting\n" + P + ": first\n)\n" +
                         "orbelog(ringhost:6510|" + P + "|" + P + ": second\n)\n" +
                         "orbelog(r|p|t)\n");
}
