#include <gtest/gtest.h>

#include <string>

#include "crypto/crypto.h"
#include "support.h"

using namespace tb1s;

using tb1s_test::bytes;
using tb1s_test::to_hex;

namespace {

bytes text(const std::string &s) { return bytes(s.begin(), s.end()); }

// Key bytes 1, 4, 7, ... (3i + 1 mod 256), n of them.
bytes ramp_key(size_t n)
{
    bytes k(n);
    for (size_t i = 0; i < n; i++)
        k[i] = uint8_t(3 * i + 1);
    return k;
}

struct mac_row {
    const char *name;
    bytes key, data;
    const char *sha256, *md5;  // expected HMAC-SHA256 and HMAC-MD5; null: not covered
};

// RFC 4231 (SHA-256) and RFC 2202 (MD5) cases 1, 2 and 6 share keys and
// data except for the key lengths of case 1 (20 and 16 bytes) and case 6
// (131 and 80 bytes). The 64- and 65-byte keys sit on either side of the
// "hash the key first" boundary; their digests come from Python's hmac.
std::vector<mac_row> mac_rows()
{
    const bytes jefe_data = text("what do ya want for nothing?");
    const bytes big_data = text("Test Using Larger Than Block-Size Key - Hash Key First");
    const bytes edge_data = text("key length edge");
    return {
        {"RFC 4231 case 1", bytes(20, 0x0b), text("Hi There"),
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7", nullptr},
        {"RFC 2202 case 1", bytes(16, 0x0b), text("Hi There"), nullptr, "9294727a3638bb1c13f48ef8158bfc9d"},
        {"case 2", text("Jefe"), jefe_data, "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843",
         "750c783e6ab0b503eaa86e310a5db738"},
        {"RFC 4231 case 6", bytes(131, 0xaa), big_data,
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54", nullptr},
        {"RFC 2202 case 6", bytes(80, 0xaa), big_data, nullptr, "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
        {"64-byte key", ramp_key(64), edge_data, "0ef254e863749741682dff6e44fab37e7e510069270e7c128541f1170dd70ec1",
         "1dcabd92f10e3847152e65a9e77665f6"},
        {"65-byte key", ramp_key(65), edge_data, "a49d0bf14e88a533e8c56c98465e8cace72d61c03c2095a31acffd91e87b4f03",
         "caeacbc9967f8734cc758d5ff91021aa"},
    };
}

TEST(Mac, PublishedAndKeyLengthVectors)
{
    for (const mac_row &r : mac_rows()) {
        uint8_t d[32];
        if (r.sha256) {
            tb1s_hmac256(r.key.data(), r.key.size(), r.data.data(), r.data.size(), d);
            EXPECT_EQ(to_hex(d, 32), r.sha256) << "HMAC-SHA256 " << r.name;
        }
        if (r.md5) {
            tb1s_hmacmd5(r.key.data(), r.key.size(), r.data.data(), r.data.size(), d);
            EXPECT_EQ(to_hex(d, 16), r.md5) << "HMAC-MD5 " << r.name;
        }
    }
}

// Feeds `in` in two parts split at k (with an empty update between) or, for
// k < 0, byte by byte.
template <class Ctx, class Init, class Update, class Final>
std::string mac_split(const bytes &key, const bytes &in, long k, size_t out_len, Init init, Update update,
                      Final final)
{
    Ctx c;
    uint8_t d[32];
    init(&c, key.data(), key.size());
    if (k < 0) {
        for (uint8_t b : in)
            update(&c, &b, 1);
    } else {
        update(&c, in.data(), uint64_t(k));
        update(&c, nullptr, 0);
        update(&c, in.data() + k, in.size() - uint64_t(k));
    }
    final(&c, d);
    return to_hex(d, out_len);
}

TEST(Mac, AnySplitOfUpdatesMatchesOneShot)
{
    bytes key = text("Jefe");
    bytes in(150);
    for (size_t i = 0; i < in.size(); i++)
        in[i] = uint8_t(i * 7);
    uint8_t d[32];
    tb1s_hmac256(key.data(), key.size(), in.data(), in.size(), d);
    std::string want256 = to_hex(d, 32);
    tb1s_hmacmd5(key.data(), key.size(), in.data(), in.size(), d);
    std::string want_md5 = to_hex(d, 16);
    for (long k = -1; k <= long(in.size()); k++) {
        ASSERT_EQ(mac_split<tb1s_hmac256_ctx>(key, in, k, 32, tb1s_hmac256_init, tb1s_hmac256_update,
                                              tb1s_hmac256_final),
                  want256)
            << "HMAC-SHA256 split at " << k;
        ASSERT_EQ(mac_split<tb1s_hmacmd5_ctx>(key, in, k, 16, tb1s_hmacmd5_init, tb1s_hmacmd5_update,
                                              tb1s_hmacmd5_final),
                  want_md5)
            << "HMAC-MD5 split at " << k;
    }
}

}  // namespace
