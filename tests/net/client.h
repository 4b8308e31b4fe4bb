// A plain blocking loopback client for the network tests, on the system's
// own socket calls so that it does not share code with what it tests.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>

namespace tb1s_test {

// The few socket calls the tests make, under one name on every system.
// Descriptors are ints: Windows socket handles fit in 32 bits.
#ifdef _WIN32
inline bool sock_started = [] {
    WSADATA d;
    return WSAStartup(MAKEWORD(2, 2), &d) == 0;
}();
inline int sock_open(int family) { return int(socket(family, SOCK_STREAM, 0)); }
inline void sock_close(int fd) { closesocket(SOCKET(fd)); }
inline long sock_send(int fd, const void *p, size_t n) { return send(SOCKET(fd), static_cast<const char *>(p), int(n), 0); }
inline long sock_recv(int fd, void *p, size_t n) { return recv(SOCKET(fd), static_cast<char *>(p), int(n), 0); }
inline bool sock_readable(int fd, int ms)
{
    WSAPOLLFD p{SOCKET(fd), POLLRDNORM, 0};
    return WSAPoll(&p, 1, ms) > 0;
}
inline bool sock_nonblocking(int fd)
{
    u_long on = 1;
    return ioctlsocket(SOCKET(fd), FIONBIO, &on) == 0;
}
inline bool sock_was_reset() { return WSAGetLastError() == WSAECONNRESET || WSAGetLastError() == WSAECONNABORTED; }
inline bool sock_no_ipv6() { return WSAGetLastError() == WSAEAFNOSUPPORT || WSAGetLastError() == WSAEADDRNOTAVAIL; }
#else
inline int sock_open(int family) { return socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0); }
inline void sock_close(int fd) { close(fd); }
inline long sock_send(int fd, const void *p, size_t n) { return long(send(fd, p, n, MSG_NOSIGNAL)); }
inline long sock_recv(int fd, void *p, size_t n) { return long(recv(fd, p, n, 0)); }
inline bool sock_readable(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}
inline bool sock_nonblocking(int fd) { return fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) == 0; }
inline bool sock_was_reset() { return errno == ECONNRESET; }
inline bool sock_no_ipv6() { return errno == EAFNOSUPPORT || errno == EADDRNOTAVAIL; }
#endif

// Reads exactly n bytes (blocking); false on an error or an early end.
inline bool sock_recv_all(int fd, void *p, size_t n)
{
    size_t got = 0;
    while (got < n) {
        long r = sock_recv(fd, static_cast<char *>(p) + got, n - got);
        if (r <= 0)
            return false;
        got += size_t(r);
    }
    return true;
}

// A listening socket of the tests' own on 127.0.0.1:port, or -1.
inline int listen_on_loopback(uint16_t port)
{
    int fd = sock_open(AF_INET);
    if (fd < 0)
        return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 1) != 0) {
        sock_close(fd);
        return -1;
    }
    return fd;
}

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
    int fd = sock_open(ss.ss_family);
    if (fd < 0)
        return -1;
    if (from) {
        sockaddr_in src{};
        src.sin_family = AF_INET;
        if (inet_pton(AF_INET, from, &src.sin_addr) != 1 ||
            bind(fd, reinterpret_cast<sockaddr *>(&src), sizeof src) != 0) {
            sock_close(fd);
            return -1;
        }
    }
    if (connect(fd, reinterpret_cast<sockaddr *>(&ss), len) != 0) {
        sock_close(fd);
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
        if (left.count() <= 0 || !sock_readable(fd, int(left.count())))
            return false;
        char b[4096];
        long r = sock_recv(fd, b, sizeof b);
        if (r == 0 || (r < 0 && sock_was_reset()))
            return true;
    }
}

inline int64_t ms_since(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace tb1s_test
