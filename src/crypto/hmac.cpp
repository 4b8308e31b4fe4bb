// HMAC (RFC 2104) over SHA-256 and MD5, both with 64-byte blocks.
#include "crypto/crypto.h"
#include "crypto/digest.h"

namespace tb1s {

namespace {

// The digest an HMAC runs on: its context, incremental calls and size.
struct sha256_digest {
    using ctx = tb1s_sha256_ctx;
    static constexpr uint64_t size = 32;
    static void hash(const void *p, uint64_t n, uint8_t *out) { tb1s_sha256(p, n, out); }
    static void init(ctx *c) { tb1s_sha256_init(c); }
    static void update(ctx *c, const void *p, uint64_t n) { tb1s_sha256_update(c, p, n); }
    static void final(ctx *c, uint8_t *out) { tb1s_sha256_final(c, out); }
};

struct md5_digest {
    using ctx = tb1s_md5_ctx;
    static constexpr uint64_t size = 16;
    static void hash(const void *p, uint64_t n, uint8_t *out) { tb1s_md5(p, n, out); }
    static void init(ctx *c) { tb1s_md5_init(c); }
    static void update(ctx *c, const void *p, uint64_t n) { tb1s_md5_update(c, p, n); }
    static void final(ctx *c, uint8_t *out) { tb1s_md5_final(c, out); }
};

// Keys the inner hash with the inner pad and keeps the outer pad. A key
// longer than a block is digested first.
template <class D, class Hmac>
void hmac_init(Hmac *c, const void *key, uint64_t key_len)
{
    uint8_t kb[64] = {}, ipad[64];
    if (key_len > 64)
        D::hash(key, key_len, kb);
    else if (key_len > 0)
        std::memcpy(kb, key, key_len);
    for (int i = 0; i < 64; i++) {
        c->opad[i] = kb[i] ^ 0x5c;
        ipad[i] = kb[i] ^ 0x36;
    }
    D::init(&c->inner);
    D::update(&c->inner, ipad, 64);
    tb1s_wipe(kb, sizeof kb);
    tb1s_wipe(ipad, sizeof ipad);
}

// The digest finals wipe the inner and outer states; the pad is wiped here,
// so a finished context holds no key material.
template <class D, class Hmac>
void hmac_final(Hmac *c, uint8_t *out)
{
    uint8_t ih[D::size];
    D::final(&c->inner, ih);
    D::init(&c->outer);
    D::update(&c->outer, c->opad, 64);
    D::update(&c->outer, ih, sizeof ih);
    D::final(&c->outer, out);
    tb1s_wipe(ih, sizeof ih);
    tb1s_wipe(c->opad, sizeof c->opad);
}

}  // namespace

void tb1s_hmac256_init(tb1s_hmac256_ctx *c, const void *key, uint64_t key_len)
{
    hmac_init<sha256_digest>(c, key, key_len);
}

void tb1s_hmac256_update(tb1s_hmac256_ctx *c, const void *p, uint64_t n) { tb1s_sha256_update(&c->inner, p, n); }

void tb1s_hmac256_final(tb1s_hmac256_ctx *c, uint8_t out[32]) { hmac_final<sha256_digest>(c, out); }

void tb1s_hmac256(const void *key, uint64_t key_len, const void *p, uint64_t n, uint8_t out[32])
{
    tb1s_hmac256_ctx c;
    tb1s_hmac256_init(&c, key, key_len);
    tb1s_hmac256_update(&c, p, n);
    tb1s_hmac256_final(&c, out);
}

void tb1s_hmacmd5_init(tb1s_hmacmd5_ctx *c, const void *key, uint64_t key_len)
{
    hmac_init<md5_digest>(c, key, key_len);
}

void tb1s_hmacmd5_update(tb1s_hmacmd5_ctx *c, const void *p, uint64_t n) { tb1s_md5_update(&c->inner, p, n); }

void tb1s_hmacmd5_final(tb1s_hmacmd5_ctx *c, uint8_t out[16]) { hmac_final<md5_digest>(c, out); }

void tb1s_hmacmd5(const void *key, uint64_t key_len, const void *p, uint64_t n, uint8_t out[16])
{
    tb1s_hmacmd5_ctx c;
    tb1s_hmacmd5_init(&c, key, key_len);
    tb1s_hmacmd5_update(&c, p, n);
    tb1s_hmacmd5_final(&c, out);
}

}  // namespace tb1s
