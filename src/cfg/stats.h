// The 21 process-wide statistics counters, in the order of the JSON report.
#pragma once

#include <cstdint>

namespace tb1s {

enum tb1s_stat : int32_t {
    STAT_CONNECTIONS,
    STAT_REFUSED_ALLOW,
    STAT_REFUSED_FULL,
    STAT_NEGOTIATE,
    STAT_SESSIONS,
    STAT_GUEST_SESSIONS,
    STAT_LOGON_FAILED,
    STAT_TREES,
    STAT_TREE_REFUSED,
    STAT_OPENS,
    STAT_OPEN_REFUSED,
    STAT_READS,
    STAT_BYTES_SENT,
    STAT_LISTINGS_SENT,
    STAT_MUTATING_REFUSED,
    STAT_PROTOCOL_ERRORS,
    STAT_TIMEOUTS,
    STAT_SIGN_REQUIRED_SESSIONS,
    STAT_SRVSVC_QUERIES,
    STAT_PATH_REFUSED,
    STAT_NT_TRANSACT_REFUSED,
    TB1S_NSTATS
};

void tb1s_stat_add(int32_t idx, int64_t amount);  // atomic; takes no lock
int64_t tb1s_stat_get(int32_t idx);               // atomic; takes no lock
const char *tb1s_stat_name(int32_t idx);          // the JSON key
// "sessions" minus "logon_failed", never below 0 (tbsmb1s_session_count).
int32_t tb1s_session_count();

}  // namespace tb1s
