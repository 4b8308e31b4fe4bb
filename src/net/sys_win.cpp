// Threads, clocks and the random generator on Windows.
#include "net/sys.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <bcrypt.h>

#include <new>

namespace tb1s {

struct tb1s_thread {
    HANDLE h;
};

namespace {

constexpr SIZE_T k_stack = 1048576;
constexpr int64_t k_epoch_delta = 11644473600;  // seconds from 1601-01-01 to 1970-01-01

struct start_rec {
    void (*fn)(void *);
    void *arg;
};

DWORD WINAPI thr_tramp(LPVOID p)
{
    start_rec s = *static_cast<start_rec *>(p);
    delete static_cast<start_rec *>(p);
    s.fn(s.arg);
    return 0;
}

}  // namespace

// The stack size is a reservation of 1 MiB (committed as it is used), the
// same bound the threads have on other systems.
int tb1s_thread_start(tb1s_thread **out, void (*fn)(void *), void *arg)
{
    *out = nullptr;
    auto *t = new (std::nothrow) tb1s_thread;
    auto *s = new (std::nothrow) start_rec{fn, arg};
    HANDLE h = nullptr;
    if (t && s)
        h = CreateThread(nullptr, k_stack, thr_tramp, s, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!h) {
        delete s;
        delete t;
        return -1;
    }
    t->h = h;
    *out = t;
    return 0;
}

void tb1s_thread_join(tb1s_thread *t)
{
    if (!t)
        return;
    WaitForSingleObject(t->h, INFINITE);
    CloseHandle(t->h);
    delete t;
}

// Milliseconds since boot; 64 bits, so it never wraps.
uint64_t tb1s_now_ms() { return GetTickCount64(); }

int64_t tb1s_unix_now()
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    uint64_t t = uint64_t(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
    return int64_t(t / 10000000) - k_epoch_delta;
}

// The system's preferred generator, asked in pieces a ULONG can count.
int tb1s_os_random(uint8_t *out, uint32_t n)
{
    while (n > 0) {
        ULONG part = n > 0x10000000 ? 0x10000000 : ULONG(n);
        if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, out, part, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
            return -1;
        out += part;
        n -= part;
    }
    return 0;
}

}  // namespace tb1s
