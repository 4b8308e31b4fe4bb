// The network service with the real session runner: SMB1 over TCP on
// loopback, idle timeout, and stops that clients cannot hold up.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "cfg/stats.h"
#include "client.h"
#include "net/server.h"
#include "smb1.h"
#include "support.h"
#include "tbsmb1s.h"
#include "util/bytes.h"
#include "world.h"

using namespace tb1s;

namespace {

using namespace tb1s_test;

bool send_all(int fd, const bytes &b)
{
    size_t off = 0;
    while (off < b.size()) {
        ssize_t r = send(fd, b.data() + off, b.size() - off, MSG_NOSIGNAL);
        if (r <= 0)
            return false;
        off += size_t(r);
    }
    return true;
}

// Reads exactly n bytes within ms milliseconds.
bool recv_exact(int fd, uint8_t *p, size_t n, int ms)
{
    auto t0 = std::chrono::steady_clock::now();
    size_t got = 0;
    while (got < n) {
        int left = ms - int(ms_since(t0));
        pollfd pf{fd, POLLIN, 0};
        if (left <= 0 || poll(&pf, 1, left) <= 0)
            return false;
        ssize_t r = recv(fd, p + got, n - got, 0);
        if (r <= 0)
            return false;
        got += size_t(r);
    }
    return true;
}

// One NetBIOS packet: its type and body.
bool recv_packet(int fd, uint8_t *type, bytes *body, int ms)
{
    uint8_t h[4];
    if (!recv_exact(fd, h, 4, ms))
        return false;
    *type = h[0];
    body->resize(size_t(h[1]) << 16 | size_t(h[2]) << 8 | h[3]);
    return body->empty() || recv_exact(fd, body->data(), body->size(), ms);
}

bool wait_for_clients(int32_t want, int ms)
{
    auto t0 = std::chrono::steady_clock::now();
    while (tbsmb1s_client_count() != want) {
        if (ms_since(t0) > ms)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// The service runs in a world of the test's own (SMB1 on, the options each
// test sets), so no test leaves anything behind in the library's options.
class Session : public ::testing::Test {
protected:
    test_world world;
    int fd = -1;
    uint16_t port = 0;
    void SetUp() override
    {
        world.set("allow_smb1", "1");
        if (!runner_answers())
            GTEST_SKIP() << "no answer to a session request: this tree has no session runner yet";
    }
    void TearDown() override
    {
        tbsmb1s_stop();
        if (fd >= 0)
            close(fd);
    }
    int32_t start_service()
    {
        tb1s_sess_ctx ctx = world.ctx();
        return tb1s_net_start(&ctx, "127.0.0.1", 0, nullptr);
    }
    // Whether a session request over TCP is answered at all.
    bool runner_answers()
    {
        if (start_service() != 0)
            return false;
        int probe = connect_to("127.0.0.1", uint16_t(tbsmb1s_port()));
        uint8_t type = 0;
        bytes body;
        bool ok = probe >= 0 && send_all(probe, nbss(bytes(68, 0x20), 0x81)) && recv_packet(probe, &type, &body, 5000);
        if (probe >= 0)
            close(probe);
        tbsmb1s_stop();
        return ok && type == 0x82;
    }
    void start()
    {
        world.recorded.clear();  // the probe's events
        ASSERT_EQ(start_service(), 0) << tbsmb1s_last_error();
        port = uint16_t(tbsmb1s_port());
    }
};

TEST_F(Session, AnswersSessionRequestAndEchoOverTcp)
{
    start();
    int64_t conns = tb1s_stat_get(STAT_CONNECTIONS);
    fd = connect_to("127.0.0.1", port);
    ASSERT_GE(fd, 0);
    // Session request with a called and a calling name (the body is not examined).
    ASSERT_TRUE(send_all(fd, nbss(bytes(68, 0x20), 0x81)));
    uint8_t type;
    bytes body;
    ASSERT_TRUE(recv_packet(fd, &type, &body, 5000));
    EXPECT_EQ(type, 0x82);
    EXPECT_TRUE(body.empty());

    ASSERT_TRUE(send_all(fd, smb1_frame(echo_request(0x0707, {'a', 'b', 'c', 'd'}))));
    ASSERT_TRUE(recv_packet(fd, &type, &body, 5000)) << "no ECHO reply";
    EXPECT_EQ(type, 0x00);
    ASSERT_EQ(body.size(), 32u + 1 + 2 + 2 + 4);
    EXPECT_EQ(to_hex(body.data(), 5), "ff534d422b");
    EXPECT_EQ(ld32le(&body[5]), 0u) << "status";
    EXPECT_EQ(ld16le(&body[30]), 0x0707) << "MID echoed";
    EXPECT_EQ(to_hex(body.data() + 32, 9), "010100040061626364");

    EXPECT_EQ(tbsmb1s_client_count(), 1);
    EXPECT_EQ(tb1s_stat_get(STAT_CONNECTIONS), conns + 1);
    close(fd);
    fd = -1;
    EXPECT_TRUE(wait_for_clients(0, 5000)) << "a closed connection is reaped";

    // The world heard of the connection from its start to its end.
    std::vector<event_rec> ev = world.events();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].kind, tb1s_event_kind::conn_accepted);
    EXPECT_EQ(ev[0].peer, "127.0.0.1");
    EXPECT_EQ(ev[1].kind, tb1s_event_kind::disconnect);
    EXPECT_EQ(ev[1].peer, "127.0.0.1");
    EXPECT_EQ(ev[1].bytes_sent, body.size()) << "the ECHO reply; NetBIOS packets are not SMB messages";
    EXPECT_LT(ev[1].duration_ms, 60000u);
}

TEST_F(Session, IdleConnectionIsClosed)
{
    world.set("idle_timeout_ms", "300");
    start();
    int64_t timeouts = tb1s_stat_get(STAT_TIMEOUTS);
    auto t0 = std::chrono::steady_clock::now();
    fd = connect_to("127.0.0.1", port);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(closed_by_peer(fd, 10000)) << "an idle client is closed";
    EXPECT_GE(ms_since(t0), 250) << "closed before the idle time";
    EXPECT_EQ(tb1s_stat_get(STAT_TIMEOUTS), timeouts + 1);
}

TEST_F(Session, StopIsNotHeldUpByASilentClient)
{
    start();
    fd = connect_to("127.0.0.1", port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(wait_for_clients(1, 5000));
    auto t0 = std::chrono::steady_clock::now();
    tbsmb1s_stop();
    int64_t took = ms_since(t0);
    EXPECT_LT(took, 1500) << "sessions poll the stop flag every 100 ms";
    EXPECT_EQ(tbsmb1s_client_count(), 0);
    EXPECT_EQ(tbsmb1s_port(), 0u);
    EXPECT_TRUE(closed_by_peer(fd, 2000));
}

// The client sends large ECHO requests and never reads the replies, so the
// server's replies fill both socket buffers and its write waits. A stop
// must still end that connection promptly (io_timeout_ms stays at its 30 s).
TEST_F(Session, StopIsNotHeldUpByAClientThatNeverReads)
{
    start();
    fd = connect_to("127.0.0.1", port);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK), 0);
    const bytes echo = smb1_frame(echo_request(1, bytes(60000, 'x')));
    // Push requests until nothing more goes for half a second: the server
    // is then stuck writing a reply nobody reads.
    size_t off = 0, total = 0;
    auto last = std::chrono::steady_clock::now();
    while (ms_since(last) < 500 && total < (size_t(512) << 20)) {
        ssize_t r = send(fd, echo.data() + off, echo.size() - off, MSG_NOSIGNAL);
        if (r > 0) {
            off = (off + size_t(r)) % echo.size();
            total += size_t(r);
            last = std::chrono::steady_clock::now();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    ASSERT_EQ(tbsmb1s_client_count(), 1);
    auto t0 = std::chrono::steady_clock::now();
    tbsmb1s_stop();
    EXPECT_LT(ms_since(t0), 3000) << "a writer blocked on a full socket held up the stop";
    EXPECT_EQ(tbsmb1s_client_count(), 0);
}

TEST_F(Session, ConnectionBeyondMaxClientsIsClosedAndCounted)
{
    world.set("max_clients", "1");
    start();
    fd = connect_to("127.0.0.1", port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(wait_for_clients(1, 5000));
    int64_t refused = tb1s_stat_get(STAT_REFUSED_FULL);
    int second = connect_to("127.0.0.1", port);
    ASSERT_GE(second, 0) << "the system accepts it; the server closes it";
    EXPECT_TRUE(closed_by_peer(second, 5000));
    close(second);
    EXPECT_EQ(tb1s_stat_get(STAT_REFUSED_FULL), refused + 1);
    std::vector<event_rec> turned = world.events_of(tb1s_event_kind::conn_refused);
    ASSERT_EQ(turned.size(), 1u);
    EXPECT_EQ(turned[0].reason, tb1s_refusal::full);
    EXPECT_EQ(turned[0].peer, "127.0.0.1");

    ASSERT_TRUE(send_all(fd, smb1_frame(echo_request(2, {'l', 'i', 'v', 'e'}))));
    uint8_t type;
    bytes body;
    EXPECT_TRUE(recv_packet(fd, &type, &body, 5000)) << "the first client is still served";
}

}  // namespace
