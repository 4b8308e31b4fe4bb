// Encodings shared by the file commands: the DOS date and time of the
// legacy query, and the short name that the directory search and the
// alternate-name query both report, so that they agree for an entry.
#include "sess/fileinfo.h"

#include <cstring>

#include "util/text.h"

namespace tb1s {

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

uint32_t tb1s_dos_datetime(int64_t t)
{
    if (t <= 0)
        return 0;
    int64_t days = t / 86400, sec = t % 86400;
    // Civil date of a day count since 1970-01-01 (proleptic Gregorian).
    int64_t z = days + 719468;
    int64_t era = z / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int64_t day = doy - (153 * mp + 2) / 5 + 1;
    int64_t month = mp < 10 ? mp + 3 : mp - 9;
    int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    if (year > 2107)
        return 0xFF9FBF7D;  // 2107-12-31 23:59:58, the last value the fields hold
    uint32_t time = uint32_t(sec / 3600 * 2048 + sec % 3600 / 60 * 32 + sec % 60 / 2);
    uint32_t date = year < 1980 ? 0x0021 : uint32_t((year - 1980) * 512 + month * 32 + day);
    return date << 16 | time;
}

}  // namespace tb1s
