// The library's own world: what a session of a real connection reads and
// reports, taken from the library's tables and the platform.
#include <mutex>

#include "cfg/opts.h"
#include "cfg/shares.h"
#include "cfg/stats.h"
#include "net/server.h"

namespace tb1s {

namespace {

// The host's event sink, guarded by its own lock (held only to copy it).
std::mutex g_sink_lock;
tb1s_event_fn g_sink;
void *g_sink_user;

void lib_opts(void *, tb1s_opts *out) { tb1s_opts_get(out); }

int lib_account(void *, int32_t idx, char *name, uint64_t name_size, char *password, uint64_t password_size)
{
    return tb1s_user_at(idx, name, name_size, password, password_size);
}

void lib_stat(void *, int32_t idx, int64_t amount) { tb1s_stat_add(idx, amount); }
uint64_t lib_now_ms(void *) { return tb1s_now_ms(); }
int64_t lib_unix_now(void *) { return tb1s_unix_now(); }
int lib_random(void *, uint8_t *out, uint32_t n) { return tb1s_os_random(out, n); }

// Calls the host's sink outside the lock, so a slow sink holds up nobody
// but its caller.
void lib_event(void *, const tb1s_event *e)
{
    tb1s_event_fn fn;
    void *user;
    {
        std::lock_guard<std::mutex> g(g_sink_lock);
        fn = g_sink;
        user = g_sink_user;
    }
    if (fn)
        fn(user, e);
}

}  // namespace

void tb1s_net_world(tb1s_sess_ctx *out)
{
    *out = tb1s_sess_ctx{
        .user = nullptr,
        .opts = lib_opts,
        .account = lib_account,
        .stat = lib_stat,
        .now_ms = lib_now_ms,
        .unix_now = lib_unix_now,
        .random = lib_random,
        .stop = nullptr,
        .event = lib_event,
        .event_user = nullptr,
    };
}

void tb1s_net_set_event_sink(tb1s_event_fn fn, void *user)
{
    std::lock_guard<std::mutex> g(g_sink_lock);
    g_sink = fn;
    g_sink_user = fn ? user : nullptr;
}

}  // namespace tb1s
