// The library's own world: what a session of a real connection reads and
// reports, taken from the library's tables and the platform, and the host's
// event callback.
#include <condition_variable>
#include <iterator>
#include <mutex>

#include "tbsmb1s.h"

#include "cfg/opts.h"
#include "cfg/shares.h"
#include "cfg/stats.h"
#include "net/server.h"
#include "util/buf.h"

namespace tb1s {

namespace {

// The host's event callback. A replacement waits until every call of the
// callback it replaces has returned, so the host may free what the old
// user_data points to as soon as it gets control back. Calls are counted
// by the parity of the generation they began in: a replacement starts a new
// generation and waits only for the calls of the one before it, so events
// that keep coming never hold it up. Replacements take turns (g_sink_turn),
// which keeps at most two generations alive.
std::mutex g_sink_turn;            // one replacement at a time
std::mutex g_sink_lock;            // guards the fields below; held only to read or count
std::condition_variable g_sink_idle;
tbsmb1s_event_fn g_sink;
void *g_sink_user;
uint32_t g_sink_gen;
int64_t g_sink_calls[2];           // calls under way, by generation parity
thread_local int32_t t_in_sink;    // calls under way on this thread

void lib_opts(void *, tb1s_opts *out) { tb1s_opts_get(out); }

int lib_account(void *, int32_t idx, char *name, uint64_t name_size, char *password, uint64_t password_size)
{
    return tb1s_user_at(idx, name, name_size, password, password_size);
}

void lib_stat(void *, int32_t idx, int64_t amount) { tb1s_stat_add(idx, amount); }
uint64_t lib_now_ms(void *) { return tb1s_now_ms(); }
int64_t lib_unix_now(void *) { return tb1s_unix_now(); }
int lib_random(void *, uint8_t *out, uint32_t n) { return tb1s_os_random(out, n); }

// The public kind and refusal reason of each internal one, in the order of
// the internal enumerations.
constexpr int32_t k_public_kind[] = {
    TBSMB1S_EVENT_CONNECTED,     TBSMB1S_EVENT_REFUSED, TBSMB1S_EVENT_LOGON,
    TBSMB1S_EVENT_LOGON_FAILED,  TBSMB1S_EVENT_TREE,    TBSMB1S_EVENT_TREE_REFUSED,
    TBSMB1S_EVENT_SMB2_ONLY,     TBSMB1S_EVENT_WRITE_REFUSED, TBSMB1S_EVENT_DISCONNECTED,
};
static_assert(std::size(k_public_kind) == size_t(tb1s_event_kind::disconnect) + 1);
constexpr int32_t k_public_reason[] = {0, TBSMB1S_REFUSED_ALLOW, TBSMB1S_REFUSED_FULL};
static_assert(std::size(k_public_reason) == size_t(tb1s_refusal::full) + 1);

// Hands the event to the host's callback, if there is one, outside the
// lock: a slow callback holds up nobody but its caller (and a replacement).
void lib_event(void *, const tb1s_event *e)
{
    tbsmb1s_event_fn fn;
    void *user;
    uint32_t gen;
    {
        std::lock_guard<std::mutex> g(g_sink_lock);
        fn = g_sink;
        if (!fn)
            return;
        user = g_sink_user;
        gen = g_sink_gen & 1;
        g_sink_calls[gen]++;
    }
    tbsmb1s_event pe{};
    pe.size = sizeof pe;
    pe.kind = k_public_kind[size_t(e->kind)];
    pe.reason = k_public_reason[size_t(e->reason)];
    pe.connection = e->conn;
    pe.peer = e->peer ? e->peer : "";
    pe.user = e->user ? e->user : "";
    pe.guest = e->guest;
    pe.share = e->share ? e->share : "";
    pe.command = e->command ? e->command : "";
    pe.path = e->path ? e->path : "";
    pe.duration_ms = e->duration_ms;
    pe.bytes_sent = e->bytes_sent;
    t_in_sink++;
    fn(user, &pe);
    t_in_sink--;
    std::lock_guard<std::mutex> g(g_sink_lock);
    if (--g_sink_calls[gen] == 0)
        g_sink_idle.notify_all();
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

int32_t tb1s_net_set_event_sink(tbsmb1s_event_fn fn, void *user)
{
    // From inside the callback the wait below would wait for itself, or for
    // a replacement on another thread that waits for this call.
    if (t_in_sink > 0)
        return tb1s_fail(-4, "set_event_callback: called from inside the event callback");
    std::lock_guard<std::mutex> turn(g_sink_turn);
    std::unique_lock<std::mutex> g(g_sink_lock);
    uint32_t old = g_sink_gen & 1;
    g_sink = fn;
    g_sink_user = fn ? user : nullptr;
    g_sink_gen++;
    g_sink_idle.wait(g, [old] { return g_sink_calls[old] == 0; });
    return 0;
}

}  // namespace tb1s
