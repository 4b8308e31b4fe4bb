#include "util/buf.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace tb1s {

namespace {

constexpr uint64_t k_first_cap = 256;
constexpr uint64_t k_max_double = uint64_t(1) << 31;  // no doubling beyond this size

// Makes room for n more bytes and the NUL. Grows to the final size in one
// resize so many small appends cost a logarithmic number of reallocations.
int buf_reserve(tb1s_buf *b, uint64_t n)
{
    if (b->oom)
        return -1;
    uint64_t need = b->len + n + 1;
    if (need < n) {  // wrapped
        b->oom = 1;
        return -1;
    }
    if (b->cap >= need)
        return 0;
    uint64_t size;
    if (b->cap == 0) {
        size = k_first_cap;
    } else {
        if (b->cap > k_max_double) {
            b->oom = 1;
            return -1;
        }
        size = b->cap;
    }
    while (size < need) {
        if (size > k_max_double) {
            b->oom = 1;
            return -1;
        }
        size *= 2;
    }
    void *p = std::realloc(b->data, size);
    if (!p) {
        b->oom = 1;
        return -1;
    }
    b->data = static_cast<uint8_t *>(p);
    b->cap = size;
    return 0;
}

std::mutex g_err_lock;  // guards g_err writes
char g_err[512];

}  // namespace

void tb1s_buf_put(tb1s_buf *b, const void *p, uint64_t n)
{
    if (buf_reserve(b, n) != 0)
        return;
    if (n)
        std::memcpy(b->data + b->len, p, n);
    b->len += n;
    b->data[b->len] = 0;
}

uint8_t *tb1s_buf_extend(tb1s_buf *b, uint64_t n)
{
    if (buf_reserve(b, n) != 0)
        return nullptr;
    uint8_t *p = b->data + b->len;
    b->len += n;
    b->data[b->len] = 0;
    return p;
}

void tb1s_buf_str(tb1s_buf *b, const char *s) { tb1s_buf_put(b, s, std::strlen(s)); }

void tb1s_buf_byte(tb1s_buf *b, int v)
{
    if (buf_reserve(b, 1) != 0)
        return;
    b->data[b->len++] = uint8_t(v);
    b->data[b->len] = 0;
}

void tb1s_buf_printf(tb1s_buf *b, const char *fmt, ...)
{
    char local[512];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(local, sizeof local, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    if (n < int(sizeof local)) {
        tb1s_buf_put(b, local, uint64_t(n));
        return;
    }
    // Long result: format a second time straight into the storage.
    if (buf_reserve(b, uint64_t(n)) != 0)
        return;
    va_start(ap, fmt);
    std::vsnprintf(reinterpret_cast<char *>(b->data + b->len), size_t(n) + 1, fmt, ap);
    va_end(ap);
    b->len += uint64_t(n);
}

void tb1s_buf_free(tb1s_buf *b)
{
    std::free(b->data);
    *b = tb1s_buf{};
}

static void set_error_v(const char *fmt, va_list ap)
{
    char msg[sizeof g_err];
    std::vsnprintf(msg, sizeof msg, fmt, ap);
    std::lock_guard<std::mutex> hold(g_err_lock);
    std::memcpy(g_err, msg, sizeof g_err);
}

void tb1s_set_error(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    set_error_v(fmt, ap);
    va_end(ap);
}

int32_t tb1s_fail(int32_t code, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    set_error_v(fmt, ap);
    va_end(ap);
    return code;
}

const char *tb1s_error() { return g_err; }

namespace {

// The trace switch as last read from the environment: -1 until the first
// look, then 0 or 1. Read once, not at every trace point, so that the paths
// that run per message pay one load for it.
std::atomic<int> g_trace{-1};

}  // namespace

void tb1s_trace_reload() { g_trace.store(std::getenv("TBSMB1S_TRACE") != nullptr ? 1 : 0); }

bool tb1s_trace_on()
{
    int on = g_trace.load(std::memory_order_relaxed);
    if (on < 0) {
        tb1s_trace_reload();
        on = g_trace.load(std::memory_order_relaxed);
    }
    return on == 1;
}

void tb1s_trace(const char *fmt, ...)
{
    if (!tb1s_trace_on())
        return;
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
}

int tb1s_vsnprintf(char *out, size_t size, const char *fmt, va_list ap)
{
    return std::vsnprintf(out, size, fmt, ap);
}

int tb1s_snprintf(char *out, size_t size, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(out, size, fmt, ap);
    va_end(ap);
    return n;
}

void tb1s_strlcpy(char *out, const char *in, size_t size)
{
    if (size == 0)
        return;
    size_t n = std::strlen(in);
    if (n >= size)
        n = size - 1;
    std::memcpy(out, in, n);
    out[n] = 0;
}

}  // namespace tb1s
