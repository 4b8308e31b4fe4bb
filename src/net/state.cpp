#include "net/state.h"

namespace tb1s {

tb1s_server g_server{.lock{},
                     .running = 0,
                     .sock = TB1S_NOSOCK,
                     .port = 0,
                     .acceptor = nullptr,
                     .conns = nullptr,
                     .count = 0,
                     .stopping{0},
                     .world{}};

uint32_t tb1s_net_port()
{
    std::lock_guard<std::mutex> g(g_server.lock);
    return g_server.running ? uint32_t(g_server.port) : 0;
}

int32_t tb1s_net_client_count()
{
    std::lock_guard<std::mutex> g(g_server.lock);
    return g_server.count;
}

}  // namespace tb1s
