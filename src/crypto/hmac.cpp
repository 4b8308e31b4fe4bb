// HMAC (RFC 2104) over SHA-256 and MD5, both with 64-byte blocks.
#include "crypto/crypto.h"
#include "crypto/digest.h"

namespace {

// Splits a 64-byte key block into the outer pad (kept) and the inner pad.
void pads(const uint8_t kb[64], uint8_t opad[64], uint8_t ipad[64])
{
    for (int i = 0; i < 64; i++) {
        opad[i] = kb[i] ^ 0x5c;
        ipad[i] = kb[i] ^ 0x36;
    }
}

// Copies a key of up to 64 bytes into kb, zero-padded. Longer keys are
// digested by the caller first.
void key_block(uint8_t kb[64], const void *key, uint64_t key_len)
{
    std::memset(kb, 0, 64);
    if (key_len > 0)
        std::memcpy(kb, key, key_len);
}

}  // namespace

void tb1s_hmac256_init(tb1s_hmac256_ctx *c, const void *key, uint64_t key_len)
{
    uint8_t kb[64], ipad[64];
    if (key_len > 64) {
        uint8_t h[32];
        tb1s_sha256(key, key_len, h);
        key_block(kb, h, sizeof h);
        tb1s_wipe(h, sizeof h);
    } else {
        key_block(kb, key, key_len);
    }
    pads(kb, c->opad, ipad);
    tb1s_sha256_init(&c->inner);
    tb1s_sha256_update(&c->inner, ipad, 64);
    tb1s_wipe(kb, sizeof kb);
    tb1s_wipe(ipad, sizeof ipad);
}

void tb1s_hmac256_update(tb1s_hmac256_ctx *c, const void *p, uint64_t n) { tb1s_sha256_update(&c->inner, p, n); }

// The digest finals wipe the inner and outer states; the pad is wiped here,
// so a finished context holds no key material.
void tb1s_hmac256_final(tb1s_hmac256_ctx *c, uint8_t out[32])
{
    uint8_t ih[32];
    tb1s_sha256_final(&c->inner, ih);
    tb1s_sha256_init(&c->outer);
    tb1s_sha256_update(&c->outer, c->opad, 64);
    tb1s_sha256_update(&c->outer, ih, sizeof ih);
    tb1s_sha256_final(&c->outer, out);
    tb1s_wipe(ih, sizeof ih);
    tb1s_wipe(c->opad, sizeof c->opad);
}

void tb1s_hmac256(const void *key, uint64_t key_len, const void *p, uint64_t n, uint8_t out[32])
{
    tb1s_hmac256_ctx c;
    tb1s_hmac256_init(&c, key, key_len);
    tb1s_hmac256_update(&c, p, n);
    tb1s_hmac256_final(&c, out);
}

void tb1s_hmacmd5_init(tb1s_hmacmd5_ctx *c, const void *key, uint64_t key_len)
{
    uint8_t kb[64], ipad[64];
    if (key_len > 64) {
        uint8_t h[16];
        tb1s_md5(key, key_len, h);
        key_block(kb, h, sizeof h);
        tb1s_wipe(h, sizeof h);
    } else {
        key_block(kb, key, key_len);
    }
    pads(kb, c->opad, ipad);
    md5_init(&c->inner);
    md5_update(&c->inner, ipad, 64);
    tb1s_wipe(kb, sizeof kb);
    tb1s_wipe(ipad, sizeof ipad);
}

void tb1s_hmacmd5_update(tb1s_hmacmd5_ctx *c, const void *p, uint64_t n) { md5_update(&c->inner, p, n); }

void tb1s_hmacmd5_final(tb1s_hmacmd5_ctx *c, uint8_t out[16])
{
    uint8_t ih[16];
    md5_final(&c->inner, ih);
    md5_init(&c->outer);
    md5_update(&c->outer, c->opad, 64);
    md5_update(&c->outer, ih, sizeof ih);
    md5_final(&c->outer, out);
    tb1s_wipe(ih, sizeof ih);
    tb1s_wipe(c->opad, sizeof c->opad);
}

void tb1s_hmacmd5(const void *key, uint64_t key_len, const void *p, uint64_t n, uint8_t out[16])
{
    tb1s_hmacmd5_ctx c;
    tb1s_hmacmd5_init(&c, key, key_len);
    tb1s_hmacmd5_update(&c, p, n);
    tb1s_hmacmd5_final(&c, out);
}
