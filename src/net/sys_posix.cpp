// Threads, clocks and the random generator on POSIX systems.
#include "net/sys.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/random.h>
#include <time.h>

#include <new>

namespace tb1s {

struct tb1s_thread {
    pthread_t id;
};

namespace {

constexpr size_t k_stack = 1048576;

struct start_rec {
    void (*fn)(void *);
    void *arg;
};

void *thr_tramp(void *p)
{
    start_rec s = *static_cast<start_rec *>(p);
    delete static_cast<start_rec *>(p);
    s.fn(s.arg);
    return nullptr;
}

}  // namespace

// The new thread starts with every signal blocked: the library's threads
// have no business with the host's signals (a handler or a sigwait thread
// of the host then keeps receiving them), and no blocking call of ours is
// cut short by EINTR. Faults such as SIGSEGV are still delivered.
int tb1s_thread_start(tb1s_thread **out, void (*fn)(void *), void *arg)
{
    *out = nullptr;
    auto *t = new (std::nothrow) tb1s_thread;
    auto *s = new (std::nothrow) start_rec{fn, arg};
    pthread_attr_t attr;
    bool attr_ok = pthread_attr_init(&attr) == 0;
    int rc = -1;
    if (t && s && attr_ok && pthread_attr_setstacksize(&attr, k_stack) == 0) {
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old);
        rc = pthread_create(&t->id, &attr, thr_tramp, s) == 0 ? 0 : -1;
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }
    if (attr_ok)
        pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete s;
        delete t;
        return -1;
    }
    *out = t;
    return 0;
}

void tb1s_thread_join(tb1s_thread *t)
{
    if (!t)
        return;
    pthread_join(t->id, nullptr);
    delete t;
}

uint64_t tb1s_now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000;
}

int64_t tb1s_unix_now()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec);
}

// getrandom without flags waits only until the kernel's pool has been
// seeded once at boot, then never blocks. A call cut short by a signal is
// repeated; a short count (possible above 256 bytes) continues where it
// stopped.
int tb1s_os_random(uint8_t *out, uint32_t n)
{
    uint32_t got = 0;
    while (got < n) {
        ssize_t r = getrandom(out + got, n - got, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return -1;
        got += uint32_t(r);
    }
    return 0;
}

}  // namespace tb1s
