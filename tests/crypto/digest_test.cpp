#include <gtest/gtest.h>

#include <string>

#include "crypto/crypto.h"
#include "support.h"

using namespace tb1s;

using tb1s_test::bytes;
using tb1s_test::to_hex;

namespace {

std::string md4_hex(const bytes &in)
{
    uint8_t d[16];
    tb1s_md4(in.data(), in.size(), d);
    return to_hex(d, 16);
}
std::string md5_hex(const bytes &in)
{
    uint8_t d[16];
    tb1s_md5(in.data(), in.size(), d);
    return to_hex(d, 16);
}
std::string sha256_hex(const bytes &in)
{
    uint8_t d[32];
    tb1s_sha256(in.data(), in.size(), d);
    return to_hex(d, 32);
}

bytes text(const std::string &s) { return bytes(s.begin(), s.end()); }

std::string repeat(const std::string &s, int times)
{
    std::string r;
    for (int i = 0; i < times; i++)
        r += s;
    return r;
}

// Bytes 0, 1, 2, ... n-1.
bytes seq(size_t n)
{
    bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = uint8_t(i);
    return b;
}

TEST(Digest, Md4Md5PublishedSuites)
{
    struct row {
        std::string in;
        const char *md4, *md5;
    };
    const row rows[] = {
        {"", "31d6cfe0d16ae931b73c59d7e0c089c0", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "bde52cb31de33e46245e05fbdbd6fb24", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "a448017aaf21d8525fc10ae87aa6729d", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "d9130a8164549fe818874806e1c7014b", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "d79e1c308aa5bbcdeea8ed63df412da9", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "043f8582f241db351ce627e153e7f0e4",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {repeat("1234567890", 8), "e33b4ddc9c38f2199c3e7b164fcc0536", "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const row &r : rows) {
        EXPECT_EQ(md4_hex(text(r.in)), r.md4) << "MD4 of \"" << r.in << "\"";
        EXPECT_EQ(md5_hex(text(r.in)), r.md5) << "MD5 of \"" << r.in << "\"";
    }
}

TEST(Digest, NullDataWithZeroLength)
{
    uint8_t d[32];
    tb1s_md4(nullptr, 0, d);
    EXPECT_EQ(to_hex(d, 16), "31d6cfe0d16ae931b73c59d7e0c089c0");
    tb1s_md5(nullptr, 0, d);
    EXPECT_EQ(to_hex(d, 16), "d41d8cd98f00b204e9800998ecf8427e");
    tb1s_sha256(nullptr, 0, d);
    EXPECT_EQ(to_hex(d, 32), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(Digest, Sha256PublishedVectors)
{
    struct row {
        std::string in;
        const char *sha;
    };
    const row rows[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    };
    for (const row &r : rows)
        EXPECT_EQ(sha256_hex(text(r.in)), r.sha) << "SHA-256 of \"" << r.in << "\"";
}

// Lengths around the padding boundary: up to 55 bytes the length fits in
// the last data block, from 56 it needs a second one. Expected digests of
// bytes 0..n-1 come from OpenSSL.
TEST(Digest, PaddingBoundaries)
{
    struct row {
        size_t n;
        const char *md4, *md5, *sha;
    };
    const row rows[] = {
        {55, "cc8a7f2bd608e3eeecb7f121d13bea55", "6912ee65fff2d9f9ce2508cddf8bcda0",
         "463eb28e72f82e0a96c0a4cc53690c571281131f672aa229e0d45ae59b598b59"},
        {56, "b8e94b6408bbfa6ec9805bf21bc05cbd", "51fdd1acda72405dfdfa03fcb85896d7",
         "da2ae4d6b36748f2a318f23e7ab1dfdf45acdc9d049bd80e59de82a60895f562"},
        {63, "54ba4472fcd03e99cf28f90eed9f2ae0", "48a6295221902e8e0938f773a7185e72",
         "29af2686fd53374a36b0846694cc342177e428d1647515f078784d69cdb9e488"},
        {64, "2de6578f0e7898fa17acd84b79685d3a", "b2d3f56bc197fd985d5965079b5e7148",
         "fdeab9acf3710362bd2658cdc9a29e8f9c757fcf9811603a8c447cd1d9151108"},
        {65, "3a4f2ca37eebdf6dc99a6155517b74fc", "8bd7053801c768420faf816fadba971c",
         "4bfd2c8b6f1eec7a2afeb48b934ee4b2694182027e6d0fc075074f2fabb31781"},
    };
    for (const row &r : rows) {
        bytes in = seq(r.n);
        EXPECT_EQ(md4_hex(in), r.md4) << "MD4, " << r.n << " bytes";
        EXPECT_EQ(md5_hex(in), r.md5) << "MD5, " << r.n << " bytes";
        EXPECT_EQ(sha256_hex(in), r.sha) << "SHA-256, " << r.n << " bytes";
    }
}

// Every split point of a three-block input, with an empty update in the
// middle, and byte-by-byte feeding all give the one-shot digest.
TEST(Digest, Sha256AnySplitOfUpdates)
{
    bytes in = seq(150);
    std::string want = sha256_hex(in);
    for (size_t k = 0; k <= in.size(); k++) {
        tb1s_sha256_ctx c;
        uint8_t d[32];
        tb1s_sha256_init(&c);
        tb1s_sha256_update(&c, in.data(), k);
        tb1s_sha256_update(&c, nullptr, 0);
        tb1s_sha256_update(&c, in.data() + k, in.size() - k);
        tb1s_sha256_final(&c, d);
        ASSERT_EQ(to_hex(d, 32), want) << "split at " << k;
    }
    tb1s_sha256_ctx c;
    uint8_t d[32];
    tb1s_sha256_init(&c);
    for (uint8_t b : in)
        tb1s_sha256_update(&c, &b, 1);
    tb1s_sha256_final(&c, d);
    EXPECT_EQ(to_hex(d, 32), want) << "byte by byte";
}

}  // namespace
