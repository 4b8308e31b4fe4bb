// The listener, the acceptor and one thread per connection.
#pragma once

#include <cstdint>

#include "net/sock.h"
#include "net/sys.h"
#include "sess/runner.h"
#include "util/ip.h"

namespace tb1s {

// One accepted connection. The socket comes first and the record is its
// transport's `user`, so x_read and x_write find the socket from `user`.
// The connection thread alone uses sock, transport and the addresses until
// it sets `done`; `done` and `next` are guarded by the network lock.
struct tb1s_conn {
    tb1s_sock sock;            // the connection's socket; TB1S_NOSOCK once closed
    tb1s_transport transport;  // user = this record, write = x_write, read = x_read
    tb1s_ip peer;              // the client's address
    char local[64];            // the socket's local address, printed
    tb1s_thread *thread;       // the connection thread
    int32_t done;              // set by the connection thread as its last act
    tb1s_conn *next;           // the list link
};

// The exports tbsmb1s_start and tbsmb1s_stop.
int32_t tb1s_net_start(const char *address, uint32_t port, const char *server_name);
void tb1s_net_stop();

// The socket transport (`user` is a tb1s_conn, or any record that begins
// with a tb1s_sock). x_read: bytes received (> 0), 0 when the peer has
// closed, -2 when nothing arrived within timeout_ms, -1 on other errors.
int32_t x_read(void *user, uint8_t *p, int32_t max, int32_t timeout_ms);
// 0 once all n bytes are sent; -1 on error, when the server is stopping, or
// when no byte could be sent for the option io_timeout_ms.
int32_t x_write(void *user, const uint8_t *p, int32_t n);

}  // namespace tb1s
