// Options and the library lock.
#pragma once

#include <cstdint>

#include "util/lock.h"

namespace tb1s {

// The library lock guards the live options, the share and user tables and
// the allow-list (the statistics counters are atomic). It is held only while a record or
// entry is copied or changed, never across a socket, file or other blocking
// call, and never together with the network lock.
extern tb1s_lock g_lock;

// The server name clients see while the option `server_name` is not set.
inline constexpr char TB1S_DEFAULT_SERVER_NAME[] = "TALVERNBEACON";

struct tb1s_opts {
    int32_t guest;               // -1 auto, 0 off, 1 on
    int32_t allow_smb1;          // 0 or 1
    int32_t signing;             // 0 enabled, 1 required
    int32_t ntlm_timecheck;      // 0 or 1
    int32_t max_clients;         // 1..1024
    int32_t idle_timeout_ms;     // 100..86400000
    int32_t io_timeout_ms;       // 100..3600000
    int32_t max_login_failures;  // 1..100
    int32_t max_credits;         // 1..256
    int32_t max_handles;         // 1..1024
    int32_t logon_timeout_ms;    // 1000..3600000: a connection not logged on by then is closed
    int32_t max_clients_per_peer; // 1..1024 live connections from one address
    uint64_t max_message;        // 65536..16777216
    int64_t clock;               // Unix seconds standing in for now; 0 = system clock
    char server_name[64];        // 1..63 printable ASCII bytes
};

// The record every option starts from when the library is loaded.
tb1s_opts tb1s_opts_defaults();

// Copies the live record, under the library lock.
void tb1s_opts_get(tb1s_opts *out);
// Checks and stores one option in the live record (the export
// tbsmb1s_set_option). 0, or -1 with the message recorded.
int32_t tb1s_opt_set(const char *key, const char *value);
// The same rules applied to a record of the caller's (no lock taken): a
// session world of its own, for example. 0, or -1 with the message recorded.
int32_t tb1s_opts_apply(tb1s_opts *o, const char *key, const char *value);

// Whether guest logons are allowed under the option `guest` (-1 auto, 0
// off, 1 on) while `any_account` tells if a user account exists: "auto"
// allows them only while there is none.
inline bool tb1s_guest_rule(int32_t guest, bool any_account) { return guest == 1 || (guest == -1 && !any_account); }

}  // namespace tb1s
