// Digests, MACs, RC4 and key derivation: the published algorithms, with no
// allocation, no locks and no failures. Contexts belong to the caller.
#pragma once

#include <cstdint>

namespace tb1s {

struct tb1s_sha256_ctx {
    uint32_t state[8];
    uint64_t count;     // bytes fed so far
    uint8_t block[64];  // partial block
    uint64_t fill;      // bytes held in block
};

struct tb1s_md5_ctx {
    uint32_t state[4];
    uint64_t count;
    uint8_t block[64];
    uint64_t fill;
};

struct tb1s_hmac256_ctx {
    tb1s_sha256_ctx inner;  // first: feeding the HMAC feeds its inner hash
    tb1s_sha256_ctx outer;
    uint8_t opad[64];
};

struct tb1s_hmacmd5_ctx {
    uint8_t opad[64];
    tb1s_md5_ctx inner;
    tb1s_md5_ctx outer;
};

struct tb1s_rc4_ctx {
    uint8_t S[256];
    uint8_t i, j;
};

void tb1s_md4(const void *p, uint64_t n, uint8_t out[16]);
void tb1s_md5(const void *p, uint64_t n, uint8_t out[16]);

// Incremental MD5 (HMAC-MD5 and reply signatures run on it); the final
// wipes the context, which may hold key material.
void tb1s_md5_init(tb1s_md5_ctx *c);
void tb1s_md5_update(tb1s_md5_ctx *c, const void *p, uint64_t n);
void tb1s_md5_final(tb1s_md5_ctx *c, uint8_t out[16]);

void tb1s_sha256_init(tb1s_sha256_ctx *c);
void tb1s_sha256_update(tb1s_sha256_ctx *c, const void *p, uint64_t n);
void tb1s_sha256_final(tb1s_sha256_ctx *c, uint8_t out[32]);
void tb1s_sha256(const void *p, uint64_t n, uint8_t out[32]);

void tb1s_hmac256_init(tb1s_hmac256_ctx *c, const void *key, uint64_t key_len);
void tb1s_hmac256_update(tb1s_hmac256_ctx *c, const void *p, uint64_t n);
void tb1s_hmac256_final(tb1s_hmac256_ctx *c, uint8_t out[32]);
void tb1s_hmac256(const void *key, uint64_t key_len, const void *p, uint64_t n, uint8_t out[32]);

void tb1s_hmacmd5_init(tb1s_hmacmd5_ctx *c, const void *key, uint64_t key_len);
void tb1s_hmacmd5_update(tb1s_hmacmd5_ctx *c, const void *p, uint64_t n);
void tb1s_hmacmd5_final(tb1s_hmacmd5_ctx *c, uint8_t out[16]);
void tb1s_hmacmd5(const void *key, uint64_t key_len, const void *p, uint64_t n, uint8_t out[16]);

void tb1s_rc4_init(tb1s_rc4_ctx *c, const void *key, uint64_t key_len);  // key_len >= 1
void tb1s_rc4(tb1s_rc4_ctx *c, void *p, uint64_t n);                     // in place

// Counter-mode KDF with HMAC-SHA256: blocks of HMAC(key, be32(i) || label
// with its NUL || context || 00 00 00 80).
void tb1s_kdf_ctr_hmacsha256(const void *key, uint64_t key_len, const char *label, const void *ctx,
                             uint64_t ctx_len, uint8_t *out, uint64_t out_len);

// Zeroes memory in a way the optimiser cannot drop.
void tb1s_wipe(void *p, uint64_t n);
// 1 when equal; time depends on n only.
int tb1s_ct_equal(const void *a, const void *b, uint64_t n);

// Known-answer self-test of every primitive: 0 all passed, -1 otherwise.
int tb1s_selftest();

}  // namespace tb1s
