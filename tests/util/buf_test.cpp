#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "util/buf.h"
#include "util/bytes.h"
#include "support.h"

using namespace tb1s;

namespace {

using tb1s_test::owned_buf;

TEST(Buf, GrowsInPowersOfTwoFrom256)
{
    struct row {
        uint64_t n, cap;
    };
    for (row r : {row{1, 256}, {255, 256}, {256, 512}, {300, 512}, {1000, 1024}}) {
        owned_buf o;
        std::string s(r.n, 'x');
        tb1s_buf_put(&o.b, s.data(), s.size());
        EXPECT_EQ(o.b.cap, r.cap) << "after appending " << r.n << " bytes";
        EXPECT_EQ(o.b.len, r.n);
        EXPECT_EQ(o.b.data[r.n], 0) << "content must stay NUL-terminated";
    }
}

TEST(Buf, GrowthKeepsContent)
{
    owned_buf o;
    std::string first(200, 'a'), more(100, 'b');
    tb1s_buf_put(&o.b, first.data(), first.size());
    ASSERT_EQ(o.b.cap, 256u);
    tb1s_buf_put(&o.b, more.data(), more.size());
    EXPECT_EQ(o.b.cap, 512u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(o.b.data)), first + more);
}

TEST(Buf, EmptyPutGivesPresentEmptyText)
{
    owned_buf o;
    tb1s_buf_put(&o.b, nullptr, 0);
    ASSERT_NE(o.b.data, nullptr);
    EXPECT_EQ(o.b.len, 0u);
    EXPECT_EQ(o.b.cap, 256u);
    EXPECT_EQ(o.b.data[0], 0);
}

TEST(Buf, OomIsStickyUntilFree)
{
    owned_buf o;
    tb1s_buf_str(&o.b, "abc");
    o.b.oom = 1;
    tb1s_buf_byte(&o.b, 'x');
    tb1s_buf_str(&o.b, "more");
    EXPECT_EQ(o.b.len, 3u);
    tb1s_buf_free(&o.b);
    EXPECT_EQ(o.b.oom, 0);
    tb1s_buf_byte(&o.b, 'y');
    EXPECT_EQ(o.b.len, 1u);
    EXPECT_EQ(o.b.data[0], 'y');
}

TEST(Buf, PrintfShortAndLong)
{
    for (size_t n : {size_t(10), size_t(511), size_t(512), size_t(600), size_t(5000)}) {
        owned_buf o;
        tb1s_buf_str(&o.b, "<");
        std::string s(n, 'q');
        tb1s_buf_printf(&o.b, "%s", s.c_str());
        EXPECT_EQ(o.b.len, n + 1) << n;
        EXPECT_EQ(std::string(reinterpret_cast<char *>(o.b.data)), "<" + s) << n;
    }
}

TEST(Buf, WritersAreLittleEndian)
{
    owned_buf o;
    w16(&o.b, 0x0102);
    w32(&o.b, 0x03040506);
    w64(&o.b, 0x0708090a0b0c0d0eULL);
    wtime(&o.b, 0);
    wtime(&o.b, 1);
    const uint8_t want[] = {0x02, 0x01, 0x06, 0x05, 0x04, 0x03, 0x0e, 0x0d, 0x0c, 0x0b, 0x0a, 0x09, 0x08, 0x07,
                            0,    0,    0,    0,    0,    0,    0,    0};
    ASSERT_EQ(o.b.len, sizeof want + 8);
    EXPECT_EQ(std::memcmp(o.b.data, want, sizeof want), 0);
    EXPECT_EQ(ld64le(o.b.data + sizeof want), (1 + 11644473600ULL) * 10000000ULL);
}

TEST(ErrorSlot, FailRecordsAndReturnsCode)
{
    EXPECT_EQ(tb1s_fail(-6, "table %d", 7), -6);
    EXPECT_STREQ(tb1s_error(), "table 7");
    std::string long_msg(600, 'm');
    tb1s_set_error("%s", long_msg.c_str());
    EXPECT_EQ(std::string(tb1s_error()), long_msg.substr(0, 511));
}

// The switch is read once and again at a reload (each server start), not at
// every trace point.
TEST(Trace, ReadsTheEnvironmentAtAReload)
{
    unsetenv("TBSMB1S_TRACE");
    tb1s_trace_reload();
    EXPECT_FALSE(tb1s_trace_on());
    setenv("TBSMB1S_TRACE", "", 1);
    EXPECT_FALSE(tb1s_trace_on()) << "no getenv per call";
    tb1s_trace_reload();
    EXPECT_TRUE(tb1s_trace_on()) << "an empty value turns tracing on";
    unsetenv("TBSMB1S_TRACE");
    tb1s_trace_reload();
    EXPECT_FALSE(tb1s_trace_on());
}

TEST(Reader, StickyErrorAndPartialValues)
{
    const uint8_t b[] = {0x34, 0x12, 0x78};
    tb1s_rd r = rd_make(b, sizeof b);
    EXPECT_EQ(rd_u16(&r), 0x1234u);
    EXPECT_EQ(r.err, 0);
    EXPECT_EQ(rd_u16(&r), 0x78u) << "missing high bytes read as zero";
    EXPECT_EQ(r.err, 1);
    r.pos = 0;
    EXPECT_EQ(rd_take(&r, 3), b);
    EXPECT_EQ(r.err, 1) << "the error is never cleared by a read";
    tb1s_rd s = rd_make(b, sizeof b);
    EXPECT_EQ(rd_take(&s, 4), nullptr);
    EXPECT_EQ(s.err, 1);
    EXPECT_EQ(s.pos, 0u);
}

}  // namespace
