// Text encodings and matching: hexadecimal, UTF-16LE <-> UTF-8, the one
// UTF-8 decoder of the library, ASCII and Unicode case-insensitive
// comparison, glob matching and FNV-1a. Stateless; no allocation except the
// hex encoder's appends; failures are results only.
#pragma once

#include <cstdint>

#include "util/buf.h"

namespace tb1s {

inline constexpr uint64_t TB1S_FNV_BASIS = 0xCBF29CE484222325ULL;

// Decodes hex text (tab, LF, CR and space skipped anywhere). Without an
// output area the bytes are only counted. 0 or -1; *count is 0 on failure.
int tb1s_hex_decode(const char *text, uint64_t text_len, uint8_t *out, uint64_t cap, uint64_t *count);
// Value of one hexadecimal digit (either case), or -1.
int tb1s_hex_value(uint8_t c);
// Appends the bytes as lower-case hex, two characters a byte.
void tb1s_hex_encode(const uint8_t *p, uint64_t n, tb1s_buf *b);

// Converts UTF-16LE (n bytes) to NUL-terminated UTF-8 in out[cap]. Bytes
// written without the NUL, or -1 (odd length, bad surrogates, a NUL unit, no room).
int32_t tb1s_utf16_to_utf8(const uint8_t *p, uint64_t n, char *out, int32_t cap);
// Converts NUL-terminated UTF-8 to UTF-16LE without a terminator. 0, or -1
// for text that is not well-formed (tb1s_utf8_next) or does not fit.
int tb1s_utf8_to_utf16le(const char *s, uint8_t *out, int32_t cap, int32_t *written);

// Decodes the sequence at s, inside NUL-terminated text, into *cp: its
// length (1..4; the NUL itself decodes as U+0000 of length 1), or 0 when the
// bytes there are not well-formed UTF-8: a stray continuation byte, a lead
// byte C0, C1 or F5..FF, an overlong form, a surrogate (U+D800..U+DFFF), a
// value above U+10FFFF, or text that ends inside the sequence. Never reads
// past the NUL. Every UTF-8 decoding of the library goes through here.
int tb1s_utf8_next(const char *s, uint32_t *cp);
// 1 if the whole NUL-terminated text is well-formed UTF-8, else 0.
int tb1s_utf8_valid(const char *s);

// ASCII case-insensitive comparison, for protocol words ("IPC$", dialects).
int tb1s_casecmp(const char *a, const char *b);
int tb1s_ncasecmp(const char *a, const char *b, uint64_t n);

// Simple case folding and simple upper-case mapping of one code point, from
// the Unicode tables of util/ucase_table.h; a point without one maps to itself.
uint32_t tb1s_ufold(uint32_t cp);
uint32_t tb1s_uupper(uint32_t cp);
// Case-insensitive comparison of UTF-8 names (shares, users, file names):
// the difference of the first folded code points that differ, 0 when equal.
// For ASCII text this is exactly tb1s_casecmp. A byte that starts no
// well-formed sequence compares as itself, above every code point.
int tb1s_ucasecmp(const char *a, const char *b);
// Upper-cases n bytes of UTF-16LE in place, unit by unit with the simple
// mapping; surrogate units stay as they are. Clients upper-case the user
// name of the NTLMv2 key this way (a 16-bit table), so characters beyond
// U+FFFF keep their case.
void tb1s_utf16_upper(uint8_t *p, uint64_t n);
// 1 if the whole name matches the pattern ('*', '?', ASCII case folding).
int tb1s_glob_match(const char *pattern, const char *name);
// FNV-1a 64 over n bytes, continuing from h (TB1S_FNV_BASIS for a fresh hash).
uint64_t tb1s_fnv1a64(const void *p, uint64_t n, uint64_t h);

}  // namespace tb1s
