// RC4 and the counter-mode key derivation built on HMAC-SHA256.
#include <cstring>

#include "crypto/crypto.h"
#include "util/bytes.h"

namespace tb1s {

void tb1s_rc4_init(tb1s_rc4_ctx *c, const void *key, uint64_t key_len)
{
    const uint8_t *k = static_cast<const uint8_t *>(key);
    for (int n = 0; n < 256; n++)
        c->S[n] = uint8_t(n);
    uint8_t j = 0;
    for (int n = 0; n < 256; n++) {
        // An empty key is outside the contract; it mixes as one zero byte
        // rather than dividing by zero.
        uint8_t kb = key_len > 0 ? k[uint64_t(n) % key_len] : 0;
        j = uint8_t(j + c->S[n] + kb);
        uint8_t t = c->S[n];
        c->S[n] = c->S[j];
        c->S[j] = t;
    }
    c->i = 0;
    c->j = 0;
}

void tb1s_rc4(tb1s_rc4_ctx *c, void *p, uint64_t n)
{
    uint8_t *d = static_cast<uint8_t *>(p);
    uint8_t i = c->i, j = c->j;
    for (uint64_t k = 0; k < n; k++) {
        i = uint8_t(i + 1);
        j = uint8_t(j + c->S[i]);
        uint8_t t = c->S[i];
        c->S[i] = c->S[j];
        c->S[j] = t;
        d[k] ^= c->S[uint8_t(c->S[i] + c->S[j])];
    }
    c->i = i;
    c->j = j;
}

// Block n is HMAC(key, be32(n) || label || NUL || context || be32(128)).
// There is no separator besides the label's own NUL, and the length field
// is 128 whatever out_len is. The keyed HMAC state is built once and copied
// for each block.
void tb1s_kdf_ctr_hmacsha256(const void *key, uint64_t key_len, const char *label, const void *ctx,
                             uint64_t ctx_len, uint8_t *out, uint64_t out_len)
{
    if (out_len == 0)
        return;
    constexpr uint8_t k_bits[4] = {0, 0, 0, 0x80};
    tb1s_hmac256_ctx keyed;
    tb1s_hmac256_init(&keyed, key, key_len);
    uint8_t blk[32];
    for (uint32_t n = 1; out_len > 0; n++) {
        tb1s_hmac256_ctx h = keyed;
        uint8_t ctr[4];
        st32be(ctr, n);
        tb1s_hmac256_update(&h, ctr, sizeof ctr);
        if (label)
            tb1s_hmac256_update(&h, label, std::strlen(label) + 1);
        tb1s_hmac256_update(&h, ctx, ctx_len);
        tb1s_hmac256_update(&h, k_bits, sizeof k_bits);
        tb1s_hmac256_final(&h, blk);
        uint64_t take = out_len < sizeof blk ? out_len : sizeof blk;
        std::memcpy(out, blk, take);
        out += take;
        out_len -= take;
    }
    tb1s_wipe(blk, sizeof blk);
    tb1s_wipe(&keyed, sizeof keyed);
}

}  // namespace tb1s
