// The C interface: thin, non-throwing shims over the library's internals.
#include "tbsmb1s.h"

#include "cfg/allow.h"
#include "cfg/opts.h"
#include "cfg/shares.h"
#include "cfg/stats.h"
#include "crypto/crypto.h"
#include "exports/out.h"
#include "exports/simulate.h"
#include "net/server.h"
#include "net/state.h"
#include "util/buf.h"

using namespace tb1s;

namespace {

// {"running":..,"port":..,"clients":.., then every counter by name}.
const char *stats_json()
{
    int32_t clients = tb1s_net_client_count();
    uint32_t port = tb1s_net_port();
    bool running = port != 0;
    tb1s_buf b{};
    tb1s_buf_printf(&b, "{\"running\":%s,\"port\":%d,\"clients\":%d", running ? "true" : "false", int(port),
                    int(clients));
    for (int32_t i = 0; i < TB1S_NSTATS; i++)
        tb1s_buf_printf(&b, ",\"%s\":%lld", tb1s_stat_name(i), (long long)tb1s_stat_get(i));
    tb1s_buf_str(&b, "}");
    if (b.oom) {
        tb1s_buf_free(&b);
        return "{}";
    }
    return tb1s_out_install(&b);
}

const char *selftest_text()
{
    tb1s_buf b{};
    tb1s_buf_printf(&b, "selftest %s\n", tb1s_selftest() == 0 ? "ok" : "FAILED");
    if (b.oom) {
        tb1s_buf_free(&b);
        return "selftest FAILED (oom)\n";
    }
    return tb1s_out_install(&b);
}

}  // namespace

extern "C" {

const char *tbsmb1s_version(void) noexcept { return TBSMB1S_VERSION; }
const char *tbsmb1s_last_error(void) noexcept { return tb1s_error(); }
const char *tbsmb1s_selftest(void) noexcept { return selftest_text(); }
const char *tbsmb1s_stats_json(void) noexcept { return stats_json(); }
int32_t tbsmb1s_set_option(const char *key, const char *value) noexcept { return tb1s_opt_set(key, value); }
int32_t tbsmb1s_add_share(const char *name, const char *path) noexcept { return tb1s_share_add(name, path); }
int32_t tbsmb1s_remove_share(const char *name) noexcept { return tb1s_share_remove(name); }
int32_t tbsmb1s_add_user(const char *user, const char *password) noexcept { return tb1s_user_add(user, password); }
int32_t tbsmb1s_remove_user(const char *user) noexcept { return tb1s_user_remove(user); }
int32_t tbsmb1s_allow_cidr(const char *cidr) noexcept { return tb1s_allow_add(cidr); }
int32_t tbsmb1s_start(const char *address, uint32_t port, const char *server_name) noexcept
{
    tb1s_sess_ctx world;
    tb1s_net_world(&world);
    return tb1s_net_start(&world, address, port, server_name);
}
void tbsmb1s_stop(void) noexcept { tb1s_net_stop(); }
uint32_t tbsmb1s_port(void) noexcept { return tb1s_net_port(); }
int32_t tbsmb1s_client_count(void) noexcept { return tb1s_net_client_count(); }
int32_t tbsmb1s_session_count(void) noexcept { return tb1s_session_count(); }
const char *tbsmb1s_simulate(const char *script, const char *peer) noexcept { return tb1s_simulate(script, peer); }
int32_t tbsmb1s_set_event_callback(tbsmb1s_event_fn fn, void *user_data) noexcept
{
    return tb1s_net_set_event_sink(fn, user_data);
}

}  // extern "C"
