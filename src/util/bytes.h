// Byte-order helpers and the one bounded reader used for every wire format
// (SMB words and bytes, DER, NTLMSSP, RPC). No code casts pointers over wire
// bytes; it loads and stores through these helpers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tb1s {

inline constexpr uint16_t ld16le(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }
inline constexpr uint32_t ld32le(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline constexpr uint64_t ld64le(const uint8_t *p) { return ld32le(p) | uint64_t(ld32le(p + 4)) << 32; }
inline constexpr uint16_t ld16be(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }
inline constexpr uint32_t ld32be(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

inline void st16le(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void st32le(uint8_t *p, uint32_t v)
{
    st16le(p, v);
    st16le(p + 2, v >> 16);
}
inline void st64le(uint8_t *p, uint64_t v)
{
    st32le(p, uint32_t(v));
    st32le(p + 4, uint32_t(v >> 32));
}
inline void st16be(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
inline void st32be(uint8_t *p, uint32_t v)
{
    st16be(p, v >> 16);
    st16be(p + 2, v);
}

// A cursor over [data, data + len). Every read checks before it reads; a read
// that runs past the end sets the sticky `err` and yields zeros for the
// missing bytes, so a handler reads a group of fields and tests `err` once.
struct tb1s_rd {
    const uint8_t *data;  // first byte of the region
    uint64_t len;         // size of the region
    uint64_t pos;         // next byte to read
    int32_t err;          // 1 once a read ran past len; never cleared by a read
};

// The DER and NTLMSSP readers use the same cursor under this name.
using tb1s_cursor = tb1s_rd;

inline tb1s_rd rd_make(const uint8_t *data, uint64_t len) { return tb1s_rd{data, len, 0, 0}; }
inline uint64_t rd_left(const tb1s_rd *r) { return r->pos < r->len ? r->len - r->pos : 0; }

// Reads n (at most 8) bytes little-endian, byte by byte.
inline uint64_t rd_le(tb1s_rd *r, int n)
{
    uint64_t v = 0;
    for (int i = 0; i < n; i++) {
        if (r->pos >= r->len) {
            r->err = 1;
            return v;
        }
        v |= uint64_t(r->data[r->pos++]) << (8 * i);
    }
    return v;
}
inline uint32_t rd_u8(tb1s_rd *r) { return uint32_t(rd_le(r, 1)); }
inline uint32_t rd_u16(tb1s_rd *r) { return uint32_t(rd_le(r, 2)); }
inline uint32_t rd_u32(tb1s_rd *r) { return uint32_t(rd_le(r, 4)); }
inline uint64_t rd_u64(tb1s_rd *r) { return rd_le(r, 8); }

// Takes n bytes: a pointer to them, or null with `err` set when fewer remain.
inline const uint8_t *rd_take(tb1s_rd *r, uint64_t n)
{
    if (rd_left(r) < n) {
        r->err = 1;
        return nullptr;
    }
    const uint8_t *p = r->data + r->pos;
    r->pos += n;
    return p;
}
inline void rd_skip(tb1s_rd *r, uint64_t n) { (void)rd_take(r, n); }

}  // namespace tb1s
