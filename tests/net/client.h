// A plain blocking loopback client for the network tests, on the system's
// own socket calls so that it does not share code with what it tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>

namespace tb1s_test {

// Connects to addr:port (IPv6 when addr has a ':') from the IPv4 address
// `from` when one is given (any address of 127.0.0.0/8 works on loopback);
// the descriptor or -1.
inline int connect_to(const char *addr, uint16_t port, const char *from = nullptr)
{
    sockaddr_storage ss{};
    socklen_t len;
    if (std::strchr(addr, ':')) {
        auto &a = reinterpret_cast<sockaddr_in6 &>(ss);
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(port);
        if (inet_pton(AF_INET6, addr, &a.sin6_addr) != 1)
            return -1;
        len = sizeof a;
    } else {
        auto &a = reinterpret_cast<sockaddr_in &>(ss);
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        if (inet_pton(AF_INET, addr, &a.sin_addr) != 1)
            return -1;
        len = sizeof a;
    }
    int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (from) {
        sockaddr_in src{};
        src.sin_family = AF_INET;
        if (inet_pton(AF_INET, from, &src.sin_addr) != 1 ||
            bind(fd, reinterpret_cast<sockaddr *>(&src), sizeof src) != 0) {
            close(fd);
            return -1;
        }
    }
    if (connect(fd, reinterpret_cast<sockaddr *>(&ss), len) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Waits up to ms for the server to end the connection: true once a read
// sees the end (or a reset), false if it is still open then.
inline bool closed_by_peer(int fd, int ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0)
            return false;
        char b[4096];
        ssize_t r = recv(fd, b, sizeof b, 0);
        if (r == 0 || (r < 0 && errno == ECONNRESET))
            return true;
    }
}

inline int64_t ms_since(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace tb1s_test
