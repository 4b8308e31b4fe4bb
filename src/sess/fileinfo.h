// Encodings the file commands share: the two attribute values the server
// reports, the allocation size and the DOS date and time of the legacy
// query. Everything served is read-only, so no other attribute is ever set.
#pragma once

#include <cstdint>

namespace tb1s {

inline constexpr uint32_t TB1S_ATTR_DIR = 0x11;   // folder, read-only
inline constexpr uint32_t TB1S_ATTR_FILE = 0x21;  // archive, read-only

inline constexpr uint32_t tb1s_attr(bool dir) { return dir ? TB1S_ATTR_DIR : TB1S_ATTR_FILE; }

// The size rounded up to whole 64 KiB allocation units.
inline constexpr uint64_t tb1s_alloc_size(uint64_t size)
{
    return size > UINT64_MAX - 0xFFFF ? UINT64_MAX & ~uint64_t(0xFFFF) : (size + 0xFFFF) & ~uint64_t(0xFFFF);
}

// The DOS date (high 16 bits) and time (low 16 bits) of Unix seconds in UTC:
// 0 for a time of 0 or less; a time before 1980 keeps its time of day on
// 1980-01-01; a time after 2107, which the 7-bit year cannot hold, becomes
// 2107-12-31 23:59:58.
uint32_t tb1s_dos_datetime(int64_t t);

// The 8.3 name of a name that already has that shape: the part before its
// last '.' (1 to 8 bytes) and the part after it (0 to 3 bytes), ASCII
// letters upper-cased. No '~1' forms are made for other names. Bytes
// written into out (UTF-16LE when `unicode`, else the bytes as they are),
// 0 for no short name.
uint32_t tb1s_short_name(const char *name, bool unicode, uint8_t out[24]);

}  // namespace tb1s
