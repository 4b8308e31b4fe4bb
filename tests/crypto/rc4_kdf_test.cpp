#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "crypto/crypto.h"
#include "support.h"

using namespace tb1s;

using tb1s_test::bytes;
using tb1s_test::from_hex;
using tb1s_test::to_hex;

namespace {

// RFC 6229 keystreams (zero bytes encrypted) at offset 0 (and 16 for the
// 40-bit key).
TEST(Rc4, Rfc6229Keystream)
{
    struct row {
        const char *key, *stream;
    };
    const row rows[] = {
        {"0102030405", "b2396305f03dc027ccc3524a0a1118a8 6982944f18fc82d589c403a47a0d0919"},
        {"0102030405060708090a0b0c0d0e0f10", "9ac7cc9a609d1ef7b2932899cde41b97"},
    };
    for (const row &r : rows) {
        bytes key = from_hex(r.key), want = from_hex(r.stream), data(want.size(), 0);
        tb1s_rc4_ctx c;
        tb1s_rc4_init(&c, key.data(), key.size());
        tb1s_rc4(&c, data.data(), data.size());
        EXPECT_EQ(to_hex(data), to_hex(want)) << "key " << r.key;
    }
}

// The state carries over: any split of 16 bytes into two calls (8 + 8
// among them) continues one keystream.
TEST(Rc4, CallsContinueOneKeystream)
{
    bytes key = from_hex("0102030405");
    bytes plain(16);
    for (size_t i = 0; i < plain.size(); i++)
        plain[i] = uint8_t(0x30 + i);
    bytes whole = plain;
    tb1s_rc4_ctx c;
    tb1s_rc4_init(&c, key.data(), key.size());
    tb1s_rc4(&c, whole.data(), whole.size());
    for (size_t k = 0; k <= 16; k++) {
        bytes parts = plain;
        tb1s_rc4_init(&c, key.data(), key.size());
        tb1s_rc4(&c, parts.data(), k);
        tb1s_rc4(&c, parts.data() + k, 16 - k);
        EXPECT_EQ(to_hex(parts), to_hex(whole)) << "split at " << k;
    }
}

TEST(Kdf, KnownAnswers)
{
    struct row {
        const char *key;
        const char *label;  // null: no label
        std::string ctx;
        size_t len;
        const char *out;
    };
    const row rows[] = {
        // Fixes the input layout: label NUL, context, no extra separator.
        {"00000000000000000000000000000000", "SMB2AESCMAC", std::string("SmbSign\0", 8), 16,
         "0d7203b6f675f05ec74d9706141e0cac"},
        // Two blocks: all of counter 1 and 8 bytes of counter 2.
        {"00000000000000000000000000000000", "SMB2AESCMAC", std::string("SmbSign\0", 8), 40,
         "0d7203b6f675f05ec74d9706141e0cac327efb6b9cedf262ba9fe74d0b7d6088d2de084bc15909b0"},
        // No label contributes no bytes, not even a NUL (value from Python's hmac).
        {"4a656665", nullptr, "abc", 20, "48c9f60c9a6e204d558a9ee707c380958e2647e6"},
    };
    for (const row &r : rows) {
        bytes key = from_hex(r.key), out(r.len + 1, 0xee);
        tb1s_kdf_ctr_hmacsha256(key.data(), key.size(), r.label, r.ctx.data(), r.ctx.size(), out.data(), r.len);
        EXPECT_EQ(to_hex(out.data(), r.len), r.out) << r.len << " bytes";
        EXPECT_EQ(out[r.len], 0xee) << "wrote past " << r.len << " bytes";
    }
}

TEST(Kdf, ZeroLengthLeavesOutputUntouched)
{
    uint8_t key[16] = {}, out[16];
    std::memset(out, 0xee, sizeof out);
    tb1s_kdf_ctr_hmacsha256(key, sizeof key, "SMB2AESCMAC", "SmbSign", 8, out, 0);
    EXPECT_EQ(to_hex(out, 16), std::string(32, 'e'));
    tb1s_kdf_ctr_hmacsha256(key, sizeof key, nullptr, nullptr, 0, nullptr, 0);  // no access at all
}

}  // namespace
