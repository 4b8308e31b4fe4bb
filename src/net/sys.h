// Platform services of the network service, which hands the clocks and the
// random generator to the sessions it runs: threads with a 1 MiB stack, a
// monotonic millisecond clock, the wall clock in Unix seconds and the
// operating system's random generator.
#pragma once

#include <cstdint>

namespace tb1s {

struct tb1s_thread;  // a started thread, released by tb1s_thread_join

// Starts fn(arg) on a new thread with a 1 MiB stack. 0, or -1 when no thread
// was created (nothing leaks then).
int tb1s_thread_start(tb1s_thread **out, void (*fn)(void *), void *arg);
// Waits without time limit for the thread to end and releases its handle.
void tb1s_thread_join(tb1s_thread *t);

uint64_t tb1s_now_ms();   // monotonic milliseconds from an arbitrary origin
int64_t tb1s_unix_now();  // whole seconds since 1970-01-01 UTC

// Fills out[0..n) from the operating system's cryptographic random
// generator. 0, or -1 when the generator failed (out is then not to be used).
int tb1s_os_random(uint8_t *out, uint32_t n);

}  // namespace tb1s
