// MD4 (RFC 1320) and MD5 (RFC 1321): block functions, padding, the one-shot
// digests and the incremental MD5 used by HMAC-MD5.
#include <bit>

#include "crypto/crypto.h"
#include "crypto/digest.h"
#include "util/bytes.h"

namespace tb1s {

namespace {

constexpr uint32_t k_md_iv[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

// MD4: message word order and rotation amounts of the three rounds.
constexpr uint8_t k_md4_word[48] = {
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,  //
    0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15,  //
    0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15,
};
constexpr int k_md4_rot[3][4] = {{3, 7, 11, 19}, {3, 5, 9, 13}, {3, 9, 11, 15}};
constexpr uint32_t k_md4_add[3] = {0, 0x5a827999, 0x6ed9eba1};

// MD5: the sine-derived additive constants and rotation amounts.
constexpr uint32_t k_md5_add[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};
constexpr int k_md5_rot[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

void load_words(uint32_t x[16], const uint8_t b[64])
{
    for (int i = 0; i < 16; i++)
        x[i] = ld32le(b + 4 * i);
}

void store_state(uint8_t out[16], const uint32_t st[4])
{
    for (int i = 0; i < 4; i++)
        st32le(out + 4 * i, st[i]);
}

}  // namespace

// Each step computes the new first word and rotates the roles (a, b, c, d)
// -> (d, new, b, c), so one loop body serves every step of a round.
void md4_block(uint32_t st[4], const uint8_t b[64])
{
    uint32_t x[16];
    load_words(x, b);
    uint32_t a = st[0], bb = st[1], c = st[2], d = st[3];
    for (int i = 0; i < 48; i++) {
        int r = i / 16;
        uint32_t f = r == 0 ? (bb & c) | (~bb & d) : r == 1 ? (bb & c) | (bb & d) | (c & d) : bb ^ c ^ d;
        uint32_t t = std::rotl(a + f + x[k_md4_word[i]] + k_md4_add[r], k_md4_rot[r][i % 4]);
        a = d;
        d = c;
        c = bb;
        bb = t;
    }
    st[0] += a;
    st[1] += bb;
    st[2] += c;
    st[3] += d;
}

void md5_block(uint32_t st[4], const uint8_t b[64])
{
    uint32_t x[16];
    load_words(x, b);
    uint32_t a = st[0], bb = st[1], c = st[2], d = st[3];
    for (int i = 0; i < 64; i++) {
        int r = i / 16;
        uint32_t f;
        int g;
        if (r == 0) {
            f = (bb & c) | (~bb & d);
            g = i;
        } else if (r == 1) {
            f = (d & bb) | (~d & c);
            g = (5 * i + 1) % 16;
        } else if (r == 2) {
            f = bb ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (bb | ~d);
            g = (7 * i) % 16;
        }
        uint32_t t = bb + std::rotl(a + f + k_md5_add[i] + x[g], k_md5_rot[r][i % 4]);
        a = d;
        d = c;
        c = bb;
        bb = t;
    }
    st[0] += a;
    st[1] += bb;
    st[2] += c;
    st[3] += d;
}

int md_tail(const uint8_t *rest, uint64_t r, uint64_t total, bool big_endian, uint8_t tail[128])
{
    int blocks = r < 56 ? 1 : 2;
    uint64_t end = 64 * uint64_t(blocks);
    std::memset(tail, 0, 128);
    if (r > 0)
        std::memcpy(tail, rest, r);
    tail[r] = 0x80;
    uint64_t bits = total * 8;
    if (big_endian) {
        st32be(tail + end - 8, uint32_t(bits >> 32));
        st32be(tail + end - 4, uint32_t(bits));
    } else {
        st64le(tail + end - 8, bits);
    }
    return blocks;
}

// The NT hash runs through here, so the tail block (which holds the end of
// the password) is wiped before returning.
void tb1s_md4(const void *p, uint64_t n, uint8_t out[16])
{
    const uint8_t *d = static_cast<const uint8_t *>(p);
    uint32_t st[4] = {k_md_iv[0], k_md_iv[1], k_md_iv[2], k_md_iv[3]};
    uint64_t whole = n - n % 64;
    for (uint64_t off = 0; off < whole; off += 64)
        md4_block(st, d + off);
    uint8_t tail[128];
    int blocks = md_tail(whole < n ? d + whole : nullptr, n - whole, n, false, tail);
    for (int i = 0; i < blocks; i++)
        md4_block(st, tail + 64 * i);
    store_state(out, st);
    tb1s_wipe(tail, sizeof tail);
}

void tb1s_md5_init(tb1s_md5_ctx *c)
{
    for (int i = 0; i < 4; i++)
        c->state[i] = k_md_iv[i];
    c->count = 0;
    c->fill = 0;
}

void tb1s_md5_update(tb1s_md5_ctx *c, const void *p, uint64_t n)
{
    md_feed(c, p, n, [](uint32_t *st, const uint8_t *b) { md5_block(st, b); });
}

void tb1s_md5_final(tb1s_md5_ctx *c, uint8_t out[16])
{
    uint8_t tail[128];
    int blocks = md_tail(c->block, c->fill, c->count, false, tail);
    for (int i = 0; i < blocks; i++)
        md5_block(c->state, tail + 64 * i);
    store_state(out, c->state);
    tb1s_wipe(tail, sizeof tail);
    tb1s_wipe(c, sizeof *c);
}

void tb1s_md5(const void *p, uint64_t n, uint8_t out[16])
{
    tb1s_md5_ctx c;
    tb1s_md5_init(&c);
    tb1s_md5_update(&c, p, n);
    tb1s_md5_final(&c, out);
}

}  // namespace tb1s
