#include <gtest/gtest.h>

#include <cstdlib>

#include "sess/handlers.h"
#include "util/bytes.h"

using namespace tb1s;

namespace {

struct fixture {
    tb1s_session *s = static_cast<tb1s_session *>(std::calloc(1, sizeof(tb1s_session)));
    tb1s_reply rep{{}, -1, 0};
    fixture()
    {
        uint8_t header[33] = {0xFF, 'S', 'M', 'B'};
        tb1s_buf_put(&rep.buf, header, sizeof header);
    }
    ~fixture()
    {
        tb1s_buf_free(&rep.buf);
        std::free(s);
    }
    const uint8_t *at(size_t off) const { return rep.buf.data + off; }
};

// Word offsets (from the header start) of the fields checked below.
constexpr size_t k_param_count = 33 + 6, k_param_off = 33 + 8, k_data_count = 33 + 12, k_data_off = 33 + 14,
                 k_byte_count = 53;

TEST(TransReply, Trans2PadsTheDataToFourBytes)
{
    fixture f;
    f.s->unicode = 1;
    const uint8_t params[2] = {0xAA, 0xBB};
    const uint8_t data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    trans2_reply(f.s, &f.rep, params, 2, data, 10);
    EXPECT_EQ(f.rep.wc, 10);
    EXPECT_EQ(f.rep.unicode, 1);
    EXPECT_EQ(ld16le(f.at(k_param_count)), 2);
    EXPECT_EQ(ld16le(f.at(k_param_off)), 55);
    EXPECT_EQ(ld16le(f.at(k_data_count)), 10);
    EXPECT_EQ(ld16le(f.at(k_data_off)), 60);
    EXPECT_EQ(ld16le(f.at(k_byte_count)), 15);
    ASSERT_EQ(f.rep.buf.len, 70u);
    EXPECT_EQ(f.at(55)[0], 0xAA);
    EXPECT_EQ(f.at(57)[0] | f.at(58)[0] | f.at(59)[0], 0) << "three zero pad bytes";
    EXPECT_EQ(f.at(60)[0], 1);
    EXPECT_EQ(f.at(69)[0], 10);
}

TEST(TransReply, Trans2WithoutBlocksAndDataOnly)
{
    {
        fixture f;
        trans2_reply(f.s, &f.rep, nullptr, 0, nullptr, 0);
        EXPECT_EQ(ld16le(f.at(k_param_off)), 0);
        EXPECT_EQ(ld16le(f.at(k_data_off)), 0);
        EXPECT_EQ(ld16le(f.at(k_byte_count)), 1);
        EXPECT_EQ(f.rep.buf.len, 56u);
    }
    {
        fixture f;
        const uint8_t data[40] = {7};
        trans2_reply(f.s, &f.rep, nullptr, 0, data, 40);
        EXPECT_EQ(ld16le(f.at(k_data_off)), 56);
        EXPECT_EQ(ld16le(f.at(k_byte_count)), 41);
        EXPECT_EQ(f.at(56)[0], 7);
    }
}

TEST(TransReply, TransCarriesDataAt56)
{
    fixture f;
    const uint8_t data[3] = {5, 6, 7};
    trans_reply(&f.rep, data, 3);
    EXPECT_EQ(f.rep.wc, 10);
    EXPECT_EQ(ld16le(f.at(33 + 2)), 3) << "TotalDataCount";
    EXPECT_EQ(ld16le(f.at(k_param_count)), 0);
    EXPECT_EQ(ld16le(f.at(k_data_off)), 56);
    EXPECT_EQ(ld16le(f.at(k_byte_count)), 4);
    EXPECT_EQ(f.at(56)[0], 5);
    EXPECT_EQ(f.rep.buf.len, 59u);
}

}  // namespace
