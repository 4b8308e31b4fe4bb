// The short name shared by the directory search and the alternate-name
// query, so that both report the same 8.3 name for an entry.
#include "sess/fileinfo.h"

#include <cstring>

#include "util/text.h"

namespace {

uint8_t upper(uint8_t c) { return c >= 'a' && c <= 'z' ? uint8_t(c - 'a' + 'A') : c; }

}  // namespace

uint32_t tb1s_short_name(const char *name, bool unicode, uint8_t out[24])
{
    size_t len = std::strlen(name);
    const char *dot = std::strrchr(name, '.');
    size_t before = dot ? size_t(dot - name) : len;
    size_t after = dot ? len - before - 1 : 0;
    if (before < 1 || before > 8 || after > 3 || (dot && before == 8 && after == 0))
        return 0;
    char text[13];
    size_t k = 0;
    for (size_t i = 0; i < before; i++)
        text[k++] = char(upper(uint8_t(name[i])));
    if (after > 0) {
        text[k++] = '.';
        for (size_t i = 0; i < after; i++)
            text[k++] = char(upper(uint8_t(dot[1 + i])));
    }
    text[k] = 0;
    if (!unicode) {
        std::memcpy(out, text, k);
        return uint32_t(k);
    }
    int32_t n = 0;
    return tb1s_utf8_to_utf16le(text, out, 24, &n) == 0 ? uint32_t(n) : 0;
}
