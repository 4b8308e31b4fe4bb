// SHA-256 (FIPS 180-4): caller-owned context, incremental and one-shot.
#include <bit>

#include "crypto/crypto.h"
#include "crypto/digest.h"
#include "util/bytes.h"

namespace tb1s {

namespace {

constexpr uint32_t K256[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr uint32_t k_sha256_iv[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

void block(uint32_t st[8], const uint8_t b[64])
{
    uint32_t w[64];
    for (int i = 0; i < 16; i++)
        w[i] = ld32be(b + 4 * i);
    for (int i = 16; i < 64; i++) {
        uint32_t s0 = std::rotr(w[i - 15], 7) ^ std::rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = std::rotr(w[i - 2], 17) ^ std::rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t v[8];
    for (int i = 0; i < 8; i++)
        v[i] = st[i];
    for (int i = 0; i < 64; i++) {
        uint32_t a = v[0], e = v[4];
        uint32_t s1 = std::rotr(e, 6) ^ std::rotr(e, 11) ^ std::rotr(e, 25);
        uint32_t ch = (e & v[5]) ^ (~e & v[6]);
        uint32_t s0 = std::rotr(a, 2) ^ std::rotr(a, 13) ^ std::rotr(a, 22);
        uint32_t maj = (a & v[1]) ^ (a & v[2]) ^ (v[1] & v[2]);
        uint32_t t1 = v[7] + s1 + ch + K256[i] + w[i];
        uint32_t t2 = s0 + maj;
        for (int k = 7; k > 0; k--)
            v[k] = v[k - 1];
        v[4] += t1;
        v[0] = t1 + t2;
    }
    for (int i = 0; i < 8; i++)
        st[i] += v[i];
}

}  // namespace

void tb1s_sha256_init(tb1s_sha256_ctx *c)
{
    for (int i = 0; i < 8; i++)
        c->state[i] = k_sha256_iv[i];
    c->count = 0;
    c->fill = 0;
}

void tb1s_sha256_update(tb1s_sha256_ctx *c, const void *p, uint64_t n)
{
    md_feed(c, p, n, [](uint32_t *st, const uint8_t *b) { block(st, b); });
}

// Writes the digest, then wipes the context: it may hold key material when
// the input was an HMAC key or pad.
void tb1s_sha256_final(tb1s_sha256_ctx *c, uint8_t out[32])
{
    uint8_t tail[128];
    int blocks = md_tail(c->block, c->fill, c->count, true, tail);
    for (int i = 0; i < blocks; i++)
        block(c->state, tail + 64 * i);
    for (int i = 0; i < 8; i++)
        st32be(out + 4 * i, c->state[i]);
    tb1s_wipe(tail, sizeof tail);
    tb1s_wipe(c, sizeof *c);
}

void tb1s_sha256(const void *p, uint64_t n, uint8_t out[32])
{
    tb1s_sha256_ctx c;
    tb1s_sha256_init(&c);
    tb1s_sha256_update(&c, p, n);
    tb1s_sha256_final(&c, out);
}

}  // namespace tb1s
