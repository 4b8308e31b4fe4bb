// Byte buffer, error slot, trace switch and bounded formatting.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace tb1s {

#define TB1S_PRINTF(f, a) __attribute__((format(printf, f, a)))

// Growable byte array, always NUL-terminated once it holds storage.
// A zeroed record is an empty, usable buffer. A failed growth sets `oom`,
// after which every append is ignored until tb1s_buf_free; builders append
// freely and test `oom` once at the end.
struct tb1s_buf {
    uint8_t *data;  // heap storage owned by the buffer, or null before the first append
    uint64_t len;   // content bytes; data[len] is NUL
    uint64_t cap;   // storage size: 0, or 256 times a power of two, at most 4 GiB
    int32_t oom;    // 1 once a growth failed
};

void tb1s_buf_put(tb1s_buf *b, const void *p, uint64_t n);
void tb1s_buf_str(tb1s_buf *b, const char *s);
void tb1s_buf_printf(tb1s_buf *b, const char *fmt, ...) TB1S_PRINTF(2, 3);
void tb1s_buf_byte(tb1s_buf *b, int v);
void tb1s_buf_free(tb1s_buf *b);
// Lengthens the content by n bytes left for the caller to fill, and returns
// where they start; null (with `oom`) when the buffer cannot grow.
uint8_t *tb1s_buf_extend(tb1s_buf *b, uint64_t n);

// Little-endian appenders used by every wire builder.
inline void w16(tb1s_buf *b, uint32_t v)
{
    uint8_t t[2] = {uint8_t(v), uint8_t(v >> 8)};
    tb1s_buf_put(b, t, 2);
}
inline void w32(tb1s_buf *b, uint32_t v)
{
    uint8_t t[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    tb1s_buf_put(b, t, 4);
}
inline void w64(tb1s_buf *b, uint64_t v)
{
    w32(b, uint32_t(v));
    w32(b, uint32_t(v >> 32));
}

// Seconds between 1601-01-01 and 1970-01-01.
inline constexpr int64_t TB1S_EPOCH_DIFF = 11644473600LL;

// FILETIME (100 ns units since 1601) of a Unix time; 0 for a time of 0 or less.
inline constexpr uint64_t tb1s_filetime(int64_t unix_seconds)
{
    return unix_seconds <= 0 ? 0 : (uint64_t(unix_seconds) + TB1S_EPOCH_DIFF) * 10000000ULL;
}
inline void wtime(tb1s_buf *b, int64_t unix_seconds) { w64(b, tb1s_filetime(unix_seconds)); }

// The error slot: one process-wide message of the most recent failure,
// at most 511 bytes. Writers format first and copy under a lock of the
// slot's own, so the slot never holds a mixture of two messages.
void tb1s_set_error(const char *fmt, ...) TB1S_PRINTF(1, 2);
int32_t tb1s_fail(int32_t code, const char *fmt, ...) TB1S_PRINTF(2, 3);
const char *tb1s_error();

// Trace switch: on when the environment variable TBSMB1S_TRACE is set. The
// environment is read at the first trace point and again by
// tb1s_trace_reload (which every server start calls), not at every call.
// tb1s_trace writes one line to standard error.
bool tb1s_trace_on();
void tb1s_trace_reload();
void tb1s_trace(const char *fmt, ...) TB1S_PRINTF(1, 2);

// Bounded formatting with the standard results (the output is always
// NUL-terminated when size > 0; the result is the full length).
int tb1s_snprintf(char *out, size_t size, const char *fmt, ...) TB1S_PRINTF(3, 4);
int tb1s_vsnprintf(char *out, size_t size, const char *fmt, va_list ap);

// Copies text into a fixed area, cut to size - 1 bytes and NUL-terminated.
void tb1s_strlcpy(char *out, const char *in, size_t size);

}  // namespace tb1s
