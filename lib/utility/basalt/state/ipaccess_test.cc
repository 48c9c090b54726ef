// Tests of the client IP access list.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "elog_capture.h"
#include "pf_fixture.h"
#include "pfaccess.h"
#include "signing.h"
#include "tbl.h"

namespace {

using testsupport::ChildResult;
using testsupport::in_child;
using testsupport::out;

// A tree whose "valid_ip_addresses" holds exactly these lines.
Pf *access_tree(const std::vector<std::string> &lines) {
    Pf *pf = pfnew(FILE_PF);
    Tbl *list = newtbl(0);
    for (const auto &l : lines) pushtbl(list, const_cast<char *>(l.c_str()));
    pfput_tbl(pf, "valid_ip_addresses", list);
    freetbl(list, nullptr);
    return pf;
}

unsigned int ip(const char *dotted) { return static_cast<unsigned int>(inet_addr(dotted)); }

struct Case {
    const char *name;
    std::vector<std::string> lines;
    const char *client;
    int expected;
    const char *restriction;  // null: expect a null restriction
};

class AccessCases : public ::testing::TestWithParam<Case> {};

TEST_P(AccessCases, Decides) {
    const Case &c = GetParam();
    Pf *pf = access_tree(c.lines);
    char sentinel[] = "untouched";
    char *r = sentinel;
    EXPECT_EQ(legit_ip_pf(pf, ip(c.client), &r), c.expected);
    if (c.expected == 1) {
        if (c.restriction == nullptr) {
            EXPECT_EQ(r, nullptr);
        } else {
            ASSERT_NE(r, nullptr);
            EXPECT_STREQ(r, c.restriction);
            std::free(r);
        }
    } else {
        EXPECT_EQ(r, sentinel);
    }
    pffree(pf);
}

const Case kCases[] = {
    {"everyone", {"0.0.0.0 0.0.0.0"}, "192.0.2.7", 1, nullptr},
    {"single_address", {"192.0.2.7 255.255.255.255 only"}, "192.0.2.7", 1, "only"},
    {"single_address_other", {"192.0.2.7 255.255.255.255 only"}, "192.0.2.8", 0, nullptr},
    {"network", {"10.1.0.0\t255.255.0.0\tlan"}, "10.1.200.3", 1, "lan"},
    {"first_match_wins", {"10.0.0.0 255.0.0.0 first", "10.1.0.0 255.255.0.0 second"}, "10.1.2.3", 1, "first"},
    {"later_line", {"10.0.0.0 255.0.0.0 first", "11.0.0.0 255.0.0.0 second"}, "11.9.9.9", 1, "second"},
    {"trimmed", {"10.0.0.0 255.0.0.0   read only \t "}, "10.2.3.4", 1, "read only"},
    {"ends_after_mask", {"10.0.0.0 255.0.0.0"}, "10.2.3.4", 1, nullptr},
    {"one_separator", {"10.0.0.0 255.0.0.0 "}, "10.2.3.4", 1, nullptr},
    {"two_blanks", {"10.0.0.0 255.0.0.0  "}, "10.2.3.4", 1, ""},
    {"skips_empty_and_short", {"", "10.0.0.0", "10.0.0.0 255.0.0.0 ok"}, "10.2.3.4", 1, "ok"},
    {"invalid_words_all_ones", {"bogus 255.255.255.255 b"}, "255.255.255.255", 1, "b"},
    {"invalid_words_other", {"bogus 255.255.255.255 b"}, "10.0.0.1", 0, nullptr},
    {"no_match", {"10.0.0.0 255.0.0.0"}, "172.16.0.1", 0, nullptr},
    {"empty_list", {}, "10.0.0.1", 0, nullptr},
};

INSTANTIATE_TEST_SUITE_P(List, AccessCases, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case> &i) { return std::string(i.param.name); });

class LegitIpTest : public testsupport::PfScratchTest {};

TEST_F(LegitIpTest, NoListIsLoggedAndRefuses) {
    Pf *pf = compile("other 1\n");
    const ChildResult r = in_child([&] {
        char *rs = nullptr;
        out(std::to_string(legit_ip_pf(pf, ip("10.0.0.1"), &rs)) + "|");
        out(testsupport::elog_register_text());
    });
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.substr(0, 2), "0|");
    EXPECT_NE(r.out.find("failed to get valid_ip_addresses list"), std::string::npos) << r.out;
}

TEST_F(LegitIpTest, ReadsTheFileAfresh) {
    testsupport::write_file(dir_.file("access.pf"),
                            "valid_ip_addresses &Tbl{\n10.0.0.0 255.0.0.0 inside\n}\n");
    char *rs = nullptr;
    EXPECT_EQ(legit_ip(const_cast<char *>("access"), ip("10.4.4.4"), &rs), 1);
    ASSERT_NE(rs, nullptr);
    EXPECT_STREQ(rs, "inside");
    std::free(rs);
    EXPECT_EQ(legit_ip(const_cast<char *>("access"), ip("11.4.4.4"), &rs), 0);

    testsupport::write_file(dir_.file("access.pf"),
                            "valid_ip_addresses &Tbl{\n11.0.0.0 255.0.0.0\n}\n");
    rs = reinterpret_cast<char *>(1);
    EXPECT_EQ(legit_ip(const_cast<char *>("access"), ip("11.4.4.4"), &rs), 1);
    EXPECT_EQ(rs, nullptr);
}

TEST_F(LegitIpTest, UnreadableFileRefuses) {
    const ChildResult r = in_child([&] {
        char *rs = nullptr;
        out(std::to_string(legit_ip(const_cast<char *>("nosuch"), ip("10.0.0.1"), &rs)) + "|");
        out(testsupport::elog_register_text());
    });
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.substr(0, 3), "-1|");
    EXPECT_NE(r.out.find("Can't read parameter file 'nosuch'"), std::string::npos) << r.out;
}

}  // namespace
