// The client allow-list (64 entries, guarded by the library lock). Loopback
// clients are always admitted; others only from a listed block.
#pragma once

#include <cstdint>

#include "util/ip.h"

namespace tb1s {

// The export tbsmb1s_allow_cidr. 0, -1 or -6.
int32_t tb1s_allow_add(const char *cidr);
// 1 if the client may connect, else 0.
int tb1s_client_allowed(const tb1s_ip *ip);

}  // namespace tb1s
