// The listener, the acceptor and one thread per connection.
#pragma once

#include <atomic>
#include <cstdint>

#include "tbsmb1s.h"

#include "net/sock.h"
#include "net/sys.h"
#include "sess/ctx.h"
#include "sess/runner.h"
#include "util/ip.h"

namespace tb1s {

// What the socket transport needs: the `user` of its callbacks.
struct tb1s_link {
    tb1s_sock sock;                    // a connected non-blocking socket; TB1S_NOSOCK once closed
    const std::atomic<int32_t> *stop;  // a write gives up once it is set; may be null
    int32_t io_timeout_ms;             // the longest a write waits without sending a byte
};

// One accepted connection. The connection thread alone uses the link,
// transport and peer until it sets `done`; `done` and `next` are guarded by
// the network lock.
struct tb1s_conn {
    tb1s_link link;            // io_timeout_ms as the option stood at the admission
    tb1s_transport transport;  // user = &link, write = x_write, read = x_read
    tb1s_ip peer;              // the client's address
    tb1s_thread *thread;       // the connection thread
    int32_t done;              // set by the connection thread as its last act
    tb1s_conn *next;           // the list link
};

// Starts the service: the export tbsmb1s_start with the library's world
// (tb1s_net_world), or a test with a world of its own. The world's `stop`
// is replaced by the service's stop flag. A server name given is checked
// and stored in the library's option `server_name`, whatever the world.
int32_t tb1s_net_start(const tb1s_sess_ctx *world, const char *address, uint32_t port, const char *server_name);
// The export tbsmb1s_stop.
void tb1s_net_stop();

// The library's own world: the live options, the user table, the
// statistics counters, the system clocks, the operating system's random
// generator and the host's event sink (tb1s_net_set_event_sink). Its `stop`
// is null.
void tb1s_net_world(tb1s_sess_ctx *out);
// Sets the host's event callback of the library's world (the export
// tbsmb1s_set_event_callback), or clears it (null fn). Takes effect at once,
// for connections already running too, and returns once no call of the
// previous callback is under way: 0, or -4 when called from inside the
// callback, which would wait for itself.
int32_t tb1s_net_set_event_sink(tbsmb1s_event_fn fn, void *user);

// The socket transport (`user` is a tb1s_link). x_read: bytes received
// (> 0), 0 when the peer has closed, -2 when nothing arrived within
// timeout_ms, -1 on other errors.
int32_t x_read(void *user, uint8_t *p, int32_t max, int32_t timeout_ms);
// 0 once the head_n bytes of head and then the n bytes of p are sent, in
// as few gathered sends as the socket allows; -1 on error, when the stop
// flag is set, or when no byte could be sent for io_timeout_ms.
int32_t x_write(void *user, const uint8_t *head, int32_t head_n, const uint8_t *p, int32_t n);

}  // namespace tb1s
