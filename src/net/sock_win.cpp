// Sockets on Windows (Windows Sockets 2.2). Sockets are created without
// inheritance so programs the host starts do not get them, and sends never
// raise anything: a closed peer is an error result.
#include "net/sock.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstring>

#include "util/buf.h"
#include "util/text.h"

namespace tb1s {

namespace {

constexpr int k_backlog = 64;

SOCKET sock_of(tb1s_sock s) { return SOCKET(s); }

void set_opt(SOCKET s, int level, int name, int value)
{
    // Results deliberately not examined.
    setsockopt(s, level, name, reinterpret_cast<const char *>(&value), sizeof value);
}

int set_nonblocking(SOCKET s)
{
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0 ? 0 : -1;
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

// A socket of the family that is not inherited by child processes.
SOCKET new_socket(int family)
{
    return WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

int again_or_err()
{
    int e = WSAGetLastError();
    return e == WSAEWOULDBLOCK || e == WSAEINTR ? SOCK_AGAIN : SOCK_ERR;
}

}  // namespace

// Windows Sockets 2.2, started once per process and never cleaned up (the
// host may start the server again at any time).
int tb1s_sock_startup()
{
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0 ? 0 : -1;
}

int tb1s_sock_error() { return WSAGetLastError(); }

// The system's message for the code in the default language, without the
// line break that ends system messages, cut to at most 127 bytes on a
// character boundary.
void tb1s_sock_error_text(int code, char *out, int32_t cap)
{
    if (!out || cap <= 0)
        return;
    wchar_t w[512];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, DWORD(code), 0, w,
                             DWORD(sizeof w / sizeof w[0]), nullptr);
    while (n > 0 && (w[n - 1] == L'\r' || w[n - 1] == L'\n' || w[n - 1] == L' '))
        n--;
    char all[1536];
    char text[128];
    if (n == 0 || tb1s_utf16_to_utf8(reinterpret_cast<const uint8_t *>(w), uint64_t(n) * 2, all, sizeof all) < 0) {
        tb1s_snprintf(text, sizeof text, "socket error %d", code);
    } else {
        size_t m = std::strlen(all);
        if (m > sizeof text - 1) {
            m = sizeof text - 1;
            while (m > 0 && (uint8_t(all[m]) & 0xC0) == 0x80)
                m--;  // all[m] would start the cut: back off to a lead byte
        }
        std::memcpy(text, all, m);
        text[m] = 0;
    }
    tb1s_strlcpy(out, text, size_t(cap));
}

// SO_EXCLUSIVEADDRUSE: no other socket may bind the same address and port,
// not even one that asks to share it.
int tb1s_sock_listen(const tb1s_ip *ip, bool v6, uint16_t port, tb1s_sock *out, int32_t *bound_port, int *err)
{
    *out = TB1S_NOSOCK;
    *bound_port = 0;
    sockaddr_storage ss{};
    int len;
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
    SOCKET s = new_socket(v6 ? AF_INET6 : AF_INET);
    if (s == INVALID_SOCKET) {
        *err = WSAGetLastError();
        return -1;
    }
    set_opt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1);
    if (v6)
        set_opt(s, IPPROTO_IPV6, IPV6_V6ONLY, 0);
    sockaddr_storage got{};
    int got_len = sizeof got;
    tb1s_ip bound;
    if (bind(s, reinterpret_cast<sockaddr *>(&ss), len) != 0 || listen(s, k_backlog) != 0 ||
        set_nonblocking(s) != 0 || getsockname(s, reinterpret_cast<sockaddr *>(&got), &got_len) != 0) {
        *err = WSAGetLastError();
        closesocket(s);
        return -1;
    }
    if (sa_to_ip(got, &bound) != 0) {
        *err = WSAEAFNOSUPPORT;
        closesocket(s);
        return -1;
    }
    set_opt(s, IPPROTO_TCP, TCP_NODELAY, 1);
    *bound_port = got.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6 &>(got).sin6_port)
                                            : ntohs(reinterpret_cast<sockaddr_in &>(got).sin_port);
    *out = tb1s_sock(s);
    return 0;
}

// An accepted socket inherits the listener's non-blocking mode on Windows;
// it is set again all the same.
int tb1s_sock_accept(tb1s_sock ls, tb1s_sock *out, tb1s_ip *peer, tb1s_ip *local)
{
    *out = TB1S_NOSOCK;
    sockaddr_storage pa{}, la{};
    int plen = sizeof pa, llen = sizeof la;
    SOCKET s = accept(sock_of(ls), reinterpret_cast<sockaddr *>(&pa), &plen);
    if (s == INVALID_SOCKET)
        return 0;
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    set_opt(s, IPPROTO_TCP, TCP_NODELAY, 1);
    if (set_nonblocking(s) != 0 || sa_to_ip(pa, peer) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&la), &llen) != 0 || sa_to_ip(la, local) != 0) {
        closesocket(s);
        return 0;
    }
    *out = tb1s_sock(s);
    return 1;
}

int32_t tb1s_sock_recv(tb1s_sock s, void *p, int32_t n)
{
    int r = recv(sock_of(s), static_cast<char *>(p), n, 0);
    return r >= 0 ? int32_t(r) : again_or_err();
}

int32_t tb1s_sock_send(tb1s_sock s, const void *p, int32_t n)
{
    int r = send(sock_of(s), static_cast<const char *>(p), n, 0);
    return r >= 0 ? int32_t(r) : again_or_err();
}

// One WSASend of both pieces (an empty one is left out).
int32_t tb1s_sock_send2(tb1s_sock s, const void *a, int32_t an, const void *b, int32_t bn)
{
    WSABUF bufs[2] = {{ULONG(an), static_cast<CHAR *>(const_cast<void *>(a))},
                      {ULONG(bn), static_cast<CHAR *>(const_cast<void *>(b))}};
    WSABUF *first = an > 0 ? bufs : bufs + 1;
    DWORD count = an > 0 && bn > 0 ? 2 : 1;
    DWORD sent = 0;
    if (WSASend(sock_of(s), first, count, &sent, 0, nullptr, nullptr) == 0)
        return int32_t(sent);
    return again_or_err();
}

int tb1s_sock_wait(tb1s_sock s, bool write, int32_t ms)
{
    WSAPOLLFD p{};
    p.fd = sock_of(s);
    p.events = short(write ? POLLWRNORM : (POLLRDNORM | POLLRDBAND));
    int r = WSAPoll(&p, 1, ms < 0 ? 0 : ms);
    if (r > 0)
        return 1;
    if (r == 0)
        return 0;
    return WSAGetLastError() == WSAEINTR ? SOCK_AGAIN : SOCK_ERR;
}

void tb1s_sock_shutdown(tb1s_sock s)
{
    if (s != TB1S_NOSOCK)
        shutdown(sock_of(s), SD_BOTH);
}

void tb1s_sock_close(tb1s_sock s)
{
    if (s != TB1S_NOSOCK)
        closesocket(sock_of(s));
}

}  // namespace tb1s
