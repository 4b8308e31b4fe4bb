// The socket transport of a connection: the read and write callbacks that
// the session runner uses, over a non-blocking socket.
#include "net/server.h"

namespace tb1s {

namespace {

constexpr int32_t k_write_poll_ms = 100;

}  // namespace

// Receives, and when nothing is there waits up to timeout_ms for data. A
// wait cut short by a signal starts again; a failed wait falls through to
// the receive, which then reports the error.
int32_t x_read(void *user, uint8_t *p, int32_t max, int32_t timeout_ms)
{
    if (!user || !p || max <= 0)
        return -1;
    tb1s_sock s = static_cast<const tb1s_link *>(user)->sock;
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

// Sends the head and then the body, each call taking what is left of both
// in one gathered send, and waits in 100 ms steps while the socket is full.
// The wait is bounded so that a client that stops reading cannot hold a
// connection thread (and with it tbsmb1s_stop) forever: it gives up as soon
// as the stop flag is set, and when no byte could be sent for io_timeout_ms.
int32_t x_write(void *user, const uint8_t *head, int32_t head_n, const uint8_t *p, int32_t n)
{
    if (!user || head_n < 0 || n < 0 || (head_n > 0 && !head) || (n > 0 && !p) || int64_t(head_n) + n > INT32_MAX)
        return -1;
    const auto *link = static_cast<const tb1s_link *>(user);
    tb1s_sock s = link->sock;
    const int32_t total = head_n + n;
    int32_t sent = 0;
    bool stalled = false;  // no byte went out since `since`
    uint64_t since = 0;
    while (sent < total) {
        int32_t r = sent < head_n ? tb1s_sock_send2(s, head + sent, head_n - sent, p, n)
                                  : tb1s_sock_send2(s, nullptr, 0, p + (sent - head_n), total - sent);
        if (r > 0) {
            sent += r;
            stalled = false;
            continue;
        }
        if (r != SOCK_AGAIN)
            return -1;  // an error, or a send that took nothing
        if (link->stop && link->stop->load())
            return -1;
        uint64_t now = tb1s_now_ms();
        if (!stalled) {
            stalled = true;
            since = now;
        } else if (now - since >= uint64_t(link->io_timeout_ms)) {
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
