#include "util/ip.h"

#include <cstring>
#include <string_view>

#include "util/buf.h"
#include "util/text.h"

namespace tb1s {

namespace {

constexpr size_t k_max_addr = 45;   // longest address text after brackets and zone
constexpr size_t k_max_cidr_addr = 63;

// A dotted quad covering all of s: four fields of 1 to 3 decimal digits, each
// at most 255, separated by single dots. Leading zeros are decimal.
bool parse_v4(std::string_view s, uint8_t out[4])
{
    size_t i = 0;
    for (int field = 0; field < 4; field++) {
        if (field > 0) {
            if (i >= s.size() || s[i] != '.')
                return false;
            i++;
        }
        int value = 0, digits = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
            if (++digits > 3)
                return false;
            value = value * 10 + (s[i] - '0');
            i++;
        }
        if (digits == 0 || value > 255)
            return false;
        out[field] = uint8_t(value);
    }
    return i == s.size();
}

// IPv6 text into 16 bytes: groups of 1 to 4 hex digits, at most one "::",
// optionally a final dotted quad that counts as two groups.
bool parse_v6(std::string_view s, uint8_t out[16])
{
    uint16_t groups[8] = {};
    int n = 0;     // groups written
    int gap = -1;  // group index where "::" stands, or -1
    size_t i = 0;
    if (s.substr(0, 2) == "::") {
        gap = 0;
        i = 2;
    } else if (!s.empty() && s[0] == ':') {
        return false;
    }
    while (i < s.size()) {
        size_t j = s.find(':', i);
        if (j == std::string_view::npos)
            j = s.size();
        std::string_view tok = s.substr(i, j - i);
        if (tok.find('.') != std::string_view::npos) {
            uint8_t q[4];
            if (j != s.size() || n > 6 || !parse_v4(tok, q))
                return false;
            groups[n++] = uint16_t(q[0] << 8 | q[1]);
            groups[n++] = uint16_t(q[2] << 8 | q[3]);
            break;
        }
        if (tok.empty() || tok.size() > 4 || n >= 8)
            return false;
        uint16_t g = 0;
        for (char c : tok) {
            int v = tb1s_hex_value(uint8_t(c));
            if (v < 0)
                return false;
            g = uint16_t(g << 4 | v);
        }
        groups[n++] = g;
        if (j == s.size())
            break;
        if (j + 1 < s.size() && s[j + 1] == ':') {
            if (gap >= 0)
                return false;
            gap = n;
            i = j + 2;
        } else {
            // A single colon must be followed by a group; an empty token
            // (a colon at the end, or ":::") is refused above.
            i = j + 1;
            if (i == s.size())
                return false;
        }
    }
    if (gap < 0 ? n != 8 : n > 7)
        return false;
    std::memset(out, 0, 16);
    int tail = gap < 0 ? 0 : n - gap;  // groups after "::", placed at the end
    int head = n - tail;
    for (int k = 0; k < head; k++) {
        out[2 * k] = uint8_t(groups[k] >> 8);
        out[2 * k + 1] = uint8_t(groups[k]);
    }
    for (int k = 0; k < tail; k++) {
        int at = 8 - tail + k;
        out[2 * at] = uint8_t(groups[head + k] >> 8);
        out[2 * at + 1] = uint8_t(groups[head + k]);
    }
    return true;
}

bool is_mapped(const uint8_t a[16])
{
    for (int i = 0; i < 10; i++)
        if (a[i] != 0)
            return false;
    return a[10] == 0xFF && a[11] == 0xFF;
}

// The body of tb1s_ip_parse over an explicit length; out is already cleared.
int parse_addr(std::string_view s, tb1s_ip *out)
{
    if (s.size() > 1 && s.front() == '[' && s.back() == ']')
        s = s.substr(1, s.size() - 2);
    size_t zone = s.find('%');
    if (zone != std::string_view::npos)
        s = s.substr(0, zone);
    if (s.empty() || s.size() > k_max_addr)
        return -1;
    if (s.find(':') == std::string_view::npos) {
        if (!parse_v4(s, out->addr))
            return -1;
        out->family = 4;
        return 0;
    }
    uint8_t a[16];
    if (!parse_v6(s, a))
        return -1;
    tb1s_ip_from_v6(a, out);
    return 0;
}

// Canonical IPv6 text (RFC 5952) into a 64-byte area.
void format_v6(const uint8_t a[16], char *t, size_t size)
{
    uint16_t g[8];
    for (int i = 0; i < 8; i++)
        g[i] = uint16_t(a[2 * i] << 8 | a[2 * i + 1]);
    // The longest run of at least two zero groups; the first on a tie.
    int best = -1, best_len = 1;
    for (int i = 0; i < 8;) {
        if (g[i] != 0) {
            i++;
            continue;
        }
        int j = i;
        while (j < 8 && g[j] == 0)
            j++;
        if (j - i > best_len) {
            best = i;
            best_len = j - i;
        }
        i = j;
    }
    size_t pos = 0;
    for (int i = 0; i < 8; i++) {
        if (i == best) {
            pos += size_t(tb1s_snprintf(t + pos, size - pos, "::"));
            i += best_len - 1;
            continue;
        }
        bool after_gap = best >= 0 && i == best + best_len;
        pos += size_t(tb1s_snprintf(t + pos, size - pos, "%s%x", i == 0 || after_gap ? "" : ":", unsigned(g[i])));
    }
}

}  // namespace

int tb1s_ip_parse(const char *text, tb1s_ip *out)
{
    if (!out)
        return -1;
    *out = tb1s_ip{};
    if (!text)
        return -1;
    if (parse_addr(text, out) != 0) {
        *out = tb1s_ip{};
        return -1;
    }
    return 0;
}

void tb1s_ip_format(const tb1s_ip *ip, char *out, int32_t size)
{
    if (!out || size <= 0)
        return;
    char t[64] = "";
    if (ip && ip->family == 4)
        tb1s_snprintf(t, sizeof t, "%u.%u.%u.%u", ip->addr[0], ip->addr[1], ip->addr[2], ip->addr[3]);
    else if (ip)
        format_v6(ip->addr, t, sizeof t);
    tb1s_strlcpy(out, t, size_t(size));
}

void tb1s_ip_from_v6(const uint8_t a[16], tb1s_ip *out)
{
    *out = tb1s_ip{};
    if (is_mapped(a)) {
        out->family = 4;
        std::memcpy(out->addr, a + 12, 4);
    } else {
        out->family = 6;
        std::memcpy(out->addr, a, 16);
    }
}

int tb1s_ip_equal(const tb1s_ip *a, const tb1s_ip *b)
{
    if (!a || !b || a->family != b->family)
        return 0;
    size_t n = a->family == 4 ? 4 : 16;
    return std::memcmp(a->addr, b->addr, n) == 0 ? 1 : 0;
}

int tb1s_ip_is_loopback(const tb1s_ip *ip)
{
    if (!ip)
        return 0;
    if (ip->family == 4)
        return ip->addr[0] == 127 ? 1 : 0;
    if (ip->family != 6)
        return 0;
    for (int i = 0; i < 15; i++)
        if (ip->addr[i] != 0)
            return 0;
    return ip->addr[15] == 1 ? 1 : 0;
}

int tb1s_cidr_parse(const char *text, tb1s_cidr *out)
{
    if (!out)
        return -1;
    *out = tb1s_cidr{};
    if (!text)
        return -1;
    std::string_view s(text);
    size_t slash = s.find('/');
    std::string_view addr = s.substr(0, slash);
    if (addr.empty() || addr.size() > k_max_cidr_addr || parse_addr(addr, &out->ip) != 0) {
        *out = tb1s_cidr{};
        return -1;
    }
    int bits = out->ip.family == 4 ? 32 : 128;
    int prefix = bits;
    if (slash != std::string_view::npos) {
        std::string_view digits = s.substr(slash + 1);
        bool ok = !digits.empty() && digits.size() <= 3;
        prefix = 0;
        for (char c : digits) {
            ok = ok && c >= '0' && c <= '9';
            prefix = prefix * 10 + (c - '0');
            if (!ok)
                break;
        }
        // A mapped address written in IPv6 form counts its prefix over 128 bits.
        if (ok && out->ip.family == 4 && addr.find(':') != std::string_view::npos) {
            ok = prefix >= 96;
            prefix -= 96;
        }
        if (!ok || prefix > bits) {
            *out = tb1s_cidr{};
            return -1;
        }
    }
    out->prefix = prefix;
    int whole = prefix / 8, rest = prefix % 8;
    if (rest) {
        out->ip.addr[whole] &= uint8_t(0xFF << (8 - rest));
        whole++;
    }
    for (int i = whole; i < 16; i++)
        out->ip.addr[i] = 0;
    return 0;
}

int tb1s_cidr_match(const tb1s_cidr *c, const tb1s_ip *ip)
{
    if (!c || !ip || c->ip.family != ip->family || (ip->family != 4 && ip->family != 6))
        return 0;
    int bits = ip->family == 4 ? 32 : 128;
    if (c->prefix < 0 || c->prefix > bits)
        return 0;
    int whole = c->prefix / 8, rest = c->prefix % 8;
    if (std::memcmp(c->ip.addr, ip->addr, size_t(whole)) != 0)
        return 0;
    if (rest) {
        uint8_t mask = uint8_t(0xFF << (8 - rest));
        if ((ip->addr[whole] & mask) != c->ip.addr[whole])
            return 0;
    }
    return 1;
}

}  // namespace tb1s
