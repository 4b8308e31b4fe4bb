#include "cfg/stats.h"

#include <atomic>

namespace tb1s {

namespace {

// Atomic, so the sessions raise them without the library lock: a counter
// moves for nearly every message, and a lock taken that often by a thousand
// sessions at once would be the busiest lock of the server.
std::atomic<int64_t> g_stats[TB1S_NSTATS];

constexpr const char *k_stat_names[TB1S_NSTATS] = {
    "connections",   "refused_allow",    "refused_full",    "negotiate",
    "sessions",      "guest_sessions",   "logon_failed",    "trees",
    "tree_refused",  "opens",            "open_refused",    "reads",
    "bytes_sent",    "listings_sent",    "mutating_refused", "protocol_errors",
    "timeouts",      "sign_required_sessions", "srvsvc_queries", "path_refused",
    "nt_transact_refused",
};

}  // namespace

void tb1s_stat_add(int32_t idx, int64_t amount) { g_stats[idx].fetch_add(amount, std::memory_order_relaxed); }

int64_t tb1s_stat_get(int32_t idx) { return g_stats[idx].load(std::memory_order_relaxed); }

const char *tb1s_stat_name(int32_t idx) { return k_stat_names[idx]; }

int32_t tb1s_session_count()
{
    int64_t d = tb1s_stat_get(STAT_SESSIONS) - tb1s_stat_get(STAT_LOGON_FAILED);
    return d <= 0 ? 0 : int32_t(d);
}

}  // namespace tb1s
