#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "cfg/allow.h"
#include "util/buf.h"

using namespace tb1s;

// The allow-list can only grow while the process lives. Tests that run in
// this process add nothing but 192.0.2.0/24 and only rely on addresses outside
// it being refused; the exact 64-entry limit is checked in a fresh child
// process, where the list starts empty.

namespace {

int allowed(const char *text)
{
    tb1s_ip ip;
    if (tb1s_ip_parse(text, &ip) != 0) {
        ADD_FAILURE() << "bad test address " << text;
        return -1;
    }
    return tb1s_client_allowed(&ip);
}

// Never added by any test.
constexpr const char *k_outsider = "203.0.113.77";

TEST(AllowList, RefusalsKeepTheListAndSayWhy)
{
    struct row {
        const char *text;
        std::string message;
    };
    const std::string long_text = std::string(70, '9') + "/8";
    const row rows[] = {
        {nullptr, "allow_cidr: empty CIDR"},
        {"", "allow_cidr: empty CIDR"},
        {"203.0.113.0/33", "allow_cidr: 203.0.113.0/33 is not a CIDR"},
        {"203.0.113.0/", "allow_cidr: 203.0.113.0/ is not a CIDR"},
        {"nonsense", "allow_cidr: nonsense is not a CIDR"},
        {long_text.c_str(), "allow_cidr: " + std::string(64, '9') + " is not a CIDR"},  // cut at 64 bytes
    };
    for (const row &r : rows) {
        EXPECT_EQ(tb1s_allow_add(r.text), -1) << (r.text ? r.text : "(null)");
        EXPECT_EQ(std::string(tb1s_error()), r.message);
    }
    EXPECT_EQ(allowed(k_outsider), 0);
}

TEST(AllowList, LoopbackAlwaysAndListedBlocks)
{
    for (const char *lo : {"127.0.0.1", "127.255.0.1", "::1", "::ffff:127.0.0.1"})
        EXPECT_EQ(allowed(lo), 1) << lo;
    EXPECT_EQ(allowed(k_outsider), 0);
    EXPECT_EQ(tb1s_allow_add("192.0.2.0/24"), 0);
    EXPECT_EQ(allowed("192.0.2.1"), 1);
    EXPECT_EQ(allowed("::ffff:192.0.2.200"), 1) << "a mapped client is the IPv4 client";
    EXPECT_EQ(allowed("192.0.3.1"), 0);
    EXPECT_EQ(allowed("::c000:201"), 0) << "IPv4-compatible IPv6 is another family";
    EXPECT_EQ(allowed(k_outsider), 0);
    tb1s_ip none{};
    EXPECT_EQ(tb1s_client_allowed(&none), 0);
    EXPECT_EQ(tb1s_client_allowed(nullptr), 0);
}

TEST(AllowList, AdmissionWhileTheHostAdds)
{
    // Re-adding an existing block takes the lock like any add; the sanitizer
    // build checks that admission and adding never race.
    ASSERT_EQ(tb1s_allow_add("192.0.2.0/24"), 0);
    std::thread adder([] {
        for (int i = 0; i < 500; i++)
            tb1s_allow_add("192.0.2.0/24");
    });
    int admitted = 0;
    for (int i = 0; i < 500; i++)
        admitted += allowed("192.0.2.5") + allowed(k_outsider);
    adder.join();
    EXPECT_EQ(admitted, 500);
}

// Runs in a fresh process: fills the list from empty and reports what broke
// on standard error. The result is the number of failed checks.
int fill_from_empty()
{
    int bad = 0;
    auto check = [&bad](bool ok, const std::string &what) {
        if (!ok) {
            std::fprintf(stderr, "%s\n", what.c_str());
            bad++;
        }
    };
    check(allowed("127.0.0.1") == 1 && allowed("::1") == 1, "empty list: loopback refused");
    check(allowed("192.0.2.1") == 0, "empty list: 192.0.2.1 admitted");
    check(tb1s_allow_add("10.0.0.0/8") == 0, "first add failed");
    check(tb1s_allow_add("10.1.2.3/8") == 0, "duplicate after masking not accepted");
    for (int i = 1; i < 63; i++) {
        std::string cidr = "198.18." + std::to_string(i) + ".0/24";
        check(tb1s_allow_add(cidr.c_str()) == 0, "add " + cidr + " failed");
        check(tb1s_allow_add(cidr.c_str()) == 0, "re-add " + cidr + " failed");
    }
    check(tb1s_allow_add("2001:db8::/32") == 0, "64th entry refused");
    check(allowed("2001:db8:ffff::1") == 1, "64th entry not used");
    tb1s_set_error("none");
    check(tb1s_allow_add("10.0.0.0/8") == 0, "duplicate on a full list refused");
    check(std::string(tb1s_error()) == "none", "duplicate on a full list set a message");
    check(tb1s_allow_add("192.0.2.0/24") == -6, "65th entry not refused with -6");
    check(std::string(tb1s_error()) == "allow_cidr: 64 CIDRs", std::string("message '") + tb1s_error() + "'");
    check(allowed("192.0.2.1") == 0, "refused entry admits anyway");
    check(allowed("198.18.62.9") == 1 && allowed("10.200.0.1") == 1, "entries lost");
    check(tb1s_allow_add("") == -1, "empty text on a full list");
    return bad;
}

TEST(AllowListDeathTest, SixtyFourEntriesFromEmpty)
{
    // "threadsafe" re-executes the test program for the child, so the child's
    // list is empty whatever the tests before this one added.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(fill_from_empty()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
