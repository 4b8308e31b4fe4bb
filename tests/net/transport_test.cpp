// The socket layer and the socket transport, on loopback connections made
// by hand (no acceptor, no session runner).
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "client.h"
#include "net/server.h"
#include "net/sock.h"
#include "util/ip.h"

using namespace tb1s;

namespace {

using namespace tb1s_test;

bool have_ipv6()
{
    int fd = connect_to("::1", 9);  // any result but EAFNOSUPPORT/EADDRNOTAVAIL shows IPv6 works
    if (fd >= 0)
        close(fd);
    return fd >= 0 || (errno != EAFNOSUPPORT && errno != EADDRNOTAVAIL);
}

// A listener on `addr` and one accepted connection from a client at `from`,
// with a stop flag and a write time limit of its own.
struct pair_fixture {
    tb1s_sock ls = TB1S_NOSOCK;
    std::atomic<int32_t> stop{0};
    tb1s_link conn{TB1S_NOSOCK, &stop, 30000};
    int client = -1;
    tb1s_ip peer{}, local{};

    bool open(const char *addr, const char *from)
    {
        tb1s_ip ip;
        int32_t port;
        int err;
        if (tb1s_ip_parse(addr, &ip) != 0 || tb1s_sock_listen(&ip, std::strchr(addr, ':'), 0, &ls, &port, &err))
            return false;
        client = connect_to(from, uint16_t(port));
        if (client < 0)
            return false;
        conn.sock = TB1S_NOSOCK;
        for (int i = 0; i < 50 && conn.sock == TB1S_NOSOCK; i++) {
            tb1s_sock_wait(ls, false, 100);
            tb1s_sock_accept(ls, &conn.sock, &peer, &local);
        }
        return conn.sock != TB1S_NOSOCK;
    }
    ~pair_fixture()
    {
        if (client >= 0)
            close(client);
        tb1s_sock_close(conn.sock);
        tb1s_sock_close(ls);
    }
};

std::string format(const tb1s_ip &ip)
{
    char t[64];
    tb1s_ip_format(&ip, t, sizeof t);
    return t;
}

TEST(Transport, ReadTimesOutThenReadsDataThenSeesTheEnd)
{
    pair_fixture f;
    ASSERT_TRUE(f.open("127.0.0.1", "127.0.0.1"));
    uint8_t buf[16];

    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(x_read(&f.conn, buf, sizeof buf, 150), -2);
    int64_t waited = ms_since(t0);
    EXPECT_GE(waited, 140) << "returned before the timeout";
    EXPECT_LT(waited, 3000);

    ASSERT_EQ(send(f.client, "abc", 3, 0), 3);
    EXPECT_EQ(x_read(&f.conn, buf, sizeof buf, 2000), 3);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 3), "abc");

    EXPECT_EQ(x_read(&f.conn, buf, 0, 100), -1) << "a zero-byte read would look like the end";
    close(f.client);
    f.client = -1;
    EXPECT_EQ(x_read(&f.conn, buf, sizeof buf, 2000), 0);
}

TEST(Transport, WriteDeliversEverything)
{
    pair_fixture f;
    ASSERT_TRUE(f.open("127.0.0.1", "127.0.0.1"));
    std::vector<uint8_t> data(8 << 20);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = uint8_t(i * 131 + (i >> 12));
    std::vector<uint8_t> got;
    std::thread reader([&] {
        uint8_t b[65536];
        while (got.size() < data.size()) {
            ssize_t r = recv(f.client, b, sizeof b, 0);
            if (r <= 0)
                break;
            got.insert(got.end(), b, b + r);
        }
    });
    // A 4-byte head and the body after it, as a reply goes out.
    EXPECT_EQ(x_write(&f.conn, data.data(), 4, data.data() + 4, int32_t(data.size() - 4)), 0);
    reader.join();
    EXPECT_TRUE(got == data) << "received " << got.size() << " of " << data.size() << " bytes intact";
}

// A client that never reads fills the socket; the write must give up after
// io_timeout_ms without progress, or at once when the server is stopping.
TEST(Transport, WriteToAPeerThatNeverReadsIsBounded)
{
    std::vector<uint8_t> big(64 << 20);
    {
        pair_fixture f;
        ASSERT_TRUE(f.open("127.0.0.1", "127.0.0.1"));
        f.conn.io_timeout_ms = 200;
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(x_write(&f.conn, nullptr, 0, big.data(), int32_t(big.size())), -1);
        int64_t took = ms_since(t0);
        EXPECT_GE(took, 190);
        EXPECT_LT(took, 5000) << "the time limit did not end the write";
    }
    {
        pair_fixture f;
        ASSERT_TRUE(f.open("127.0.0.1", "127.0.0.1"));
        f.conn.io_timeout_ms = 3600000;
        std::thread stopper([&f] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            f.stop = 1;
        });
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(x_write(&f.conn, nullptr, 0, big.data(), int32_t(big.size())), -1);
        EXPECT_LT(ms_since(t0), 5000) << "a stop did not end the write";
        stopper.join();
    }
}

// SIGPIPE keeps its default action (end the process) here, so surviving
// this test shows that a send to a closed peer raises no signal.
TEST(Transport, WriteToAClosedPeerFailsWithoutASignal)
{
    pair_fixture f;
    ASSERT_TRUE(f.open("127.0.0.1", "127.0.0.1"));
    close(f.client);
    f.client = -1;
    std::vector<uint8_t> chunk(65536);
    int32_t rc = 0;
    for (int i = 0; i < 100 && rc == 0; i++)  // the first sends may still be taken
        rc = x_write(&f.conn, nullptr, 0, chunk.data(), int32_t(chunk.size()));
    EXPECT_EQ(rc, -1);
}

TEST(Transport, AcceptedAddressesFoldMappedIpv4)
{
    struct row {
        const char *listen, *from, *peer, *local;
        bool v6;
    };
    const row rows[] = {
        {"127.0.0.1", "127.0.0.1", "127.0.0.1", "127.0.0.1", false},
        {"::", "127.0.0.1", "127.0.0.1", "127.0.0.1", false},  // dual stack: IPv4 client seen as IPv4
        {"::", "::1", "::1", "::1", true},
        {"::1", "::1", "::1", "::1", true},
    };
    for (const row &r : rows) {
        if (r.v6 && !have_ipv6())
            continue;
        pair_fixture f;
        ASSERT_TRUE(f.open(r.listen, r.from)) << r.listen << " <- " << r.from;
        EXPECT_EQ(format(f.peer), r.peer) << r.listen << " <- " << r.from;
        EXPECT_EQ(format(f.local), r.local) << r.listen << " <- " << r.from;
        EXPECT_EQ(f.peer.family, std::strchr(r.peer, ':') ? 6 : 4);
    }
}

TEST(Transport, ListenReportsThePlatformError)
{
    tb1s_ip ip;
    ASSERT_EQ(tb1s_ip_parse("127.0.0.1", &ip), 0);
    int32_t port, bound;
    int err = 0;
    tb1s_sock s, second;
    ASSERT_EQ(tb1s_sock_listen(&ip, false, 0, &s, &port, &err), 0);
    EXPECT_NE(port, 0) << "port 0 asks the system for one";
    EXPECT_NE(tb1s_sock_listen(&ip, false, uint16_t(port), &second, &bound, &err), 0) << "the port is taken";
    EXPECT_EQ(second, TB1S_NOSOCK);
    EXPECT_EQ(err, EADDRINUSE);
    char text[128];
    tb1s_sock_error_text(err, text, sizeof text);
    EXPECT_STREQ(text, "Address already in use");
    tb1s_sock_error_text(err, text, 8);
    EXPECT_STREQ(text, "Address");
    tb1s_sock_close(s);
}

}  // namespace
