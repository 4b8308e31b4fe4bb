#include "cfg/stats.h"

#include "cfg/opts.h"

namespace tb1s {

namespace {

int64_t g_stats[TB1S_NSTATS];  // guarded by g_lock

constexpr const char *k_stat_names[TB1S_NSTATS] = {
    "connections",   "refused_allow",    "refused_full",    "negotiate",
    "sessions",      "guest_sessions",   "logon_failed",    "trees",
    "tree_refused",  "opens",            "open_refused",    "reads",
    "bytes_sent",    "listings_sent",    "mutating_refused", "protocol_errors",
    "timeouts",      "sign_required_sessions", "srvsvc_queries", "path_refused",
    "nt_transact_refused",
};

}  // namespace

void tb1s_stat_add(int32_t idx, int64_t amount)
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_stats[idx] += amount;
}

int64_t tb1s_stat_get(int32_t idx)
{
    std::lock_guard<std::mutex> hold(g_lock);
    return g_stats[idx];
}

const char *tb1s_stat_name(int32_t idx) { return k_stat_names[idx]; }

int32_t tb1s_session_count()
{
    int64_t d = tb1s_stat_get(STAT_SESSIONS) - tb1s_stat_get(STAT_LOGON_FAILED);
    return d <= 0 ? 0 : int32_t(d);
}

}  // namespace tb1s
