// The by-address binding of dbtables.
#include <gtest/gtest.h>

#include <string>

#include "ledgeform_testing.h"

namespace {

using ledgeform_testing::DatabaseTest;

class BindingTest : public DatabaseTest {
  protected:
    void SetUp() override {
        DatabaseTest::SetUp();
        db_ = create();
    }
    Tbl *tables_of(std::string padded) {
        int handle = 0;
        dbtables_(&handle, &db_, padded.data(), padded.size());
        return static_cast<Tbl *>(fhandle_get(handle, FHANDLE_TBL, "test"));
    }
    Dbptr db_{};
};

TEST_F(BindingTest, APaddedNameGivesTheListOfTheNameAlone) {
    EXPECT_EQ(tables_of("lat     "), dbtables(db_, "lat"));
    EXPECT_EQ(tables_of("sta"), dbtables(db_, "sta"));
    EXPECT_EQ(maxtbl(tables_of("sta         ")), 8);
}

TEST_F(BindingTest, ABlankOrUnknownNameGivesTheSharedEmptyList) {
    EXPECT_EQ(tables_of("        "), _db_nulltbl);
    EXPECT_EQ(tables_of(""), _db_nulltbl);
    EXPECT_EQ(tables_of("zz  "), _db_nulltbl);
}

TEST_F(BindingTest, TheListIsLentNotGiven) {
    int handle = 0;
    std::string name = "lat ";
    dbtables_(&handle, &db_, name.data(), name.size());
    ASSERT_GT(handle, 0);
    // The freeing bindings refuse a lent handle; the list stays the
    // catalogue's.
    int freed = handle;
    freetbl_(&freed, nullptr);
    EXPECT_EQ(fhandle_get(handle, FHANDLE_TBL, "test"), dbtables(db_, "lat"));
}

}  // namespace
