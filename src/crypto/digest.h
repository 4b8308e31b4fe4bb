// Pieces shared by the digest and MAC files of this module: the MD4/MD5
// block functions, the buffering of partial blocks and the final padding.
#pragma once

#include <cstdint>
#include <cstring>

#include "crypto/crypto.h"

namespace tb1s {

// Compress one 64-byte block into a four-word state.
void md4_block(uint32_t st[4], const uint8_t b[64]);
void md5_block(uint32_t st[4], const uint8_t b[64]);

// Builds the last one or two blocks of a Merkle-Damgard digest in `tail`:
// the r (< 64) bytes left over, 0x80, zeros up to 56 mod 64, and `total`
// bytes as a 64-bit bit count, little-endian (MD4, MD5) or big-endian
// (SHA-256). Returns the number of blocks built.
int md_tail(const uint8_t *rest, uint64_t r, uint64_t total, bool big_endian, uint8_t tail[128]);

// Adds n bytes to a context with `state`, `count`, `block` and `fill`,
// compressing each full block with block(c->state, bytes).
template <class Ctx, class Block>
void md_feed(Ctx *c, const void *p, uint64_t n, Block block)
{
    if (n == 0)
        return;  // p may be null for an empty update
    const uint8_t *d = static_cast<const uint8_t *>(p);
    c->count += n;
    if (c->fill > 0) {
        uint64_t take = 64 - c->fill < n ? 64 - c->fill : n;
        std::memcpy(c->block + c->fill, d, take);
        c->fill += take;
        d += take;
        n -= take;
        if (c->fill < 64)
            return;
        block(c->state, c->block);
        c->fill = 0;
    }
    for (; n >= 64; d += 64, n -= 64)
        block(c->state, d);
    if (n > 0)
        std::memcpy(c->block, d, n);
    c->fill = n;
}

}  // namespace tb1s
