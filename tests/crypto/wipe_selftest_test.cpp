#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "crypto/crypto.h"
#include "support.h"
#include "tbsmb1s.h"

using namespace tb1s;

using tb1s_test::to_hex;

namespace {

TEST(CtEqual, Cases)
{
    struct row {
        const char *name;
        uint8_t flip_at;  // index of a to change, 0xff for none
        uint8_t flip;     // XOR applied there
        uint64_t len;
        int want;
    };
    const row rows[] = {
        {"equal", 0xff, 0, 16, 1},
        {"last byte differs", 15, 0x01, 16, 0},
        {"first byte differs", 0, 0x01, 16, 0},
        {"only the top bit differs", 7, 0x80, 16, 0},
        {"length 0, contents differ", 0, 0xff, 0, 1},
    };
    for (const row &r : rows) {
        uint8_t a[16], b[16];
        for (int i = 0; i < 16; i++)
            a[i] = b[i] = uint8_t(0xa0 + i);
        if (r.flip_at != 0xff)
            a[r.flip_at] ^= r.flip;
        EXPECT_EQ(tb1s_ct_equal(a, b, r.len), r.want) << r.name;
    }
}

TEST(Wipe, ZeroesExactlyTheArea)
{
    uint8_t buf[18];
    std::memset(buf, 0xee, sizeof buf);
    tb1s_wipe(buf + 1, 0);
    EXPECT_EQ(to_hex(buf, 18), std::string(36, 'e')) << "length 0 must touch nothing";
    tb1s_wipe(nullptr, 0);
    tb1s_wipe(buf + 1, 16);
    EXPECT_EQ(to_hex(buf, 18), "ee" + std::string(32, '0') + "ee");
}

TEST(Selftest, PassesAndReportsThroughTheExport)
{
    EXPECT_EQ(tb1s_selftest(), 0);
    EXPECT_STREQ(tbsmb1s_selftest(), "selftest ok\n");
    EXPECT_STREQ(tbsmb1s_selftest(), "selftest ok\n") << "a second call replaces the output slot";
}

}  // namespace
