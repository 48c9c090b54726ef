// A test fixture for parameter-file tests: each test runs in a scratch
// directory of its own, which is also the only directory of the
// parameter-file path; trees made through it are freed after the test.
#ifndef TEST_SUPPORT_PF_FIXTURE_H
#define TEST_SUPPORT_PF_FIXTURE_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "pf.h"
#include "scratch_dir.h"

namespace testsupport {

class PfScratchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        saved_cwd_ = cwd;
        ASSERT_EQ(chdir(dir_.path().c_str()), 0);
        setenv("PFPATH", dir_.path().c_str(), 1);
    }
    void TearDown() override {
        for (Pf *pf : trees_) pffree(pf);
        EXPECT_EQ(chdir(saved_cwd_.c_str()), 0);
        unsetenv("PFPATH");
    }
    // Frees pf at the end of the test.
    Pf *keep(Pf *pf) {
        trees_.push_back(pf);
        return pf;
    }
    // A tree parsed from text.
    Pf *compile(const std::string &text) {
        Pf *pf = nullptr;
        EXPECT_EQ(pfcompile(text.c_str(), &pf), 0) << text;
        return keep(pf);
    }

    ScratchDir dir_;

  private:
    std::string saved_cwd_;
    std::vector<Pf *> trees_;
};

}  // namespace testsupport

#endif
