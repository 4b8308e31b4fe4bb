// Validation of client path names and search patterns. Lexical only: links
// are the business of share resolution.
#pragma once

#include <cstdint>

namespace tb1s {

inline constexpr int32_t TB1S_VPATH_REFUSED = -7;
inline constexpr int32_t TB1S_VPATH_NOROOM = -8;

// Normalises a client name (either separator) into a share-relative path:
// components joined by '/', no "." or "..", no control bytes, no trailing dot
// or space, at most 64 components of 255 bytes and 1024 bytes in all.
// 0, -7 (refused) or -8 (no output area or too small); the error slot says why.
int32_t tb1s_vpath(const char *name, char *out, int32_t cap);
// A search pattern: one leaf name of at most 512 bytes. 0 or -1.
int32_t tb1s_pat_check(const char *pattern);

}  // namespace tb1s
