#include "world.h"

#include <cstdio>
#include <cstdlib>

#include "cfg/stats.h"
#include "net/sys.h"
#include "util/buf.h"

namespace tb1s_test {

namespace {

test_world *of(void *user) { return static_cast<test_world *>(user); }

void w_opts(void *user, tb1s_opts *out)
{
    std::lock_guard<std::mutex> g(of(user)->lock);
    *out = of(user)->opts;
}

int w_account(void *user, int32_t idx, char *name, uint64_t name_size, char *password, uint64_t password_size)
{
    test_world *w = of(user);
    std::lock_guard<std::mutex> g(w->lock);
    if (idx < 0 || size_t(idx) >= w->accounts.size())
        return 1;
    tb1s_strlcpy(name, w->accounts[size_t(idx)].first.c_str(), size_t(name_size));
    tb1s_strlcpy(password, w->accounts[size_t(idx)].second.c_str(), size_t(password_size));
    return 0;
}

void w_stat(void *, int32_t idx, int64_t amount) { tb1s_stat_add(idx, amount); }
uint64_t w_now_ms(void *) { return tb1s_now_ms(); }
int64_t w_unix_now(void *) { return tb1s_unix_now(); }

int w_random(void *user, uint8_t *out, uint32_t n)
{
    test_world *w = of(user);
    return w->random ? w->random(out, n) : tb1s_os_random(out, n);
}

void w_event(void *user, const tb1s_event *e)
{
    test_world *w = of(user);
    std::lock_guard<std::mutex> g(w->lock);
    w->recorded.push_back(event_rec{e->kind, e->peer, e->reason, e->user, e->guest, e->share, e->command, e->path,
                                    e->conn, e->duration_ms, e->bytes_sent});
}

}  // namespace

tb1s_sess_ctx test_world::ctx()
{
    return tb1s_sess_ctx{
        .user = this,
        .opts = w_opts,
        .account = w_account,
        .stat = w_stat,
        .now_ms = w_now_ms,
        .unix_now = w_unix_now,
        .random = w_random,
        .stop = &stop,
        .event = record_events ? w_event : nullptr,
        .event_user = this,
    };
}

void test_world::set(const char *key, const std::string &value)
{
    std::lock_guard<std::mutex> g(lock);
    if (tb1s_opts_apply(&opts, key, value.c_str()) != 0) {
        std::fprintf(stderr, "test_world: option %s=%s refused: %s\n", key, value.c_str(), tb1s_error());
        std::abort();
    }
}

std::vector<event_rec> test_world::events() const
{
    std::lock_guard<std::mutex> g(lock);
    return recorded;
}

std::vector<event_rec> test_world::events_of(tb1s_event_kind kind) const
{
    std::vector<event_rec> out;
    for (const event_rec &e : events())
        if (e.kind == kind)
            out.push_back(e);
    return out;
}

}  // namespace tb1s_test
