// Parameter files: time values (pfget_time, pfput_time) and the required
// revision date (pfrequire).
#include "pf.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "child.h"
#include "elog.h"
#include "elog_capture.h"
#include "scratch_dir.h"
#include "timefmt.h"

namespace {

using testsupport::in_child;
using testsupport::out;
using testsupport::ScratchDir;

constexpr double kJan5_2004 = 1073260800.0;

// Each test runs in a scratch directory of its own, which is also the only
// directory of the parameter-file path.
class PfTime : public ::testing::Test {
  protected:
    void SetUp() override {
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        saved_cwd_ = cwd;
        ASSERT_EQ(chdir(dir_.path().c_str()), 0);
        setenv("PFPATH", dir_.path().c_str(), 1);
        unsetenv("EUROPEAN_DATE");
        testsupport::elog_reset_register();
    }
    void TearDown() override {
        if (pf_ != nullptr) pffree(pf_);
        EXPECT_EQ(chdir(saved_cwd_.c_str()), 0);
        unsetenv("PFPATH");
        testsupport::elog_reset_register();
    }
    Pf *compile(const std::string &text) {
        if (pf_ != nullptr) pffree(pf_);
        pf_ = nullptr;
        EXPECT_EQ(pfcompile(text.c_str(), &pf_), 0) << text;
        return pf_;
    }
    ScratchDir dir_;
    std::string saved_cwd_;
    Pf *pf_ = nullptr;
};

TEST_F(PfTime, GetTime) {
    struct Case { const char *text; double want; bool complaint; };
    const Case cases[] = {
        {"t 1/5/2004", kJan5_2004, false},
        {"t 2004-01-05 00:00:01.5", kJan5_2004 + 1.5, false},
        {"t 1000000000.000 (252) 2001-09-09  01:46:40.000 UTC Sunday", 1e9, false},
    };
    for (const Case &c : cases) {
        Pf *pf = compile(c.text);
        testsupport::elog_reset_register();
        EXPECT_DOUBLE_EQ(pfget_time(pf, "t"), c.want) << c.text;
        EXPECT_EQ(testsupport::elog_register_count(), 0) << testsupport::elog_register_text();
    }
}

TEST_F(PfTime, GetTimeInsideArray) {
    Pf *pf = compile("a &Arr{\n start 1/5/2004 1:00\n}\n");
    EXPECT_DOUBLE_EQ(pfget_time(pf, "a{start}"), kJan5_2004 + 3600);
}

TEST_F(PfTime, BadTimeComplains) {
    auto r = in_child([] {
        Pf *pf = nullptr;
        pfcompile("t 1/5/2004 xyzzy\n", &pf);
        double v = pfget_time(pf, "t");
        out(std::to_string(static_cast<long long>(v)));
        pffree(pf);
    });
    EXPECT_EQ(r.out, "1073260800");
    EXPECT_NE(r.err.find("Bad time value '1/5/2004 xyzzy' for t"), std::string::npos) << r.err;
    // The parser's own message is dropped.
    EXPECT_EQ(r.err.find("can't interpret"), std::string::npos) << r.err;
}

TEST_F(PfTime, AbsentTimeGoesToDieHandler) {
    auto r = in_child([] {
        Pf *pf = nullptr;
        pfcompile("x 1\n", &pf);
        pfget_time(pf, "t");
        out("returned");
    });
    EXPECT_TRUE(r.exited);
    EXPECT_NE(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("program needs value for 't', not found in parameter file ''"),
              std::string::npos)
        << r.err;
}

TEST_F(PfTime, PutTime) {
    struct Case { double val; const char *want; };
    const Case cases[] = {
        {1e9, "1000000000.000 (252) 2001-09-09  01:46:40.000 UTC Sunday"},
        {0.0, "0.000 (001) 1970-01-01  00:00:00.000 UTC Thursday"},
        {kJan5_2004 + 0.25, "1073260800.250 (005) 2004-01-05  00:00:00.250 UTC Monday"},
        {-1.5, "-1.500 (365) 1969-12-31  23:59:58.500 UTC Wednesday"},
    };
    for (const Case &c : cases) {
        Pf *pf = compile("");
        pfput_time(pf, "t", c.val);
        EXPECT_STREQ(pfget_string(pf, "t"), c.want);
        // What is stored reads back.
        EXPECT_DOUBLE_EQ(pfget_time(pf, "t"), c.val);
    }
}

TEST_F(PfTime, Require) {
    struct Case { const char *file; const char *atime; int want; std::string message; };
    const std::string path = dir_.file("rev.pf");
    const Case cases[] = {
        {"pf_revision_time 1/5/2004\n", "1/5/2004", 0, ""},
        {"pf_revision_time 1/6/2004\n", "1/5/2004", 0, ""},
        {"pf_revision_time 1/5/2004\n", "1/6/2004", -2,
         "pf_revision_time in the file '" + path +
             "' has date 01/05/2004, \n\tbut program requires date after 01/06/2004\n"},
        {"a 1\n", "1/6/2004", -1,
         "no pf_revision_time in the file '" + path +
             "', \n\tbut program requires date after 01/06/2004\n"},
        {"pf_revision_time &Tbl{\n1/5/2004\n}\n", "1/6/2004", -1,
         "no pf_revision_time in the file '" + path +
             "', \n\tbut program requires date after 01/06/2004\n"},
        {"pf_revision_time 1/5/2004\nl &Tbl{\nx\n", "1/6/2004", -3,
         "error in parameter file rev"},
    };
    for (const Case &c : cases) {
        testsupport::write_file(path, c.file);
        testsupport::elog_reset_register();
        EXPECT_EQ(pfrequire("rev", c.atime), c.want) << c.file;
        std::string log = testsupport::elog_register_text();
        if (c.message.empty())
            EXPECT_EQ(testsupport::elog_register_count(), 0) << log;
        else
            EXPECT_NE(log.find(c.message), std::string::npos) << log;
    }
}

TEST_F(PfTime, RequireMissingFile) {
    EXPECT_EQ(pfrequire("nofile", "1/5/2004"), -4);
    EXPECT_NE(testsupport::elog_register_text().find("can't find parameter file nofile"),
              std::string::npos);
}

// The last file of the search path decides.
TEST_F(PfTime, RequireReadsLastCandidateOnly) {
    ScratchDir second;
    setenv("PFPATH", (dir_.path() + ":" + second.path()).c_str(), 1);
    testsupport::write_file(dir_.file("two.pf"), "pf_revision_time 1/1/2010\n");
    testsupport::write_file(second.file("two.pf"), "a 1\n");
    EXPECT_EQ(pfrequire("two", "1/5/2004"), -1);
    testsupport::write_file(second.file("two.pf"), "pf_revision_time 1/1/2005\n");
    EXPECT_EQ(pfrequire("two", "1/5/2004"), 0);
}

}  // namespace
