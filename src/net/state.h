// The network state: one record for the library, guarded by its own lock
// (never held together with the library lock, never across a wait).
#pragma once

#include <cstdint>
#include <mutex>

#include "net/sock.h"
#include "net/sys.h"

namespace tb1s {

struct tb1s_conn;

struct tb1s_server {
    std::mutex lock;       // guards every field below and conn->done / conn->next
    int32_t running;       // set from a start under way until its failure or the end of a stop
    int32_t stopping;      // set by tbsmb1s_stop; polled by the acceptor and every session
    tb1s_sock sock;        // the listening socket
    int32_t port;          // the bound port
    tb1s_thread *acceptor; // the acceptor thread
    tb1s_conn *conns;      // live and finished-but-unreaped connections, newest first
    int32_t count;         // connections whose thread runs
};

extern tb1s_server g_server;

int tb1s_server_stopping();  // the stopping flag, read under the network lock

uint32_t tb1s_net_port();         // the bound port while running, else 0 (tbsmb1s_port)
int32_t tb1s_net_client_count();  // live connections (tbsmb1s_client_count)

}  // namespace tb1s
