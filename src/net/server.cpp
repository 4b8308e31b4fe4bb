// Start and stop, the acceptor thread and the connection threads.
//
// Locking: the network lock (g_server.lock) guards g_server (except the
// stop flag and the world, see state.h) and the `done` and `next` fields of
// every connection record; it is held for a few field
// accesses only, never across a socket call, a wait or a join, and never
// together with the library lock. Only the acceptor adds records; the
// acceptor and a stop (after the acceptor has ended) remove them, so the
// list has one writer at a time.
#include <cstring>
#include <mutex>
#include <new>

#include "cfg/allow.h"
#include "cfg/opts.h"
#include "cfg/stats.h"
#include "net/server.h"
#include "net/state.h"
#include "util/buf.h"

namespace tb1s {

namespace {

constexpr const char *k_default_address = "127.0.0.1";
constexpr int32_t k_accept_poll_ms = 100;

std::once_flag g_sock_once;
int g_sock_startup = -1;  // result of the one-time socket library start

// Runs the session over the connection, then closes the socket and marks
// the record done for the acceptor to reap.
void conn_main(void *arg)
{
    auto *c = static_cast<tb1s_conn *>(arg);
    tb1s_sess_run(&g_server.world, &c->transport, &c->peer);
    tb1s_sock_shutdown(c->link.sock);
    tb1s_sock_close(c->link.sock);
    c->link.sock = TB1S_NOSOCK;
    std::lock_guard<std::mutex> g(g_server.lock);
    g_server.count--;
    c->done = 1;
}

// Takes finished records off the list (every record when `all` is set),
// then waits for their threads and frees them outside the lock.
void reap(bool all)
{
    tb1s_conn *taken = nullptr;
    {
        std::lock_guard<std::mutex> g(g_server.lock);
        tb1s_conn **pp = &g_server.conns;
        while (*pp) {
            tb1s_conn *c = *pp;
            if (all || c->done) {
                *pp = c->next;
                c->next = taken;
                taken = c;
            } else {
                pp = &c->next;
            }
        }
    }
    while (taken) {
        tb1s_conn *c = taken;
        taken = c->next;
        tb1s_thread_join(c->thread);
        delete c;
    }
}

// Counts and reports a connection the service does not take, then closes
// it (in this order, so a client that sees the close finds it counted).
void refuse(tb1s_sock s, const tb1s_ip *peer, tb1s_refusal why)
{
    const tb1s_sess_ctx &w = g_server.world;
    w.stat(w.user, why == tb1s_refusal::full ? STAT_REFUSED_FULL : STAT_REFUSED_ALLOW, 1);
    if (w.event) {
        char text[64];
        tb1s_ip_format(peer, text, sizeof text);
        tb1s_event e{.kind = tb1s_event_kind::conn_refused, .peer = text, .reason = why};
        w.event(w.event_user, &e);
    }
    tb1s_sock_close(s);
}

// The live connections from this address, under the network lock.
int32_t live_from(const tb1s_ip &peer)
{
    int32_t n = 0;
    for (const tb1s_conn *c = g_server.conns; c; c = c->next)
        if (!c->done && tb1s_ip_equal(&c->peer, &peer))
            n++;
    return n;
}

// Admits one pending connection, or closes it when max_clients are live,
// or max_clients_per_peer from the same address, or the client's address
// is not allowed. Every failure here is silent: the
// socket is closed and the acceptor goes on.
void admit(tb1s_sock ls)
{
    tb1s_sock s;
    tb1s_ip peer, local;
    if (tb1s_sock_accept(ls, &s, &peer, &local) != 1)
        return;

    const tb1s_sess_ctx &w = g_server.world;
    tb1s_opts o;
    w.opts(w.user, &o);
    bool full;
    {
        std::lock_guard<std::mutex> g(g_server.lock);
        full = g_server.count >= o.max_clients || live_from(peer) >= o.max_clients_per_peer;
    }
    if (full) {
        refuse(s, &peer, tb1s_refusal::full);
        return;
    }
    if (!tb1s_client_allowed(&peer)) {
        refuse(s, &peer, tb1s_refusal::allow_list);
        return;
    }
    auto *c = new (std::nothrow) tb1s_conn{};
    if (!c) {
        tb1s_sock_close(s);
        return;
    }
    c->link = tb1s_link{s, &g_server.stopping, o.io_timeout_ms};
    c->transport = tb1s_transport{&c->link, x_write, x_read, nullptr};
    c->peer = peer;
    {
        std::lock_guard<std::mutex> g(g_server.lock);
        c->next = g_server.conns;
        g_server.conns = c;
        g_server.count++;
    }
    if (tb1s_thread_start(&c->thread, conn_main, c) != 0) {
        {
            // Nobody else adds records, so the new one is still the head.
            std::lock_guard<std::mutex> g(g_server.lock);
            g_server.count--;
            g_server.conns = c->next;
        }
        tb1s_sock_close(s);
        delete c;
    }
}

void acceptor_main(void *)
{
    tb1s_sock ls;
    {
        std::lock_guard<std::mutex> g(g_server.lock);
        ls = g_server.sock;
    }
    while (!g_server.stopping.load()) {
        int w = tb1s_sock_wait(ls, false, k_accept_poll_ms);
        if (w == SOCK_AGAIN)
            continue;  // interrupted: wait again without reaping
        reap(false);
        if (w > 0)
            admit(ls);
    }
}

// The checks of a start that need no lock: options, address, port and
// server name. 0, or the failure code with its message recorded.
int32_t check_args(const tb1s_sess_ctx *world, const char *address, uint32_t port, const char *server_name,
                   tb1s_ip *ip)
{
    tb1s_opts o;
    world->opts(world->user, &o);
    if (!o.allow_smb1)
        return tb1s_fail(-9, "SMB1 is off by default; set_option(\"allow_smb1\",\"1\") first");
    if (tb1s_ip_parse(address, ip) != 0)
        return tb1s_fail(-1, "start: %.64s is not an IP address", address);
    if (port > 65535)
        return tb1s_fail(-1, "start: port out of range");
    if (server_name) {
        size_t n = std::strlen(server_name);
        if (n < 1 || n > 63)
            return tb1s_fail(-1, "start: server_name 1..63 bytes");
        for (size_t i = 0; i < n; i++) {
            auto b = static_cast<unsigned char>(server_name[i]);
            if (b < 0x20 || b > 0x7E)
                return tb1s_fail(-1, "start: server_name printable ASCII only");
        }
        // Kept even when the start fails later.
        if (tb1s_opt_set("server_name", server_name) != 0)
            return -1;
    }
    return 0;
}

void clear_running()
{
    std::lock_guard<std::mutex> g(g_server.lock);
    g_server.sock = TB1S_NOSOCK;
    g_server.port = 0;
    g_server.running = 0;
}

}  // namespace

int32_t tb1s_net_start(const tb1s_sess_ctx *world, const char *address, uint32_t port, const char *server_name)
{
    if (!address || !*address)
        address = k_default_address;
    tb1s_ip ip;
    if (int32_t rc = check_args(world, address, port, server_name, &ip); rc != 0)
        return rc;

    std::call_once(g_sock_once, [] { g_sock_startup = tb1s_sock_startup(); });
    if (g_sock_startup != 0)
        return tb1s_fail(-5, "start: socket library initialization failed");

    {
        std::lock_guard<std::mutex> g(g_server.lock);
        if (g_server.running)
            return tb1s_fail(-4, "start: already running on port %d", int(g_server.port));
        g_server.running = 1;
    }

    // The family follows the text, not the parsed address: "::ffff:1.2.3.4"
    // parses as IPv4 but asks for an IPv6 socket bound to the mapped form.
    bool v6 = std::strchr(address, ':') != nullptr;
    tb1s_sock ls;
    int32_t bound;
    int err = 0;
    if (tb1s_sock_listen(&ip, v6, uint16_t(port), &ls, &bound, &err) != 0) {
        clear_running();
        char text[128];
        tb1s_sock_error_text(err, text, sizeof text);
        return tb1s_fail(-5, "start: bind failed (%d): %.100s", err, text);
    }
    {
        std::lock_guard<std::mutex> g(g_server.lock);
        g_server.sock = ls;
        g_server.port = bound;
    }
    // No connection thread of an earlier start is left to read these, and
    // the acceptor started below sees them.
    g_server.stopping.store(0);
    tb1s_trace_reload();
    g_server.world = *world;
    g_server.world.stop = &g_server.stopping;
    tb1s_thread *acc;
    if (tb1s_thread_start(&acc, acceptor_main, nullptr) != 0) {
        tb1s_sock_close(ls);
        clear_running();
        return tb1s_fail(-5, "start: cannot start the accept thread");
    }
    std::lock_guard<std::mutex> g(g_server.lock);
    g_server.acceptor = acc;
    return 0;
}

// Sets the stop flag and waits for the acceptor and then every connection
// to end. Sessions notice the flag at their next read timeout (100 ms) and
// writers give up at once, so this returns soon after. The listening socket
// stays open until the end, so connections arriving meanwhile queue in the
// backlog and are dropped when it closes.
void tb1s_net_stop()
{
    tb1s_thread *acc;
    {
        std::lock_guard<std::mutex> g(g_server.lock);
        if (!g_server.running || g_server.stopping.load())
            return;
        g_server.stopping.store(1);
        acc = g_server.acceptor;
        g_server.acceptor = nullptr;
    }
    tb1s_thread_join(acc);
    reap(true);
    tb1s_sock ls;
    {
        std::lock_guard<std::mutex> g(g_server.lock);
        ls = g_server.sock;
    }
    // Closed before `running` clears, so a start that follows can bind the port.
    tb1s_sock_close(ls);
    std::lock_guard<std::mutex> g(g_server.lock);
    g_server.running = 0;
    g_server.stopping.store(0);
    g_server.sock = TB1S_NOSOCK;
    g_server.port = 0;
}

}  // namespace tb1s
