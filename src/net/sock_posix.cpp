// Sockets on POSIX systems (Linux: accept4, SOCK_CLOEXEC, MSG_NOSIGNAL).
#include "net/sock.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "util/buf.h"

namespace tb1s {

namespace {

constexpr int k_backlog = 64;

int fd_of(tb1s_sock s) { return int(s); }

void set_opt(int fd, int level, int name, int value)
{
    setsockopt(fd, level, name, &value, sizeof value);  // result deliberately not examined
}

int set_nonblocking(int fd)
{
    int fl = fcntl(fd, F_GETFL);
    return fl < 0 ? -1 : fcntl(fd, F_SETFL, fl | O_NONBLOCK);
}

// An IPv4 or IPv6 socket address as an address record; an IPv4-mapped IPv6
// address becomes IPv4 so a dual-stack listener sees IPv4 clients as such.
int sa_to_ip(const sockaddr_storage &ss, tb1s_ip *ip)
{
    *ip = tb1s_ip{};
    if (ss.ss_family == AF_INET) {
        const auto &a = reinterpret_cast<const sockaddr_in &>(ss);
        ip->family = 4;
        std::memcpy(ip->addr, &a.sin_addr, 4);
        return 0;
    }
    if (ss.ss_family == AF_INET6) {
        tb1s_ip_from_v6(reinterpret_cast<const sockaddr_in6 &>(ss).sin6_addr.s6_addr, ip);
        return 0;
    }
    return -1;
}

}  // namespace

// Nothing to start on POSIX. SIGPIPE is not touched: every send passes
// MSG_NOSIGNAL, so the host's own disposition of the signal stays as it is.
int tb1s_sock_startup() { return 0; }

int tb1s_sock_error() { return errno; }

void tb1s_sock_error_text(int code, char *out, int32_t cap)
{
    if (!out || cap <= 0)
        return;
    char tmp[128];
    // GNU strerror_r: returns the text, which may or may not be in tmp.
    const char *t = strerror_r(code, tmp, sizeof tmp);
    tb1s_strlcpy(out, t ? t : "unknown error", size_t(cap));
}

// SO_REUSEADDR here keeps the bind exclusive: on Linux it only lets a new
// listener reuse a port whose old connections linger in TIME_WAIT (so a
// restart on the same port succeeds at once); a second listener on a port
// that is in use still fails. SO_REUSEPORT, which would allow that, is not set.
int tb1s_sock_listen(const tb1s_ip *ip, bool v6, uint16_t port, tb1s_sock *out, int32_t *bound_port, int *err)
{
    *out = TB1S_NOSOCK;
    *bound_port = 0;
    sockaddr_storage ss{};
    socklen_t len;
    if (v6) {
        auto &a = reinterpret_cast<sockaddr_in6 &>(ss);
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(port);
        if (ip->family == 4) {
            a.sin6_addr.s6_addr[10] = 0xFF;
            a.sin6_addr.s6_addr[11] = 0xFF;
            std::memcpy(a.sin6_addr.s6_addr + 12, ip->addr, 4);
        } else {
            std::memcpy(a.sin6_addr.s6_addr, ip->addr, 16);
        }
        len = sizeof(sockaddr_in6);
    } else {
        auto &a = reinterpret_cast<sockaddr_in &>(ss);
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        std::memcpy(&a.sin_addr, ip->addr, 4);
        len = sizeof(sockaddr_in);
    }
    int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        *err = errno;
        return -1;
    }
    set_opt(fd, SOL_SOCKET, SO_REUSEADDR, 1);
    if (v6)
        set_opt(fd, IPPROTO_IPV6, IPV6_V6ONLY, 0);
    sockaddr_storage got{};
    socklen_t got_len = sizeof got;
    tb1s_ip bound;
    if (bind(fd, reinterpret_cast<sockaddr *>(&ss), len) != 0 || listen(fd, k_backlog) != 0 ||
        set_nonblocking(fd) != 0 || getsockname(fd, reinterpret_cast<sockaddr *>(&got), &got_len) != 0) {
        *err = errno;
        close(fd);
        return -1;
    }
    if (sa_to_ip(got, &bound) != 0) {
        *err = EAFNOSUPPORT;
        close(fd);
        return -1;
    }
    set_opt(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    *bound_port = got.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6 &>(got).sin6_port)
                                            : ntohs(reinterpret_cast<sockaddr_in &>(got).sin_port);
    *out = fd;
    return 0;
}

int tb1s_sock_accept(tb1s_sock ls, tb1s_sock *out, tb1s_ip *peer, tb1s_ip *local)
{
    *out = TB1S_NOSOCK;
    sockaddr_storage pa{}, la{};
    socklen_t plen = sizeof pa, llen = sizeof la;
    int fd = accept4(fd_of(ls), reinterpret_cast<sockaddr *>(&pa), &plen, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return 0;
    set_opt(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    if (sa_to_ip(pa, peer) != 0 || getsockname(fd, reinterpret_cast<sockaddr *>(&la), &llen) != 0 ||
        sa_to_ip(la, local) != 0) {
        close(fd);
        return 0;
    }
    *out = fd;
    return 1;
}

int32_t tb1s_sock_recv(tb1s_sock s, void *p, int32_t n)
{
    ssize_t r = recv(fd_of(s), p, size_t(n), 0);
    if (r >= 0)
        return int32_t(r);
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? SOCK_AGAIN : SOCK_ERR;
}

int32_t tb1s_sock_send(tb1s_sock s, const void *p, int32_t n)
{
    ssize_t r = send(fd_of(s), p, size_t(n), MSG_NOSIGNAL);
    if (r >= 0)
        return int32_t(r);
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? SOCK_AGAIN : SOCK_ERR;
}

int32_t tb1s_sock_send2(tb1s_sock s, const void *a, int32_t an, const void *b, int32_t bn)
{
    iovec iov[2] = {{const_cast<void *>(a), size_t(an)}, {const_cast<void *>(b), size_t(bn)}};
    msghdr m{};
    m.msg_iov = an > 0 ? iov : iov + 1;
    m.msg_iovlen = an > 0 && bn > 0 ? 2 : 1;
    ssize_t r = sendmsg(fd_of(s), &m, MSG_NOSIGNAL);
    if (r >= 0)
        return int32_t(r);
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? SOCK_AGAIN : SOCK_ERR;
}

int tb1s_sock_wait(tb1s_sock s, bool write, int32_t ms)
{
    pollfd p{fd_of(s), short(write ? POLLWRNORM : (POLLRDNORM | POLLRDBAND)), 0};
    int r = poll(&p, 1, ms < 0 ? 0 : ms);
    if (r > 0)
        return 1;
    if (r == 0)
        return 0;
    return errno == EINTR ? SOCK_AGAIN : SOCK_ERR;
}

void tb1s_sock_shutdown(tb1s_sock s)
{
    if (s != TB1S_NOSOCK)
        shutdown(fd_of(s), SHUT_RDWR);
}

void tb1s_sock_close(tb1s_sock s)
{
    if (s != TB1S_NOSOCK)
        close(fd_of(s));
}

}  // namespace tb1s
