// The listener, the acceptor and one thread per connection.
#pragma once

#include <cstdint>

// The exports tbsmb1s_start and tbsmb1s_stop.
int32_t tb1s_net_start(const char *address, uint32_t port, const char *server_name);
void tb1s_net_stop();
