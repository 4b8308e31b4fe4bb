#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "cfg/allow.h"
#include "util/buf.h"

using namespace tb1s;

// Each test fills a list of its own, which starts empty whatever ran
// before; the library's own list follows the same code.

namespace {

int allowed(const tb1s_allow_list &l, const char *text)
{
    tb1s_ip ip;
    if (tb1s_ip_parse(text, &ip) != 0) {
        ADD_FAILURE() << "bad test address " << text;
        return -1;
    }
    return tb1s_allowed_by(&l, &ip);
}

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
    tb1s_allow_list list{};
    for (const row &r : rows) {
        EXPECT_EQ(tb1s_allow_add_to(&list, r.text), -1) << (r.text ? r.text : "(null)");
        EXPECT_EQ(std::string(tb1s_error()), r.message);
    }
    EXPECT_EQ(list.count, 0);
    EXPECT_EQ(allowed(list, k_outsider), 0);
}

TEST(AllowList, LoopbackAlwaysAndListedBlocks)
{
    tb1s_allow_list list{};
    for (const char *lo : {"127.0.0.1", "127.255.0.1", "::1", "::ffff:127.0.0.1"})
        EXPECT_EQ(allowed(list, lo), 1) << lo;
    EXPECT_EQ(allowed(list, k_outsider), 0);
    EXPECT_EQ(tb1s_allow_add_to(&list, "192.0.2.0/24"), 0);
    EXPECT_EQ(allowed(list, "192.0.2.1"), 1);
    EXPECT_EQ(allowed(list, "::ffff:192.0.2.200"), 1) << "a mapped client is the IPv4 client";
    EXPECT_EQ(allowed(list, "192.0.3.1"), 0);
    EXPECT_EQ(allowed(list, "::c000:201"), 0) << "IPv4-compatible IPv6 is another family";
    EXPECT_EQ(allowed(list, k_outsider), 0);
    tb1s_ip none{};
    EXPECT_EQ(tb1s_allowed_by(&list, &none), 0);
    EXPECT_EQ(tb1s_allowed_by(&list, nullptr), 0);
}

// The library's own list, through the functions the export and the
// network service call.
TEST(AllowList, TheLibrarysList)
{
    tb1s_ip ip, outside;
    ASSERT_EQ(tb1s_ip_parse("198.51.100.7", &ip), 0);
    ASSERT_EQ(tb1s_ip_parse("198.51.101.7", &outside), 0);  // never listed by any test
    EXPECT_EQ(tb1s_allow_add("198.51.100.0/24"), 0);
    EXPECT_EQ(tb1s_client_allowed(&ip), 1);
    EXPECT_EQ(tb1s_client_allowed(&outside), 0);
    EXPECT_EQ(tb1s_client_allowed(nullptr), 0);
    EXPECT_EQ(tb1s_allow_add("nonsense"), -1);
}

TEST(AllowList, AdmissionWhileTheHostAdds)
{
    // Re-adding an existing block takes the lock like any add; the sanitizer
    // build checks that admission and adding never race.
    tb1s_allow_list list{};
    ASSERT_EQ(tb1s_allow_add_to(&list, "192.0.2.0/24"), 0);
    std::thread adder([&list] {
        for (int i = 0; i < 500; i++)
            tb1s_allow_add_to(&list, "192.0.2.0/24");
    });
    int admitted = 0;
    for (int i = 0; i < 500; i++)
        admitted += allowed(list, "192.0.2.5") + allowed(list, k_outsider);
    adder.join();
    EXPECT_EQ(admitted, 500);
}

TEST(AllowList, SixtyFourEntriesFromEmpty)
{
    tb1s_allow_list list{};
    EXPECT_TRUE(allowed(list, "127.0.0.1") == 1 && allowed(list, "::1") == 1) << "empty list: loopback refused";
    EXPECT_EQ(allowed(list, "192.0.2.1"), 0) << "empty list: 192.0.2.1 admitted";
    EXPECT_EQ(tb1s_allow_add_to(&list, "10.0.0.0/8"), 0) << "first add failed";
    EXPECT_EQ(tb1s_allow_add_to(&list, "10.1.2.3/8"), 0) << "duplicate after masking not accepted";
    for (int i = 1; i < 63; i++) {
        std::string cidr = "198.18." + std::to_string(i) + ".0/24";
        EXPECT_EQ(tb1s_allow_add_to(&list, cidr.c_str()), 0) << "add " << cidr << " failed";
        EXPECT_EQ(tb1s_allow_add_to(&list, cidr.c_str()), 0) << "re-add " << cidr << " failed";
    }
    EXPECT_EQ(tb1s_allow_add_to(&list, "2001:db8::/32"), 0) << "64th entry refused";
    EXPECT_EQ(list.count, 64);
    EXPECT_EQ(allowed(list, "2001:db8:ffff::1"), 1) << "64th entry not used";
    tb1s_set_error("none");
    EXPECT_EQ(tb1s_allow_add_to(&list, "10.0.0.0/8"), 0) << "duplicate on a full list refused";
    EXPECT_EQ(std::string(tb1s_error()), "none") << "duplicate on a full list set a message";
    EXPECT_EQ(tb1s_allow_add_to(&list, "192.0.2.0/24"), -6) << "65th entry not refused with -6";
    EXPECT_EQ(std::string(tb1s_error()), "allow_cidr: 64 CIDRs");
    EXPECT_EQ(allowed(list, "192.0.2.1"), 0) << "refused entry admits anyway";
    EXPECT_TRUE(allowed(list, "198.18.62.9") == 1 && allowed(list, "10.200.0.1") == 1) << "entries lost";
    EXPECT_EQ(tb1s_allow_add_to(&list, ""), -1) << "empty text on a full list";
}

}  // namespace
