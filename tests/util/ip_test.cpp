#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support.h"
#include "util/ip.h"

using namespace tb1s;

using tb1s_test::to_hex;

namespace {

// The record as "4:<4 bytes hex>" or "6:<16 bytes hex>".
std::string show(const tb1s_ip &ip)
{
    if (ip.family == 4)
        return "4:" + to_hex(ip.addr, 4);
    if (ip.family == 6)
        return "6:" + to_hex(ip.addr, 16);
    return "family " + std::to_string(ip.family);
}

std::string fmt(const tb1s_ip &ip)
{
    char t[64];
    tb1s_ip_format(&ip, t, sizeof t);
    return t;
}

tb1s_ip ip_of(const char *text)
{
    tb1s_ip ip;
    EXPECT_EQ(tb1s_ip_parse(text, &ip), 0) << text;
    return ip;
}

int equal(const char *a, const char *b)
{
    tb1s_ip x = ip_of(a), y = ip_of(b);
    return tb1s_ip_equal(&x, &y);
}

int loopback(const char *text)
{
    tb1s_ip ip = ip_of(text);
    return tb1s_ip_is_loopback(&ip);
}

int match(const tb1s_cidr &c, const char *text)
{
    tb1s_ip ip = ip_of(text);
    return tb1s_cidr_match(&c, &ip);
}

TEST(IpParse, Cases)
{
    struct row {
        std::string text;
        const char *want;  // show() of the record, or null when refused
    };
    const row rows[] = {
        {"127.0.0.1", "4:7f000001"},
        {"[127.0.0.1]", "4:7f000001"},
        {"01.2.3.4", "4:01020304"},
        {"010.1.1.1", "4:0a010101"},  // leading zeros are decimal
        {"255.255.255.255", "4:ffffffff"},
        {"0001.2.3.4", nullptr},
        {"1.2.3", nullptr},
        {"1.2.3.4.5", nullptr},
        {"1..2.3", nullptr},
        {"256.1.1.1", nullptr},
        {"1.2.3.4 ", nullptr},
        {"1.2.3.4.", nullptr},
        {"+1.2.3.4", nullptr},
        {"::", "6:00000000000000000000000000000000"},
        {"1::", "6:00010000000000000000000000000000"},
        {"::1", "6:00000000000000000000000000000001"},
        {"1:2:3:4:5:6:7:8", "6:00010002000300040005000600070008"},
        {"ABCD:ef01::", "6:abcdef01000000000000000000000000"},
        {"1:2:3:4:5:6:7::", "6:00010002000300040005000600070000"},
        {"::2:3:4:5:6:7:8", "6:00000002000300040005000600070008"},
        {"1:2:3:4:5:6:7:8:9", nullptr},
        {"1::2::3", nullptr},
        {":1", nullptr},
        {"1:", nullptr},
        {":::", nullptr},
        {"1:::2", nullptr},
        {"12345::1", nullptr},
        {"0x1::", nullptr},
        {"1:2:3:4:5:6:7::8", nullptr},
        {"1:2:3:4:5:6:7", nullptr},  // seven groups without "::"
        {"::ffff:192.0.2.1", "4:c0000201"},
        {"::ffff:c000:201", "4:c0000201"},
        {"::FFFF:127.0.0.1", "4:7f000001"},
        {"::1.2.3.4", "6:00000000000000000000000001020304"},
        {"1:2:3:4:5:6:1.2.3.4", "6:00010002000300040005000601020304"},
        {"1:2:3:4:5:6:7:1.2.3.4", nullptr},
        {"1.2.3.4::", nullptr},  // a dotted quad only as the last group
        {"::1.2.3", nullptr},
        {"fe80::1%eth0", "6:fe800000000000000000000000000001"},
        {"[fe80::1%eth0]", "6:fe800000000000000000000000000001"},
        {"1.2.3.4%5", "4:01020304"},
        {"[::1]", "6:00000000000000000000000000000001"},
        {"[]", nullptr},
        {"[", nullptr},
        {"%", nullptr},
        {"", nullptr},
        {"::1 ", nullptr},
        // 45 bytes pass the length rule, 46 do not.
        {"0000:0000:0000:0000:0000:ffff:192.168.100.200", "4:c0a864c8"},
        {"0000:0000:0000:0000:0000:ffff:192.168.100.200%zone", "4:c0a864c8"},
        {"00000:0000:0000:0000:0000:ffff:192.168.100.200", nullptr},
    };
    for (const row &r : rows) {
        tb1s_ip ip;
        std::memset(&ip, 0xAA, sizeof ip);
        int rc = tb1s_ip_parse(r.text.c_str(), &ip);
        if (r.want) {
            EXPECT_EQ(rc, 0) << "'" << r.text << "' must parse";
            EXPECT_EQ(show(ip), r.want) << "'" << r.text << "'";
        } else {
            EXPECT_EQ(rc, -1) << "'" << r.text << "' must be refused";
            EXPECT_EQ(show(ip), "family 0") << "'" << r.text << "' leaves a cleared record";
        }
    }
    EXPECT_EQ(tb1s_ip_parse(nullptr, nullptr), -1);
    tb1s_ip ip;
    EXPECT_EQ(tb1s_ip_parse(nullptr, &ip), -1);
    EXPECT_EQ(ip.family, 0);
}

TEST(IpFormat, Cases)
{
    struct row {
        const char *in, *want;
    };
    const row rows[] = {
        {"192.0.2.1", "192.0.2.1"},
        {"0.0.0.0", "0.0.0.0"},
        {"::", "::"},
        {"::1", "::1"},
        {"1::", "1::"},
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},  // first of two equal runs
        {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1"},        // the longer run wins
        {"1:0:2:3:4:5:6:7", "1:0:2:3:4:5:6:7"},         // a single zero group stays
        {"0:0:1:0:0:0:0:0", "0:0:1::"},
        {"2001:DB8:00AB::", "2001:db8:ab::"},
        {"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"},
        {"::ffff:10.1.2.3", "10.1.2.3"},
        {"::1.2.3.4", "::102:304"},
        {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
    };
    for (const row &r : rows)
        EXPECT_EQ(fmt(ip_of(r.in)), r.want) << r.in;
}

TEST(IpFormat, CutToTheAreaSize)
{
    tb1s_ip ip = ip_of("192.168.100.200");
    char t[8];
    std::memset(t, 'Z', sizeof t);
    tb1s_ip_format(&ip, t, 8);
    EXPECT_STREQ(t, "192.168");
    char one = 'Z';
    tb1s_ip_format(&ip, &one, 1);
    EXPECT_EQ(one, 0);
    char untouched = 'Z';
    tb1s_ip_format(&ip, &untouched, 0);
    EXPECT_EQ(untouched, 'Z');
}

TEST(IpEqualAndLoopback, Cases)
{
    EXPECT_EQ(equal("::ffff:1.2.3.4", "1.2.3.4"), 1);
    EXPECT_EQ(equal("::1.2.3.4", "1.2.3.4"), 0) << "different families";
    EXPECT_EQ(equal("fe80::1", "fe80::2"), 0);
    tb1s_ip a = ip_of("1.2.3.4"), b = a;
    b.addr[10] = 7;  // beyond the four bytes of an IPv4 address
    EXPECT_EQ(tb1s_ip_equal(&a, &b), 1);

    struct row {
        const char *in;
        int want;
    };
    const row rows[] = {
        {"127.0.0.1", 1}, {"127.255.0.1", 1}, {"::1", 1},     {"::ffff:127.0.0.1", 1},
        {"::2", 0},       {"0.0.0.0", 0},     {"128.0.0.1", 0}, {"::", 0},
        {"::127.0.0.1", 0},
    };
    for (const row &r : rows)
        EXPECT_EQ(loopback(r.in), r.want) << r.in;
}

TEST(CidrParse, Cases)
{
    struct row {
        const char *text;
        const char *want;  // "<formatted address>/<prefix>", or null when refused
    };
    const row rows[] = {
        {"10.0.0.0/8", "10.0.0.0/8"},
        {"10.1.2.3/8", "10.0.0.0/8"},
        {"192.168.1.255/25", "192.168.1.128/25"},
        {"192.0.2.7", "192.0.2.7/32"},
        {"0.0.0.0/0", "0.0.0.0/0"},
        {"255.255.255.255/0", "0.0.0.0/0"},
        {"2001:db8:ffff::1/32", "2001:db8::/32"},
        {"fe80::1", "fe80::1/128"},
        {"ffff::/1", "8000::/1"},
        {"::1/128", "::1/128"},
        {"::ffff:10.0.0.0/104", "10.0.0.0/8"},
        {"::ffff:10.1.2.3/128", "10.1.2.3/32"},
        {"::ffff:10.0.0.0", "10.0.0.0/32"},
        {"[fe80::1%eth0]/64", "fe80::/64"},
        {"010/8", nullptr},
        {"10.0.0.0/33", nullptr},
        {"::/129", nullptr},
        {"10.0.0.0/", nullptr},
        {"10.0.0.0/0032", nullptr},
        {"10.0.0.0/8x", nullptr},
        {"10.0.0.0/-1", nullptr},
        {"10.0.0.0/8/8", nullptr},
        {"::ffff:10.0.0.0/64", nullptr},
        {"::ffff:10.0.0.0/95", nullptr},
        {"::ffff:10.0.0.0/129", nullptr},
        {"/8", nullptr},
        {"", nullptr},
    };
    for (const row &r : rows) {
        tb1s_cidr c;
        int rc = tb1s_cidr_parse(r.text, &c);
        if (r.want) {
            ASSERT_EQ(rc, 0) << "'" << r.text << "' must parse";
            EXPECT_EQ(fmt(c.ip) + "/" + std::to_string(c.prefix), r.want) << r.text;
        } else {
            EXPECT_EQ(rc, -1) << "'" << r.text << "' must be refused";
            EXPECT_EQ(c.ip.family, 0);
            EXPECT_EQ(c.prefix, 0);
        }
    }
    // The address part may be 63 bytes: a zone makes room for it beyond the
    // 45 bytes of the address itself.
    std::string zone63 = "fe80::1%" + std::string(63 - 8, 'z');
    tb1s_cidr c;
    EXPECT_EQ(tb1s_cidr_parse((zone63 + "/64").c_str(), &c), 0);
    EXPECT_EQ(tb1s_cidr_parse((zone63 + "z/64").c_str(), &c), -1) << "64-byte address part";
    EXPECT_EQ(tb1s_cidr_parse(nullptr, &c), -1);
}

TEST(CidrMatch, Cases)
{
    struct row {
        const char *cidr, *ip;
        int want;
    };
    const row rows[] = {
        {"10.0.0.0/8", "10.255.1.2", 1},
        {"10.0.0.0/8", "11.0.0.1", 0},
        {"192.168.1.0/25", "192.168.1.127", 1},
        {"192.168.1.0/25", "192.168.1.128", 0},
        {"0.0.0.0/0", "1.2.3.4", 1},
        {"0.0.0.0/0", "255.255.255.255", 1},
        {"0.0.0.0/0", "::", 0},
        {"0.0.0.0/0", "2001:db8::1", 0},
        {"::/0", "1.2.3.4", 0},
        {"::/0", "2001:db8::1", 1},
        {"2001:db8::/32", "2001:db8:ffff::1", 1},
        {"2001:db8::/32", "2001:db9::1", 0},
        {"192.0.2.7", "192.0.2.7", 1},
        {"192.0.2.7", "192.0.2.8", 0},
        {"::ffff:10.0.0.0/104", "::ffff:10.9.9.9", 1},
        {"::ffff:10.0.0.0/104", "10.9.9.9", 1},
        {"fe80::/10", "febf::1", 1},
        {"fe80::/10", "fec0::1", 0},
        {"1.2.3.4/31", "1.2.3.5", 1},
        {"1.2.3.4/31", "1.2.3.6", 0},
    };
    for (const row &r : rows) {
        tb1s_cidr c;
        ASSERT_EQ(tb1s_cidr_parse(r.cidr, &c), 0) << r.cidr;
        EXPECT_EQ(match(c, r.ip), r.want) << r.cidr << " vs " << r.ip;
    }
}

TEST(CidrMatch, RefusesEntriesOutOfRange)
{
    // A hand-made entry with an impossible prefix must not read past the address.
    tb1s_cidr c{};
    c.ip.family = 4;
    c.prefix = 200;
    EXPECT_EQ(match(c, "0.0.0.0"), 0);
    c.prefix = -8;
    EXPECT_EQ(match(c, "0.0.0.0"), 0);
}

}  // namespace
