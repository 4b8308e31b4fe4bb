// Known-answer self-test of the primitives. Local state only: it allocates
// nothing, traces nothing and leaves the error slot alone.
#include <string_view>

#include "crypto/crypto.h"

namespace tb1s {

namespace {

using namespace std::string_view_literals;

enum class prim { sha256, md5, md4, hmac256, hmacmd5, rc4, nt_hash, kdf };

// One check: for the MACs and RC4 `key` is the key; for the key derivation
// `key`, `label` and `data` (the context) are its inputs and the output is
// as long as the expected text says. For the NT hash `data` is the ASCII
// word that is widened to UTF-16LE.
struct check {
    prim what;
    std::string_view key;
    const char *label;
    std::string_view data;
    std::string_view expect;  // lower-case hex
};

constexpr check k_checks[] = {
    {prim::sha256, {}, nullptr, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {prim::sha256, {}, nullptr, "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {prim::md5, {}, nullptr, "abc", "900150983cd24fb0d6963f7d28e17f72"},
    {prim::md4, {}, nullptr, "abc", "a448017aaf21d8525fc10ae87aa6729d"},
    {prim::md4, {}, nullptr, "", "31d6cfe0d16ae931b73c59d7e0c089c0"},
    {prim::hmac256, "\x0b\x0b\x0b\x0b\x0b\x0b\x0b\x0b\x0b\x0b\x0b\x0b\x0b\x0b\x0b\x0b\x0b\x0b\x0b\x0b", nullptr,
     "Hi There", "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
    {prim::hmacmd5, "\x0b\x0b\x0b\x0b\x0b\x0b\x0b\x0b\x0b\x0b\x0b\x0b\x0b\x0b\x0b\x0b", nullptr, "Hi There",
     "9294727a3638bb1c13f48ef8158bfc9d"},
    {prim::rc4, "\x01\x02\x03\x04\x05", nullptr, "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0"sv,
     "b2396305f03dc027ccc3524a0a1118a8"},
    {prim::md4, {}, nullptr, "message digest", "d9130a8164549fe818874806e1c7014b"},
    {prim::nt_hash, {}, nullptr, "password", "8846f7eaee8fb117ad06bdd830b7586c"},
    {prim::kdf, "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0"sv, "SMB2AESCMAC", "SmbSign\0"sv,
     "0d7203b6f675f05ec74d9706141e0cac"},
    {prim::hmac256, "Jefe", nullptr, "what do ya want for nothing?",
     "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
    {prim::hmacmd5, "Jefe", nullptr, "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
};

// Runs the check's primitive into out (room for 32 bytes); returns the
// number of bytes produced.
uint64_t run(const check &c, uint8_t out[32])
{
    const char *key = c.key.data();
    switch (c.what) {
    case prim::sha256: {
        tb1s_sha256_ctx h;
        tb1s_sha256_init(&h);
        tb1s_sha256_update(&h, c.data.data(), c.data.size());
        tb1s_sha256_final(&h, out);
        return 32;
    }
    case prim::md5:
        tb1s_md5(c.data.data(), c.data.size(), out);
        return 16;
    case prim::md4:
        tb1s_md4(c.data.data(), c.data.size(), out);
        return 16;
    case prim::hmac256: {
        tb1s_hmac256_ctx h;
        tb1s_hmac256_init(&h, key, c.key.size());
        tb1s_hmac256_update(&h, c.data.data(), c.data.size());
        tb1s_hmac256_final(&h, out);
        return 32;
    }
    case prim::hmacmd5: {
        tb1s_hmacmd5_ctx h;
        tb1s_hmacmd5_init(&h, key, c.key.size());
        tb1s_hmacmd5_update(&h, c.data.data(), c.data.size());
        tb1s_hmacmd5_final(&h, out);
        return 16;
    }
    case prim::rc4: {
        uint64_t n = c.data.size() < 32 ? c.data.size() : 32;
        for (uint64_t i = 0; i < n; i++)
            out[i] = uint8_t(c.data[i]);
        tb1s_rc4_ctx r;
        tb1s_rc4_init(&r, key, c.key.size());
        tb1s_rc4(&r, out, n);
        return n;
    }
    case prim::nt_hash: {
        uint8_t wide[64] = {};
        uint64_t n = c.data.size() < 32 ? c.data.size() : 32;
        for (uint64_t i = 0; i < n; i++)
            wide[2 * i] = uint8_t(c.data[i]);
        tb1s_md4(wide, 2 * n, out);
        return 16;
    }
    case prim::kdf: {
        uint64_t n = c.expect.size() / 2 < 32 ? c.expect.size() / 2 : 32;
        tb1s_kdf_ctr_hmacsha256(key, c.key.size(), c.label, c.data.data(), c.data.size(), out, n);
        return n;
    }
    }
    return 0;
}

}  // namespace

int tb1s_selftest()
{
    static constexpr char k_digits[] = "0123456789abcdef";
    int failed = 0;
    for (const check &c : k_checks) {
        uint8_t out[32] = {};
        uint64_t n = run(c, out);
        char hex[65];
        for (uint64_t i = 0; i < n; i++) {
            hex[2 * i] = k_digits[out[i] >> 4];
            hex[2 * i + 1] = k_digits[out[i] & 15];
        }
        if (std::string_view(hex, 2 * n) != c.expect)
            failed = 1;
    }
    return failed ? -1 : 0;
}

}  // namespace tb1s
