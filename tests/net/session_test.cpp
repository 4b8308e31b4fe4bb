// The network service with the real session runner: SMB1 over TCP on
// loopback, idle timeout, and stops that clients cannot hold up.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <atomic>
#include <memory>

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

// A client that sends ECHO requests back to back and reads every reply,
// until the server closes the connection.
struct busy_client {
    int fd = -1;
    std::chrono::steady_clock::time_point ended;  // when a send or read failed: the close
    std::atomic<int64_t> replies{0};
    std::thread t;

    bool open(uint16_t port, const char *from)
    {
        fd = connect_to("127.0.0.1", port, from);
        if (fd < 0)
            return false;
        t = std::thread([this] {
            const bytes echo = smb1_frame(echo_request(1, bytes(512, 'b')));
            uint8_t type;
            bytes body;
            for (;;) {
                if (!send_all(fd, echo) || !recv_packet(fd, &type, &body, 10000))
                    break;
                replies++;
            }
            ended = std::chrono::steady_clock::now();
        });
        return true;
    }
    ~busy_client()
    {
        if (t.joinable())
            t.join();
        if (fd >= 0)
            close(fd);
    }
};

// Clients that keep the server busy cannot hold a stop up: every session
// ends before its next message, and every client sees its connection closed.
TEST_F(Session, StopEndsBusySessionsPromptly)
{
    constexpr int k_clients = 24;
    world.set("max_clients", "64");
    world.set("max_clients_per_peer", "64");
    start();
    std::vector<std::unique_ptr<busy_client>> clients;
    for (int i = 0; i < k_clients; i++) {
        clients.push_back(std::make_unique<busy_client>());
        ASSERT_TRUE(clients.back()->open(port, nullptr));
    }
    ASSERT_TRUE(wait_for_clients(k_clients, 5000));
    auto t0 = std::chrono::steady_clock::now();
    while (ms_since(t0) < 5000) {  // until every client has had replies
        bool all = true;
        for (auto &c : clients)
            all = all && c->replies > 0;
        if (all)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    t0 = std::chrono::steady_clock::now();
    tbsmb1s_stop();
    int64_t took = ms_since(t0);
    EXPECT_LT(took, 1000) << "sessions stop before their next message, busy or not";
    EXPECT_EQ(tbsmb1s_client_count(), 0);
    for (auto &c : clients) {
        c->t.join();
        EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(c->ended - t0).count(), 2000)
            << "the client saw its connection closed";
        EXPECT_GT(c->replies, 0);
    }
}

// The deadlines of a connection, each closing it and counting a timeout:
// the logon deadline (keep-alives do not extend it), and the deadline of a
// message whose first byte has come (a peer that trickles the rest is
// held to it too). The idle time is long in every row.
TEST_F(Session, DeadlinesCloseStalledConnections)
{
    struct row {
        const char *what;
        const char *logon_timeout_ms;
        const char *io_timeout_ms;
        bytes first;        // sent at once
        bytes every;        // then sent every 100 ms
        int64_t at_least;   // ms before which the connection must still be open
    } rows[] = {
        {"keep-alives and no logon", "1000", "30000", {}, {0, 0, 0, 0}, 900},
        {"session keep-alives (0x85) and no logon", "1000", "30000", {}, {0x85, 0, 0, 0}, 900},
        {"half a header", "60000", "400", {0x00, 0x00}, {}, 350},
        {"a body trickled a byte at a time", "60000", "400", {0x00, 0x00, 0x10, 0x00}, {'x'}, 350},
    };
    world.set("idle_timeout_ms", "60000");
    for (const row &r : rows) {
        world.set("logon_timeout_ms", r.logon_timeout_ms);
        world.set("io_timeout_ms", r.io_timeout_ms);
        start();
        int64_t timeouts = tb1s_stat_get(STAT_TIMEOUTS);
        auto t0 = std::chrono::steady_clock::now();
        int c = connect_to("127.0.0.1", port);
        ASSERT_GE(c, 0) << r.what;
        if (!r.first.empty()) {
            ASSERT_TRUE(send_all(c, r.first)) << r.what;
        }
        bool closed = false;
        while (!closed && ms_since(t0) < 5000) {
            if (!r.every.empty())
                send(c, r.every.data(), r.every.size(), MSG_NOSIGNAL);
            closed = closed_by_peer(c, 100);
        }
        int64_t took = ms_since(t0);
        close(c);
        EXPECT_TRUE(closed) << r.what;
        EXPECT_GE(took, r.at_least) << r.what << ": closed before its deadline";
        EXPECT_LT(took, 3000) << r.what;
        EXPECT_TRUE(wait_for_clients(0, 2000)) << r.what;
        EXPECT_EQ(tb1s_stat_get(STAT_TIMEOUTS), timeouts + 1) << r.what;
        tbsmb1s_stop();
    }
}

// A logged-on session keeps only the idle timeout: it outlives the logon
// deadline, and its keep-alives keep it open.
TEST_F(Session, LoggedOnSessionOutlivesTheLogonDeadline)
{
    world.set("logon_timeout_ms", "1000");
    start();
    fd = connect_to("127.0.0.1", port);
    ASSERT_GE(fd, 0);
    uint8_t type;
    bytes body;
    ASSERT_TRUE(send_all(fd, smb1_frame(negotiate_request())));
    ASSERT_TRUE(recv_packet(fd, &type, &body, 5000));
    ASSERT_TRUE(send_all(fd, smb1_frame(setup_nonext_request({}, {}))));
    ASSERT_TRUE(recv_packet(fd, &type, &body, 5000));
    ASSERT_GE(body.size(), 9u);
    ASSERT_EQ(ld32le(&body[5]), 0u) << "guest logon";
    for (int i = 0; i < 15; i++) {
        ASSERT_TRUE(send_all(fd, {0, 0, 0, 0}));
        ASSERT_FALSE(closed_by_peer(fd, 100)) << "closed after " << (i + 1) * 100 << " ms";
    }
    ASSERT_TRUE(send_all(fd, smb1_frame(echo_request(5))));
    ASSERT_TRUE(recv_packet(fd, &type, &body, 5000)) << "still served after the logon deadline";
}

// At most max_clients_per_peer connections from one address: the next is
// closed at once and counted, while another address still gets in.
TEST_F(Session, PerPeerCapLeavesRoomForOthers)
{
    world.set("max_clients_per_peer", "2");
    start();
    int a = connect_to("127.0.0.1", port), b = connect_to("127.0.0.1", port);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    ASSERT_TRUE(wait_for_clients(2, 5000));
    int64_t refused = tb1s_stat_get(STAT_REFUSED_FULL);
    int third = connect_to("127.0.0.1", port);
    ASSERT_GE(third, 0);
    EXPECT_TRUE(closed_by_peer(third, 5000)) << "a third connection from 127.0.0.1";
    EXPECT_EQ(tb1s_stat_get(STAT_REFUSED_FULL), refused + 1);
    fd = connect_to("127.0.0.1", port, "127.0.0.2");
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(send_all(fd, smb1_frame(echo_request(3))));
    uint8_t type;
    bytes body;
    EXPECT_TRUE(recv_packet(fd, &type, &body, 5000)) << "a client from 127.0.0.2 is served";
    close(a);
    close(b);
    close(third);
    ASSERT_TRUE(wait_for_clients(1, 5000));
    int again = connect_to("127.0.0.1", port);
    ASSERT_GE(again, 0);
    ASSERT_TRUE(send_all(again, smb1_frame(echo_request(4))));
    EXPECT_TRUE(recv_packet(again, &type, &body, 5000)) << "a slot freed is a slot again";
    close(again);
}

// Before a logon a message may hold at most 64 KiB, whatever max_message.
TEST_F(Session, LongMessageBeforeLogonEndsTheConnection)
{
    start();
    fd = connect_to("127.0.0.1", port);
    ASSERT_GE(fd, 0);
    int64_t errors = tb1s_stat_get(STAT_PROTOCOL_ERRORS);
    ASSERT_TRUE(send_all(fd, {0x00, 0x01, 0x00, 0x01}));  // 65537 bytes announced
    EXPECT_TRUE(closed_by_peer(fd, 5000));
    EXPECT_EQ(tb1s_stat_get(STAT_PROTOCOL_ERRORS), errors + 1);
}

}  // namespace
