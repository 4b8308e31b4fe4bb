// The socket transport of a connection: the read and write callbacks that
// the session runner uses, over a non-blocking socket.
#include <cstring>

#include "cfg/opts.h"
#include "net/server.h"
#include "net/state.h"

namespace tb1s {

namespace {

constexpr int32_t k_write_poll_ms = 100;

tb1s_sock sock_of(void *user)
{
    tb1s_sock s;
    std::memcpy(&s, user, sizeof s);  // the socket is the record's first field
    return s;
}

}  // namespace

// Receives, and when nothing is there waits up to timeout_ms for data. A
// wait cut short by a signal starts again; a failed wait falls through to
// the receive, which then reports the error.
int32_t x_read(void *user, uint8_t *p, int32_t max, int32_t timeout_ms)
{
    if (!user || !p || max <= 0)
        return -1;
    tb1s_sock s = sock_of(user);
    for (;;) {
        int32_t r = tb1s_sock_recv(s, p, max);
        if (r >= 0)
            return r;
        if (r != SOCK_AGAIN)
            return -1;
        int w;
        do {
            w = tb1s_sock_wait(s, false, timeout_ms < 0 ? 0 : timeout_ms);
        } while (w == SOCK_AGAIN);
        if (w == 0)
            return -2;
    }
}

// Sends everything, waiting in 100 ms steps while the socket is full. The
// wait is bounded so that a client that stops reading cannot hold a
// connection thread (and with it tbsmb1s_stop) forever: it gives up as soon
// as the server is stopping, and when no byte could be sent for
// io_timeout_ms.
int32_t x_write(void *user, const uint8_t *p, int32_t n)
{
    if (!user || n < 0 || (n > 0 && !p))
        return -1;
    tb1s_sock s = sock_of(user);
    int32_t sent = 0;
    bool stalled = false;  // no byte went out since `since`
    uint64_t since = 0;
    int32_t limit_ms = 0;  // io_timeout_ms, read when the socket first fills up
    while (sent < n) {
        int32_t r = tb1s_sock_send(s, p + sent, n - sent);
        if (r > 0) {
            sent += r;
            stalled = false;
            continue;
        }
        if (r != SOCK_AGAIN)
            return -1;  // an error, or a send that took nothing
        if (tb1s_server_stopping())
            return -1;
        uint64_t now = tb1s_now_ms();
        if (!stalled) {
            stalled = true;
            since = now;
            if (limit_ms == 0) {
                tb1s_opts o;
                tb1s_opts_get(&o);
                limit_ms = o.io_timeout_ms;
            }
        } else if (now - since >= uint64_t(limit_ms)) {
            return -1;
        }
        int w;
        do {
            w = tb1s_sock_wait(s, true, k_write_poll_ms);
        } while (w == SOCK_AGAIN);
        if (w < 0)
            return -1;
    }
    return 0;
}

}  // namespace tb1s
