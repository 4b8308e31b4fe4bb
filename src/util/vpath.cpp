#include "util/vpath.h"

#include <cstring>

#include "util/buf.h"

namespace tb1s {

namespace {

constexpr int32_t k_max_name = 2048;       // longest client name accepted
constexpr int32_t k_max_component = 255;
constexpr int32_t k_max_depth = 64;
constexpr int32_t k_max_path = 1024;       // longest normalised path, without the NUL
constexpr int32_t k_max_pattern = 512;

// Length of s, but at most limit + 1: the scan stops one byte past the limit
// so an over-long text is recognised without walking all of it.
int32_t bounded_len(const char *s, int32_t limit)
{
    int32_t n = 0;
    while (n <= limit && s[n])
        n++;
    return n;
}

bool is_sep(char c) { return c == '/' || c == '\\'; }
bool is_control(uint8_t c) { return (c >= 0x01 && c <= 0x1F) || c == 0x7F; }

// Checks one component against the path rules; 0 or -7 with the message.
int32_t check_component(const char *c, int32_t n)
{
    if (n == 1 && c[0] == '.')
        return tb1s_fail(TB1S_VPATH_REFUSED, "\".\" is not a valid name component");
    if (n == 2 && c[0] == '.' && c[1] == '.')
        return tb1s_fail(TB1S_VPATH_REFUSED, "\"..\" is not a valid name component");
    if (n > k_max_component)
        return tb1s_fail(TB1S_VPATH_REFUSED, "name component longer than %d bytes", int(k_max_component));
    for (int32_t i = 0; i < n; i++)
        if (is_control(uint8_t(c[i])))
            return tb1s_fail(TB1S_VPATH_REFUSED, "control byte in a name component");
    if (c[n - 1] == '.' || c[n - 1] == ' ')
        return tb1s_fail(TB1S_VPATH_REFUSED, "name component ends in a dot or a space");
    return 0;
}

}  // namespace

int32_t tb1s_vpath(const char *name, char *out, int32_t cap)
{
    if (out && cap > 0)
        out[0] = 0;
    char path[k_max_path + 1];
    int32_t len = 0, depth = 0;
    int32_t n = name ? bounded_len(name, k_max_name) : 0;
    if (n > k_max_name)
        return tb1s_fail(TB1S_VPATH_REFUSED, "name longer than %d bytes", int(k_max_name));
    for (int32_t i = 0; i < n;) {
        if (is_sep(name[i])) {
            i++;
            continue;
        }
        int32_t start = i;
        while (i < n && !is_sep(name[i]))
            i++;
        int32_t clen = i - start;
        int32_t rc = check_component(name + start, clen);
        if (rc != 0)
            return rc;
        if (++depth > k_max_depth)
            return tb1s_fail(TB1S_VPATH_REFUSED, "deeper than %d components", int(k_max_depth));
        // The separator counts for the first component too.
        if (len + 1 + clen > k_max_path)
            return tb1s_fail(TB1S_VPATH_REFUSED, "path longer than %d bytes", int(k_max_path));
        if (len > 0)
            path[len++] = '/';
        std::memcpy(path + len, name + start, size_t(clen));
        len += clen;
    }
    if (!out || cap <= len)
        return tb1s_fail(TB1S_VPATH_NOROOM, "the name needs %d bytes", int(len + 1));
    std::memcpy(out, path, size_t(len));
    out[len] = 0;
    return 0;
}

int32_t tb1s_pat_check(const char *pattern)
{
    if (!pattern)
        return tb1s_fail(-1, "NULL pattern");
    int32_t n = bounded_len(pattern, k_max_pattern);
    if (n > k_max_pattern)
        return tb1s_fail(-1, "pattern longer than %d bytes", int(k_max_pattern));
    for (int32_t i = 0; i < n; i++) {
        uint8_t c = uint8_t(pattern[i]);
        if (is_sep(char(c)))
            return tb1s_fail(-1, "the pattern is a leaf name only");
        if (is_control(c))
            return tb1s_fail(-1, "control byte in the pattern");
    }
    return 0;
}

}  // namespace tb1s
