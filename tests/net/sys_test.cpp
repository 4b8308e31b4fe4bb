#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <signal.h>
#endif

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "net/sys.h"

using namespace tb1s;

namespace {

struct probe {
    std::atomic<int> runs{0};
    void *seen_arg = nullptr;
    size_t stack = 0;
    bool all_blocked = false;
};

void probe_fn(void *arg)
{
    auto *p = static_cast<probe *>(arg);
    p->seen_arg = arg;
#ifdef _WIN32
    ULONG_PTR low = 0, high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    p->stack = size_t(high - low);
    p->all_blocked = true;  // no signal masks on Windows
#else
    pthread_attr_t a;
    if (pthread_getattr_np(pthread_self(), &a) == 0) {
        pthread_attr_getstacksize(&a, &p->stack);
        pthread_attr_destroy(&a);
    }
    sigset_t cur;
    pthread_sigmask(SIG_SETMASK, nullptr, &cur);
    p->all_blocked = sigismember(&cur, SIGINT) == 1 && sigismember(&cur, SIGTERM) == 1 &&
                     sigismember(&cur, SIGPIPE) == 1;
#endif
    p->runs++;
}

TEST(Sys, ThreadRunsOnceWithItsArgumentOnAOneMebibyteStack)
{
    probe p;
    tb1s_thread *t = nullptr;
    ASSERT_EQ(tb1s_thread_start(&t, probe_fn, &p), 0);
    ASSERT_NE(t, nullptr);
    tb1s_thread_join(t);
    EXPECT_EQ(p.runs.load(), 1);
    EXPECT_EQ(p.seen_arg, &p);
    EXPECT_GE(p.stack, 1048576u);
    EXPECT_LT(p.stack, 2u * 1048576u) << "the requested 1 MiB, not the process default";
    EXPECT_TRUE(p.all_blocked) << "library threads must leave the host's signals alone";

#ifndef _WIN32
    sigset_t cur;
    pthread_sigmask(SIG_SETMASK, nullptr, &cur);
    EXPECT_EQ(sigismember(&cur, SIGINT), 0) << "the caller's signal mask must be restored";
#endif
    tb1s_thread_join(nullptr);
}

TEST(Sys, Clocks)
{
    uint64_t a = tb1s_now_ms();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    uint64_t b = tb1s_now_ms();
    EXPECT_GE(b - a, 50u);
    EXPECT_LT(b - a, 5000u);

    int64_t sys = std::chrono::duration_cast<std::chrono::seconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
    EXPECT_LE(std::llabs(tb1s_unix_now() - sys), 2);
}

// Two draws of 8 bytes never agreed in practice (one chance in 2^64), and a
// long draw, which getrandom may deliver in parts, is filled to its end.
TEST(Sys, OsRandom)
{
    uint8_t a[8] = {}, b[8] = {};
    ASSERT_EQ(tb1s_os_random(a, sizeof a), 0);
    ASSERT_EQ(tb1s_os_random(b, sizeof b), 0);
    EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
    std::vector<uint8_t> big(100000, 0);
    ASSERT_EQ(tb1s_os_random(big.data(), uint32_t(big.size())), 0);
    size_t zeros_at_end = 0;
    while (zeros_at_end < big.size() && big[big.size() - 1 - zeros_at_end] == 0)
        zeros_at_end++;
    EXPECT_LT(zeros_at_end, 8u) << "the end of the area was not filled";
    EXPECT_EQ(tb1s_os_random(nullptr, 0), 0);
}

}  // namespace
