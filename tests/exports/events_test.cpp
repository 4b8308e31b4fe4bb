// The host's event callback through the public interface: every kind of
// event from simulations and from real loopback connections, the record's
// texts, the absence of secrets, and replacing the callback while calls are
// under way.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../net/client.h"
#include "../sess/files.h"
#include "ntlm_client.h"
#include "smb1.h"
#include "support.h"
#include "tbsmb1s.h"

using namespace tb1s_test;

namespace {

// An event as the callback saw it, its texts copied.
struct seen {
    uint32_t size;
    int32_t kind, reason, guest;
    uint64_t connection, duration_ms, bytes_sent;
    std::string peer, user, share, command, path;
};

// Records every event it is given.
struct recorder {
    std::mutex lock;
    std::condition_variable more;
    std::vector<seen> events;

    static void on_event(void *self, const tbsmb1s_event *e)
    {
        auto *r = static_cast<recorder *>(self);
        std::lock_guard<std::mutex> g(r->lock);
        r->events.push_back(seen{e->size, e->kind, e->reason, e->guest, e->connection, e->duration_ms, e->bytes_sent,
                                 e->peer, e->user, e->share, e->command, e->path});
        r->more.notify_all();
    }
    std::vector<seen> take()
    {
        std::lock_guard<std::mutex> g(lock);
        return std::move(events);
    }
    // Waits up to ms for an event of the kind; true when one was recorded.
    bool wait_for(int32_t kind, int ms)
    {
        std::unique_lock<std::mutex> g(lock);
        return more.wait_for(g, std::chrono::milliseconds(ms), [&] {
            for (const seen &e : events)
                if (e.kind == kind)
                    return true;
            return false;
        });
    }
};

// Registers a recorder for the life of the fixture; events end with it.
struct Events : ::testing::Test {
    recorder rec;
    void SetUp() override
    {
        ASSERT_EQ(tbsmb1s_set_option("allow_smb1", "1"), 0);
        ASSERT_EQ(tbsmb1s_set_event_callback(recorder::on_event, &rec), 0);
    }
    void TearDown() override
    {
        tbsmb1s_set_event_callback(nullptr, nullptr);
        tbsmb1s_stop();
    }
};

std::vector<int32_t> kinds(const std::vector<seen> &ev)
{
    std::vector<int32_t> out;
    for (const seen &e : ev)
        out.push_back(e.kind);
    return out;
}

smb1_request with_ids(smb1_request r, uint16_t uid, uint16_t tid)
{
    r.uid = uid;
    r.tid = tid;
    return r;
}

// A guest session on a share: a tree accepted and one refused, an open
// that would create a file and a write, all refused, then the end.
TEST_F(Events, SimulatedGuestSessionReportsEachStep)
{
    temp_dir d;
    ASSERT_EQ(tbsmb1s_add_share("evdocs", d.path.c_str()), 0);
    create_args make;
    make.disposition = 2;  // create
    smb1_request write = request(0x2F, bytes(24, 0));
    std::string s = script({smb1_frame(negotiate_request()), smb1_frame(setup_nonext_request({}, {})),
                            smb1_frame(with_ids(tree_req("\\\\HOST\\evdocs"), 1, 0)),
                            smb1_frame(with_ids(tree_req("\\\\HOST\\no such share"), 1, 0)),
                            smb1_frame(with_ids(create_req(1, "new file.txt", make), 1, 1)),
                            smb1_frame(with_ids(write, 1, 1))});
    std::string out = run_sim(s);
    tbsmb1s_remove_share("evdocs");
    ASSERT_NE(out.find("RESULT ok (6 frames)"), std::string::npos) << out;

    std::vector<seen> ev = rec.take();
    ASSERT_EQ(kinds(ev), (std::vector<int32_t>{TBSMB1S_EVENT_CONNECTED, TBSMB1S_EVENT_LOGON, TBSMB1S_EVENT_TREE,
                                               TBSMB1S_EVENT_TREE_REFUSED, TBSMB1S_EVENT_WRITE_REFUSED,
                                               TBSMB1S_EVENT_WRITE_REFUSED, TBSMB1S_EVENT_DISCONNECTED}));
    for (const seen &e : ev) {
        EXPECT_EQ(e.size, sizeof(tbsmb1s_event));
        EXPECT_EQ(e.peer, "127.0.0.1");
        EXPECT_NE(e.connection, 0u);
        EXPECT_EQ(e.connection, ev[0].connection) << "one session, one number";
        EXPECT_EQ(e.reason, 0);
    }
    EXPECT_EQ(ev[1].guest, 1);
    EXPECT_EQ(ev[1].user, "");
    EXPECT_EQ(ev[2].share, "evdocs");
    EXPECT_EQ(ev[3].share, "no such share");
    EXPECT_EQ(ev[4].command, "NT_CREATE_ANDX");
    EXPECT_EQ(ev[4].share, "evdocs");
    EXPECT_EQ(ev[4].path, "new file.txt");
    EXPECT_EQ(ev[5].command, "WRITE_ANDX");
    EXPECT_EQ(ev[5].share, "evdocs");
    EXPECT_EQ(ev[5].path, "");
    EXPECT_GT(ev[6].bytes_sent, 6u * 32) << "six replies of at least a header each";
    EXPECT_LT(ev[6].duration_ms, 60000u);
    for (size_t i : {0, 2, 3, 6})
        EXPECT_EQ(ev[i].user + ev[i].command + ev[i].path, "") << "kind " << ev[i].kind << ": nothing that does not apply";
}

// A client that offers SMB2 in an SMB1 NEGOTIATE is answered and turned
// away, one that sends SMB2 is not answered; either is reported once. A peer
// outside the allow-list is refused before any session starts.
TEST_F(Events, SimulatedSmb2ClientAndRefusedPeer)
{
    bytes smb2_negotiate(64, 0);
    std::copy_n("\xFESMB", 4, smb2_negotiate.begin());
    for (const bytes &offer : {smb1_frame(negotiate_request({"NT LM 0.12", "SMB 2.002"})), nbss(smb2_negotiate)}) {
        run_sim(script({offer, offer}));
        EXPECT_EQ(kinds(rec.take()), (std::vector<int32_t>{TBSMB1S_EVENT_CONNECTED, TBSMB1S_EVENT_SMB2_ONLY,
                                                           TBSMB1S_EVENT_DISCONNECTED}))
            << to_hex(offer).substr(0, 16);
    }
    std::vector<seen> ev;

    EXPECT_EQ(run_sim(script({smb1_frame(echo_request())}), "192.0.2.10"), "refused: client address not allowed\n");
    ev = rec.take();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].kind, TBSMB1S_EVENT_REFUSED);
    EXPECT_EQ(ev[0].reason, TBSMB1S_REFUSED_ALLOW);
    EXPECT_EQ(ev[0].peer, "192.0.2.10");
    EXPECT_EQ(ev[0].connection, 0u) << "no session started";
}

// A user logs on and a wrong password fails; the account name shows, the
// password, its hash and the session key never do.
TEST_F(Events, SimulatedUserLogonsCarryNoSecret)
{
    const std::string password = "Ev3nt-Secret-Pw";
    ASSERT_EQ(tbsmb1s_add_user("evuser", password.c_str()), 0);
    ASSERT_EQ(tbsmb1s_set_option("clock", "1000000000"), 0);  // the same challenge in every simulation
    transcript first = parse_transcript(run_sim(script({smb1_frame(negotiate_request())})));
    ASSERT_EQ(first.replies.size(), 1u);
    bytes chal, info;
    ASSERT_TRUE(read_challenge(ntlm_in(reply_blob(first.replies[0])), &chal, &info));
    auto logon = [&](const std::string &pw) {
        bytes owf = ntowfv2("EVUSER", "", pw);
        const bytes client_chal(8, 0x5A);
        bytes nt = ntlmv2_response(owf, chal, client_chal, filetime_of(1000000000), info);
        return smb1_frame(setup_nonext_request(lmv2_response(owf, chal, client_chal), nt, "EVUSER"));
    };
    rec.take();
    std::string out = run_sim(script({smb1_frame(negotiate_request()), logon(password)}));
    std::string bad = run_sim(script({smb1_frame(negotiate_request()), logon("wrong")}));
    tbsmb1s_set_option("clock", "0");
    tbsmb1s_remove_user("evuser");

    std::vector<seen> ev = rec.take();
    ASSERT_EQ(kinds(ev), (std::vector<int32_t>{TBSMB1S_EVENT_CONNECTED, TBSMB1S_EVENT_LOGON,
                                               TBSMB1S_EVENT_DISCONNECTED, TBSMB1S_EVENT_CONNECTED,
                                               TBSMB1S_EVENT_LOGON_FAILED, TBSMB1S_EVENT_DISCONNECTED}))
        << out << bad;
    EXPECT_EQ(ev[1].user, "evuser") << "the account as declared";
    EXPECT_EQ(ev[1].guest, 0);
    EXPECT_EQ(ev[4].user, "EVUSER") << "the name the client gave";
    EXPECT_EQ(ev[4].guest, 0);
    std::string hash = to_hex(ntowfv2("EVUSER", "", password));
    for (const seen &e : ev) {
        for (const std::string *text : {&e.peer, &e.user, &e.share, &e.command, &e.path}) {
            EXPECT_EQ(text->find(password), std::string::npos) << *text;
            EXPECT_EQ(text->find(hash), std::string::npos) << *text;
        }
    }
}

// Sends an ECHO and reads its reply; false when either fails.
bool echo_round(int fd)
{
    bytes frame = smb1_frame(echo_request(1, {'h', 'i'}));
    if (send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != ssize_t(frame.size()))
        return false;
    uint8_t head[4];
    if (recv(fd, head, 4, MSG_WAITALL) != 4)
        return false;
    size_t len = size_t(head[1]) << 16 | size_t(head[2]) << 8 | head[3];
    bytes msg(len);
    return recv(fd, msg.data(), len, MSG_WAITALL) == ssize_t(len);
}

// Over real sockets: a connection admitted, one refused because the server
// is full, and the first one's end with its duration and bytes.
TEST_F(Events, LoopbackConnectionsRefusalAndDisconnect)
{
    ASSERT_EQ(tbsmb1s_set_option("max_clients", "1"), 0);
    ASSERT_EQ(tbsmb1s_start("127.0.0.1", 0, nullptr), 0) << tbsmb1s_last_error();
    uint16_t port = uint16_t(tbsmb1s_port());
    int fd = connect_to("127.0.0.1", port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(echo_round(fd));
    ASSERT_TRUE(rec.wait_for(TBSMB1S_EVENT_CONNECTED, 5000));

    int second = connect_to("127.0.0.1", port);
    ASSERT_GE(second, 0);
    EXPECT_TRUE(closed_by_peer(second, 5000));
    close(second);
    ASSERT_TRUE(rec.wait_for(TBSMB1S_EVENT_REFUSED, 5000));

    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    close(fd);
    ASSERT_TRUE(rec.wait_for(TBSMB1S_EVENT_DISCONNECTED, 5000));
    tbsmb1s_stop();
    tbsmb1s_set_option("max_clients", "16");

    std::vector<seen> ev = rec.take();
    ASSERT_EQ(kinds(ev), (std::vector<int32_t>{TBSMB1S_EVENT_CONNECTED, TBSMB1S_EVENT_REFUSED,
                                               TBSMB1S_EVENT_DISCONNECTED}));
    EXPECT_EQ(ev[0].peer, "127.0.0.1");
    EXPECT_NE(ev[0].connection, 0u);
    EXPECT_EQ(ev[1].reason, TBSMB1S_REFUSED_FULL);
    EXPECT_EQ(ev[1].peer, "127.0.0.1");
    EXPECT_EQ(ev[1].connection, 0u);
    EXPECT_EQ(ev[2].connection, ev[0].connection);
    EXPECT_EQ(ev[2].bytes_sent, 32u + 1 + 2 + 2 + 2) << "the ECHO reply";
    EXPECT_GE(ev[2].duration_ms, 50u);
    EXPECT_LT(ev[2].duration_ms, 60000u);
}

// The callback of the replacement test: the first call blocks until the
// test lets it go; every call is counted.
struct blocker {
    std::mutex lock;
    std::condition_variable cv;
    bool entered = false, release = false;
    int calls = 0;
    int32_t inside_rc = 0;
    std::string inside_error;

    static void on_event(void *self, const tbsmb1s_event *)
    {
        auto *b = static_cast<blocker *>(self);
        std::unique_lock<std::mutex> g(b->lock);
        if (b->calls++ == 0) {
            // From inside the callback a replacement is refused, not waited for.
            b->inside_rc = tbsmb1s_set_event_callback(nullptr, nullptr);
            b->inside_error = tbsmb1s_last_error();
            b->entered = true;
            b->cv.notify_all();
            b->cv.wait(g, [b] { return b->release; });
        }
    }
};

// A replacement returns only once the calls of the old callback have
// returned, so the old user_data can be freed at once; the session goes on
// reporting to the new callback.
TEST_F(Events, ReplacementWaitsForCallsUnderWay)
{
    auto *old = new blocker;
    ASSERT_EQ(tbsmb1s_set_event_callback(blocker::on_event, old), 0);
    std::thread sim([] { run_sim(script({smb1_frame(echo_request())})); });
    {
        std::unique_lock<std::mutex> g(old->lock);
        ASSERT_TRUE(old->cv.wait_for(g, std::chrono::seconds(10), [&] { return old->entered; }));
    }
    EXPECT_EQ(old->inside_rc, TBSMB1S_ERUNNING);
    EXPECT_EQ(old->inside_error, "set_event_callback: called from inside the event callback");

    std::atomic<bool> replaced{false};
    std::thread setter([&] {
        EXPECT_EQ(tbsmb1s_set_event_callback(recorder::on_event, &rec), 0);
        replaced = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(replaced) << "the replacement returned while the old callback was still running";
    {
        std::lock_guard<std::mutex> g(old->lock);
        old->release = true;
        old->cv.notify_all();
    }
    setter.join();
    EXPECT_TRUE(replaced);
    int old_calls = old->calls;
    delete old;  // what a host may do as soon as the replacement returns
    sim.join();

    EXPECT_EQ(old_calls, 1);
    EXPECT_EQ(kinds(rec.take()), (std::vector<int32_t>{TBSMB1S_EVENT_DISCONNECTED}))
        << "the rest of the session reports to the new callback";

    ASSERT_EQ(tbsmb1s_set_event_callback(nullptr, nullptr), 0);
    run_sim(script({smb1_frame(echo_request())}));
    EXPECT_TRUE(rec.take().empty()) << "no callback, no events";
}

}  // namespace
