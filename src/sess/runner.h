// The session runner: serves one client connection from its first byte to
// its end, over a transport of callbacks (a socket, or a simulation script).
#pragma once

#include <cstdint>

#include "sess/ctx.h"
#include "util/ip.h"

namespace tb1s {

struct tb1s_transport {
    void *user;  // passed unchanged to every callback
    // Sends the head_n bytes of head, then the n bytes of p (either may be
    // empty), as one piece where the transport can, so that a frame header
    // does not travel alone: 0 on success, anything else on failure.
    int32_t (*write)(void *user, const uint8_t *head, int32_t head_n, const uint8_t *p, int32_t n);
    // Receives up to max bytes: the count (> 0), 0 at end of stream, -2 when
    // nothing arrived within timeout_ms, any other negative value on error.
    int32_t (*read)(void *user, uint8_t *p, int32_t max, int32_t timeout_ms);
    // Told of every SMB1 message received (">>") and reply sent ("<<"); may be null.
    void (*log)(void *user, const char *dir, const uint8_t *p, int32_t n);
};

// Runs the session of a client at `peer` in the world `ctx` to its end and
// releases everything it held. The caller has admitted the client (the
// allow-list is its business); ctx and t must outlive the call.
void tb1s_sess_run(const tb1s_sess_ctx *ctx, const tb1s_transport *t, const tb1s_ip *peer);

}  // namespace tb1s
