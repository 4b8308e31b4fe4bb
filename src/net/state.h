// The network state: one record for the library, guarded by its own lock
// (never held together with the library lock, never across a wait).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "net/sock.h"
#include "net/sys.h"
#include "sess/ctx.h"

namespace tb1s {

struct tb1s_conn;

struct tb1s_server {
    std::mutex lock;       // guards the fields below up to `count`, and conn->done / conn->next
    int32_t running;       // set from a start under way until its failure or the end of a stop
    tb1s_sock sock;        // the listening socket
    int32_t port;          // the bound port
    tb1s_thread *acceptor; // the acceptor thread
    tb1s_conn *conns;      // live and finished-but-unreaped connections, newest first
    int32_t count;         // connections whose thread runs

    // Set by tbsmb1s_stop, cleared by the start and at the end of the stop;
    // read without the lock by the acceptor, every session and every writer.
    std::atomic<int32_t> stopping;
    // The world the sessions of the running service live in (its `stop` is
    // `stopping`). Written by a start before the acceptor thread exists,
    // read without the lock while the service runs.
    tb1s_sess_ctx world;
};

extern tb1s_server g_server;

uint32_t tb1s_net_port();         // the bound port while running, else 0 (tbsmb1s_port)
int32_t tb1s_net_client_count();  // live connections (tbsmb1s_client_count)

}  // namespace tb1s
