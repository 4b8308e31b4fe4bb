// The client allow-list. Loopback clients are always admitted; others only
// from a listed block. The library keeps one list (64 entries, guarded by
// the library lock) for the export tbsmb1s_allow_cidr; a list record of a
// caller's own follows the same rules.
#pragma once

#include <cstdint>

#include "util/ip.h"

namespace tb1s {

inline constexpr int32_t TB1S_MAX_CIDRS = 64;

// Entries are only ever appended; a zeroed record is an empty list.
struct tb1s_allow_list {
    tb1s_cidr cidrs[TB1S_MAX_CIDRS];
    int32_t count;
};

// Adds a block to a list, under the library lock. A block already listed
// (after masking) needs no slot. 0, -1 (not a CIDR) or -6 (list full), with
// the message recorded on failure.
int32_t tb1s_allow_add_to(tb1s_allow_list *l, const char *cidr);
// 1 if a client at ip may connect under the list, else 0.
int tb1s_allowed_by(const tb1s_allow_list *l, const tb1s_ip *ip);

// The library's list: the export tbsmb1s_allow_cidr, and the check the
// network service makes for every connection.
int32_t tb1s_allow_add(const char *cidr);
int tb1s_client_allowed(const tb1s_ip *ip);

}  // namespace tb1s
