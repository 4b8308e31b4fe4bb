#include "util/text.h"

#include <algorithm>
#include <span>

#include "util/bytes.h"
#include "util/ucase_table.h"

namespace tb1s {

namespace {

constexpr char k_hex_digits[] = "0123456789abcdef";

bool hex_space(uint8_t c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

inline uint8_t fold(uint8_t c) { return c >= 'A' && c <= 'Z' ? uint8_t(c + 32) : c; }

// Writes n bytes at out[*pos] if they fit in cap; false when they do not.
bool put_bytes(char *out, int32_t cap, int32_t *pos, const uint8_t *b, int32_t n)
{
    if (n > cap - *pos)
        return false;
    for (int32_t i = 0; i < n; i++)
        out[*pos + i] = char(b[i]);
    *pos += n;
    return true;
}

// The run's image of cp, or cp when no run covers it.
uint32_t map_runs(std::span<const tb1s_case_run> runs, uint32_t cp)
{
    auto it = std::upper_bound(runs.begin(), runs.end(), cp,
                               [](uint32_t c, const tb1s_case_run &r) { return c < r.first; });
    if (it == runs.begin())
        return cp;
    const tb1s_case_run &r = *--it;
    uint32_t off = cp - r.first;
    if (off % r.stride != 0 || off / r.stride >= r.count)
        return cp;
    return uint32_t(int64_t(cp) + r.delta);
}

// One step of the case-insensitive walk: the folded code point at s and its
// length; a byte that starts no well-formed sequence stands for itself above
// every code point. At the NUL: 0 and length 0.
uint32_t folded_at(const char *s, int *len)
{
    if (*s == 0) {
        *len = 0;
        return 0;
    }
    uint32_t cp = 0;
    *len = tb1s_utf8_next(s, &cp);
    if (*len == 0) {
        *len = 1;
        return 0x110000 + uint8_t(*s);
    }
    return tb1s_ufold(cp);
}

bool put_unit(uint8_t *out, int32_t cap, int32_t *pos, uint32_t unit)
{
    if (cap - *pos < 2)
        return false;
    out[*pos] = uint8_t(unit);
    out[*pos + 1] = uint8_t(unit >> 8);
    *pos += 2;
    return true;
}

}  // namespace

int tb1s_hex_decode(const char *text, uint64_t text_len, uint8_t *out, uint64_t cap, uint64_t *count)
{
    if (count)
        *count = 0;
    if (text_len == 0)
        return 0;
    if (!text)
        return -1;
    uint64_t n = 0;
    int high = -1;  // first digit of the byte being assembled
    for (uint64_t i = 0; i < text_len; i++) {
        uint8_t c = uint8_t(text[i]);
        if (hex_space(c))
            continue;
        int v = tb1s_hex_value(c);
        if (v < 0)
            return -1;
        if (high < 0) {
            high = v;
            continue;
        }
        if (out) {
            if (n >= cap)
                return -1;
            out[n] = uint8_t(high << 4 | v);
        }
        n++;
        high = -1;
    }
    if (high >= 0)
        return -1;
    if (count)
        *count = n;
    return 0;
}

void tb1s_hex_encode(const uint8_t *p, uint64_t n, tb1s_buf *b)
{
    for (uint64_t i = 0; i < n; i++) {
        tb1s_buf_byte(b, k_hex_digits[p[i] >> 4]);
        tb1s_buf_byte(b, k_hex_digits[p[i] & 15]);
    }
}

int32_t tb1s_utf16_to_utf8(const uint8_t *p, uint64_t n, char *out, int32_t cap)
{
    if (n % 2 != 0 || !out || cap <= 0 || (!p && n))
        return -1;
    int32_t pos = 0;
    uint64_t i = 0;
    while (n - i >= 2) {
        uint32_t u = ld16le(p + i);
        i += 2;
        uint32_t cp;
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (n - i < 2)
                return -1;
            uint32_t lo = ld16le(p + i);
            if (lo < 0xDC00 || lo > 0xDFFF)
                return -1;
            i += 2;
            cp = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
        } else if ((u >= 0xDC00 && u <= 0xDFFF) || u == 0) {
            return -1;
        } else {
            cp = u;
        }
        uint8_t seq[4];
        int32_t len;
        if (cp <= 0x7F) {
            seq[0] = uint8_t(cp);
            len = 1;
        } else if (cp <= 0x7FF) {
            seq[0] = uint8_t(0xC0 | cp >> 6);
            seq[1] = uint8_t(0x80 | (cp & 0x3F));
            len = 2;
        } else if (cp <= 0xFFFF) {
            seq[0] = uint8_t(0xE0 | cp >> 12);
            seq[1] = uint8_t(0x80 | (cp >> 6 & 0x3F));
            seq[2] = uint8_t(0x80 | (cp & 0x3F));
            len = 3;
        } else {
            seq[0] = uint8_t(0xF0 | cp >> 18);
            seq[1] = uint8_t(0x80 | (cp >> 12 & 0x3F));
            seq[2] = uint8_t(0x80 | (cp >> 6 & 0x3F));
            seq[3] = uint8_t(0x80 | (cp & 0x3F));
            len = 4;
        }
        if (!put_bytes(out, cap, &pos, seq, len))
            return -1;
    }
    // The NUL needs a byte of its own beyond the text.
    if (pos >= cap)
        return -1;
    out[pos] = 0;
    return pos;
}

int tb1s_utf8_next(const char *s, uint32_t *cp)
{
    const auto *p = reinterpret_cast<const uint8_t *>(s);
    uint32_t c = p[0];
    if (c < 0x80) {
        *cp = c;
        return 1;
    }
    int more;
    uint32_t min;  // the smallest value that needs this many bytes
    if (c >= 0xC2 && c <= 0xDF) {
        more = 1, c &= 0x1F, min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        more = 2, c &= 0x0F, min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        more = 3, c &= 0x07, min = 0x10000;
    } else {
        return 0;  // continuation byte, overlong lead C0/C1, or F5..FF
    }
    // A NUL is no continuation byte, so the walk stops at the terminator.
    for (int k = 1; k <= more; k++) {
        if ((p[k] & 0xC0) != 0x80)
            return 0;
        c = c << 6 | (p[k] & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return 0;
    *cp = c;
    return more + 1;
}

int tb1s_utf8_valid(const char *s)
{
    if (!s)
        return 0;
    uint32_t cp;
    while (*s) {
        int n = tb1s_utf8_next(s, &cp);
        if (n == 0)
            return 0;
        s += n;
    }
    return 1;
}

int tb1s_utf8_to_utf16le(const char *s, uint8_t *out, int32_t cap, int32_t *written)
{
    if (written)
        *written = 0;
    if (!s || cap < 0 || (!out && cap > 0))
        return -1;
    int32_t pos = 0;
    while (*s) {
        uint32_t c;
        int n = tb1s_utf8_next(s, &c);
        if (n == 0)
            return -1;
        s += n;
        if (c <= 0xFFFF) {
            if (!put_unit(out, cap, &pos, c))
                return -1;
        } else {
            uint32_t w = c - 0x10000;
            if (cap - pos < 4)
                return -1;
            put_unit(out, cap, &pos, 0xD800 | w >> 10);
            put_unit(out, cap, &pos, 0xDC00 | (w & 0x3FF));
        }
    }
    if (written)
        *written = pos;
    return 0;
}

uint32_t tb1s_ufold(uint32_t cp)
{
    if (cp < 0x80)
        return cp >= 'A' && cp <= 'Z' ? cp + 32 : cp;
    return map_runs(k_fold_runs, cp);
}

uint32_t tb1s_uupper(uint32_t cp)
{
    if (cp < 0x80)
        return cp >= 'a' && cp <= 'z' ? cp - 32 : cp;
    return map_runs(k_upper_runs, cp);
}

int tb1s_ucasecmp(const char *a, const char *b)
{
    // A missing string compares as the empty one.
    a = a ? a : "";
    b = b ? b : "";
    for (;;) {
        int na, nb;
        uint32_t x = folded_at(a, &na), y = folded_at(b, &nb);
        if (x != y || x == 0)
            return int(x) - int(y);
        a += na;
        b += nb;
    }
}

void tb1s_utf16_upper(uint8_t *p, uint64_t n)
{
    if (!p)
        return;
    for (uint64_t i = 0; i + 1 < n; i += 2) {
        uint32_t u = ld16le(p + i);
        if (u >= 0xD800 && u <= 0xDFFF)
            continue;
        uint32_t up = tb1s_uupper(u);
        if (up <= 0xFFFF)  // always so with the tables of today
            st16le(p + i, up);
    }
}

int tb1s_casecmp(const char *a, const char *b)
{
    return tb1s_ncasecmp(a, b, UINT64_MAX);
}

int tb1s_ncasecmp(const char *a, const char *b, uint64_t n)
{
    // A missing string compares as the empty one.
    const uint8_t *x = reinterpret_cast<const uint8_t *>(a ? a : "");
    const uint8_t *y = reinterpret_cast<const uint8_t *>(b ? b : "");
    for (uint64_t i = 0; i < n; i++) {
        int d = int(fold(x[i])) - int(fold(y[i]));
        if (d != 0 || x[i] == 0)
            return d;
    }
    return 0;
}

int tb1s_glob_match(const char *pattern, const char *name)
{
    if (!pattern || !name)
        return 0;
    const uint8_t *p = reinterpret_cast<const uint8_t *>(pattern);
    const uint8_t *n = reinterpret_cast<const uint8_t *>(name);
    const uint8_t *star = nullptr;  // the last '*' met in the pattern
    const uint8_t *from = nullptr;  // where in the name that star began to match
    while (*n) {
        if (*p == '*') {
            star = p++;
            from = n;
        } else if (*p && (*p == '?' || fold(*p) == fold(*n))) {
            p++;
            n++;
        } else if (star) {
            // Let the star take one more byte and try the rest again.
            p = star + 1;
            n = ++from;
        } else {
            return 0;
        }
    }
    while (*p == '*')
        p++;
    return *p == 0;
}

uint64_t tb1s_fnv1a64(const void *p, uint64_t n, uint64_t h)
{
    const uint8_t *b = static_cast<const uint8_t *>(p);
    if (!b)
        return h;
    for (uint64_t i = 0; i < n; i++) {
        h ^= b[i];
        h *= 0x100000001B3ULL;
    }
    return h;
}

int tb1s_hex_value(uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace tb1s
