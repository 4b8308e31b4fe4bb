// The session runner: serves one client connection from its first byte to
// its end, over a transport of callbacks (a socket, or a simulation script).
#pragma once

#include <cstdint>

#include "util/ip.h"

namespace tb1s {

struct tb1s_transport {
    void *user;  // passed unchanged to every callback
    // Sends all n bytes: 0 on success, anything else on failure.
    int32_t (*write)(void *user, const uint8_t *p, int32_t n);
    // Receives up to max bytes: the count (> 0), 0 at end of stream, -2 when
    // nothing arrived within timeout_ms, any other negative value on error.
    int32_t (*read)(void *user, uint8_t *p, int32_t max, int32_t timeout_ms);
    // Told of every SMB1 message received (">>") and reply sent ("<<"); may be null.
    void (*log)(void *user, const char *dir, const uint8_t *p, int32_t n);
};

// Runs the session to its end and releases everything it held. `local` is
// the server-side address text of the connection (may be null).
void tb1s_sess_run(const tb1s_transport *t, const tb1s_ip *peer, const char *local);

}  // namespace tb1s
