// The socket operations the listener and the connections need, free of any
// platform type: sockets are tb1s_sock values, addresses tb1s_ip records and
// platform error codes plain integers. All sockets are non-blocking and
// close-on-exec; nothing here ever raises SIGPIPE or waits without a limit.
#pragma once

#include <cstdint>

#include "util/ip.h"

namespace tb1s {

using tb1s_sock = intptr_t;  // a platform socket; TB1S_NOSOCK when none
inline constexpr tb1s_sock TB1S_NOSOCK = -1;

// Results of the non-blocking calls below besides a count.
inline constexpr int32_t SOCK_ERR = -1;    // failed; tb1s_sock_error() tells why
inline constexpr int32_t SOCK_AGAIN = -2;  // would block, or interrupted: wait and retry

// Starts the platform's socket library; called once per process. 0 or -1.
int tb1s_sock_startup();
// The calling thread's last socket error code, and its text cut to cap bytes.
int tb1s_sock_error();
void tb1s_sock_error_text(int code, char *out, int32_t cap);

// Opens a listening TCP socket on ip:port: an IPv6 socket that also takes
// IPv4 clients when `v6` is set (an IPv4 `ip` is bound in its mapped form),
// else an IPv4 one. Backlog 64, non-blocking, TCP_NODELAY. On success 0 and
// the socket and bound port (the system's choice when port was 0); on
// failure -1 with *err the platform error, and no socket is left open.
int tb1s_sock_listen(const tb1s_ip *ip, bool v6, uint16_t port, tb1s_sock *out, int32_t *bound_port, int *err);

// Takes one pending connection without waiting and fills the peer and local
// addresses (IPv4-mapped ones as IPv4). 1 with *out a non-blocking socket
// with TCP_NODELAY; 0 when none could be taken (none pending, or the new
// socket was closed again because its addresses could not be read).
int tb1s_sock_accept(tb1s_sock ls, tb1s_sock *out, tb1s_ip *peer, tb1s_ip *local);

// Up to n bytes: the count (> 0), 0 when the peer has closed, SOCK_AGAIN or SOCK_ERR.
int32_t tb1s_sock_recv(tb1s_sock s, void *p, int32_t n);
// Up to n bytes: the count (>= 0), SOCK_AGAIN or SOCK_ERR. A closed peer is
// an error result, never a signal.
int32_t tb1s_sock_send(tb1s_sock s, const void *p, int32_t n);
// Up to an + bn bytes, those of a and then those of b, in one call (a
// gathered send: sendmsg here, WSASend with two buffers on Windows), so a
// small header and the body after it leave together without being copied
// into one area. Either piece may be empty. The count (>= 0), SOCK_AGAIN
// or SOCK_ERR, as tb1s_sock_send.
int32_t tb1s_sock_send2(tb1s_sock s, const void *a, int32_t an, const void *b, int32_t bn);
// Waits up to ms milliseconds until s is readable (or writable when `write`
// is set): 1 ready, 0 timed out, SOCK_AGAIN interrupted, SOCK_ERR failed.
int tb1s_sock_wait(tb1s_sock s, bool write, int32_t ms);

void tb1s_sock_shutdown(tb1s_sock s);  // both directions; errors ignored
void tb1s_sock_close(tb1s_sock s);     // TB1S_NOSOCK is ignored

}  // namespace tb1s
