// The listener and acceptor through the exports, with loopback clients.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "cfg/opts.h"
#include "client.h"
#include "net/state.h"
#include "tbsmb1s.h"

using namespace tb1s;

namespace {

using namespace tb1s_test;

// These tests are about the exports, so they use the library's own options;
// each sets what it relies on.
class Server : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(tbsmb1s_set_option("allow_smb1", "1"), 0);
    }
    void TearDown() override
    {
        tbsmb1s_stop();
    }
};

TEST_F(Server, FreshStateReadsZero)
{
    EXPECT_EQ(tbsmb1s_port(), 0u);
    EXPECT_EQ(tbsmb1s_client_count(), 0);
    EXPECT_EQ(g_server.stopping.load(), 0);
}

TEST_F(Server, StartStopAndRestartOnTheSamePort)
{
    ASSERT_EQ(tbsmb1s_start(nullptr, 0, nullptr), 0) << tbsmb1s_last_error();
    uint32_t port = tbsmb1s_port();
    ASSERT_NE(port, 0u) << "the port the system chose";

    std::string head = "{\"running\":true,\"port\":" + std::to_string(port) + ",\"clients\":";
    EXPECT_EQ(std::string(tbsmb1s_stats_json()).rfind(head, 0), 0u) << tbsmb1s_stats_json();

    EXPECT_EQ(tbsmb1s_start("127.0.0.1", 0, nullptr), TBSMB1S_ERUNNING);
    EXPECT_EQ(std::string(tbsmb1s_last_error()), "start: already running on port " + std::to_string(port));

    // Clients still connected at the stop: the server closes its side first,
    // which leaves TIME_WAIT entries on the port for the restart below.
    int clients[3];
    for (int &fd : clients) {
        fd = connect_to("127.0.0.1", uint16_t(port));
        ASSERT_GE(fd, 0) << "the default address is 127.0.0.1";
    }

    auto t0 = std::chrono::steady_clock::now();
    tbsmb1s_stop();
    EXPECT_LT(ms_since(t0), 2000) << "sessions and the acceptor poll the stop flag every 100 ms";
    for (int fd : clients) {
        EXPECT_TRUE(closed_by_peer(fd, 2000));
        sock_close(fd);
    }
    EXPECT_EQ(tbsmb1s_port(), 0u);
    EXPECT_EQ(tbsmb1s_client_count(), 0);
    EXPECT_EQ(std::string(tbsmb1s_stats_json()).rfind("{\"running\":false,\"port\":0,\"clients\":0,", 0), 0u);
    tbsmb1s_stop();  // harmless when stopped

    int fd = connect_to("127.0.0.1", uint16_t(port));
    EXPECT_LT(fd, 0) << "the listening socket is closed after a stop";
    if (fd >= 0)
        sock_close(fd);

    ASSERT_EQ(tbsmb1s_start("127.0.0.1", port, nullptr), 0) << tbsmb1s_last_error();
    EXPECT_EQ(tbsmb1s_port(), port);
}

TEST_F(Server, StartRefusesBadArguments)
{
    struct row {
        const char *address;
        uint32_t port;
        const char *name;
        int32_t rc;
        std::string message;
    };
    const std::string long_addr(100, '9');
    const std::string name63(63, 'N'), name64(64, 'N');
    const row rows[] = {
        {"localhost", 0, nullptr, TBSMB1S_EINVAL, "start: localhost is not an IP address"},
        {long_addr.c_str(), 0, nullptr, TBSMB1S_EINVAL,
         "start: " + long_addr.substr(0, 64) + " is not an IP address"},
        {"127.0.0.1", 70000, nullptr, TBSMB1S_EINVAL, "start: port out of range"},
        {"127.0.0.1", 65536, nullptr, TBSMB1S_EINVAL, "start: port out of range"},
        {"127.0.0.1", 0, "", TBSMB1S_EINVAL, "start: server_name 1..63 bytes"},
        {"127.0.0.1", 0, name64.c_str(), TBSMB1S_EINVAL, "start: server_name 1..63 bytes"},
        {"127.0.0.1", 0, "NA\tS", TBSMB1S_EINVAL, "start: server_name printable ASCII only"},
        {"127.0.0.1", 0, "NA\x7FS", TBSMB1S_EINVAL, "start: server_name printable ASCII only"},
    };
    for (const row &r : rows) {
        EXPECT_EQ(tbsmb1s_start(r.address, r.port, r.name), r.rc) << r.message;
        EXPECT_EQ(tbsmb1s_last_error(), r.message);
        EXPECT_EQ(tbsmb1s_port(), 0u) << "a failed start leaves the server stopped";
    }

    ASSERT_EQ(tbsmb1s_start("127.0.0.1", 0, name63.c_str()), 0) << tbsmb1s_last_error();
    // The name is set even when the start then fails.
    EXPECT_EQ(tbsmb1s_start("127.0.0.1", 0, "NAS"), TBSMB1S_ERUNNING);
    tb1s_opts o;
    tb1s_opts_get(&o);
    EXPECT_STREQ(o.server_name, "NAS");
    tbsmb1s_stop();

    ASSERT_EQ(tbsmb1s_set_option("allow_smb1", "0"), 0);
    EXPECT_EQ(tbsmb1s_start(nullptr, 0, nullptr), TBSMB1S_ESMB1OFF);
    EXPECT_STREQ(tbsmb1s_last_error(), "SMB1 is off by default; set_option(\"allow_smb1\",\"1\") first");
    ASSERT_EQ(tbsmb1s_set_option("server_name", TB1S_DEFAULT_SERVER_NAME), 0);
}

TEST_F(Server, PortInUseIsAPlatformFailure)
{
    ASSERT_EQ(tbsmb1s_start("127.0.0.1", 0, nullptr), 0);
    uint32_t port = tbsmb1s_port();
    tbsmb1s_stop();
    // Hold the port with a listener of our own.
    int holder = listen_on_loopback(uint16_t(port));
    ASSERT_GE(holder, 0);

    EXPECT_EQ(tbsmb1s_start("127.0.0.1", port, nullptr), TBSMB1S_EPLATFORM);
#ifdef _WIN32
    // WSAEADDRINUSE, or WSAEACCES for a port held by another socket
    // (exclusive binding), with the system's text of it.
    std::string err = tbsmb1s_last_error();
    EXPECT_TRUE(err.rfind("start: bind failed (10048): ", 0) == 0 || err.rfind("start: bind failed (10013): ", 0) == 0)
        << err;
    EXPECT_GT(err.size(), std::string("start: bind failed (10048): ").size()) << "the system's message";
#else
    EXPECT_STREQ(tbsmb1s_last_error(), "start: bind failed (98): Address already in use");
#endif
    EXPECT_EQ(tbsmb1s_port(), 0u);
    sock_close(holder);
    EXPECT_EQ(tbsmb1s_start("127.0.0.1", port, nullptr), 0) << "a failed start must leave the state Stopped";
}

TEST_F(Server, ListensOnIpv6AndDualStack)
{
    struct row {
        const char *listen;
        bool v4_ok, v6_ok;
    };
    const row rows[] = {
        {"::1", false, true},
        {"::", true, true},
        {"0.0.0.0", true, false},
        {"::ffff:127.0.0.1", true, false},  // an IPv6 socket bound to the mapped address
        {"[::1]", false, true},
    };
    for (const row &r : rows) {
        ASSERT_EQ(tbsmb1s_start(r.listen, 0, nullptr), 0) << r.listen << ": " << tbsmb1s_last_error();
        auto port = uint16_t(tbsmb1s_port());
        for (auto [from, ok] : {std::pair{"127.0.0.1", r.v4_ok}, std::pair{"::1", r.v6_ok}}) {
            int fd = connect_to(from, port);
            EXPECT_EQ(fd >= 0, ok) << r.listen << " <- " << from;
            if (fd >= 0)
                sock_close(fd);
        }
        tbsmb1s_stop();
    }
}

}  // namespace
