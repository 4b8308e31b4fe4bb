// The session runner over scripted connections: NetBIOS framing, the reading
// rules, the message checks and the reply header.
#include <gtest/gtest.h>

#include <chrono>

#include "cfg/stats.h"
#include "conn.h"
#include "smb1.h"

using namespace tb1s;

using namespace tb1s_test;

namespace {

const bytes k_ok = {0x82, 0, 0, 0};

TEST(Runner, SessionRequestsAreAnsweredAtAnyTimeAndNotLogged)
{
    stat_watch w;
    conn c;
    c.feed(nbss(bytes(68, 0x20), 0x81)).feed(smb1_frame(echo_request())).feed({0x81, 0, 0, 0});
    c.run();
    ASSERT_EQ(c.writes.size(), 4u);
    EXPECT_EQ(c.writes[0], k_ok) << "session request with names";
    EXPECT_EQ(to_hex(c.writes[1]), to_hex(bytes{0, 0, 0, uint8_t(c.writes[2].size())}));
    EXPECT_EQ(c.writes[3], k_ok) << "session request without body";
    ASSERT_EQ(c.logs.size(), 2u) << "only the SMB1 request and its reply are logged";
    EXPECT_EQ(c.logs[0].first, ">>");
    EXPECT_EQ(c.logs[1].first, "<<");
    EXPECT_EQ(w.delta(STAT_PROTOCOL_ERRORS), 0);
    EXPECT_EQ(w.delta(STAT_BYTES_SENT), int64_t(c.writes[2].size())) << "the 4-byte header is not counted";
    EXPECT_EQ(w.delta(STAT_CONNECTIONS), 0) << "a finished session no longer counts";
}

TEST(Runner, CountsTheConnectionWhileItRuns)
{
    stat_watch w;
    conn c;
    int64_t during = -1;
    c.on_write = [&] { during = w.delta(STAT_CONNECTIONS); };
    c.feed(smb1_frame(echo_request()));
    c.run();
    EXPECT_EQ(during, 1);
    EXPECT_EQ(w.delta(STAT_CONNECTIONS), 0);
}

TEST(Runner, KeepAlivesAreSilent)
{
    stat_watch w;
    conn c;
    c.feed({0, 0, 0, 0}).feed({0, 0, 0, 0}).feed(smb1_frame(echo_request()));
    c.run();
    EXPECT_EQ(replies_of(c.writes).size(), 1u);
    EXPECT_EQ(c.writes.size(), 2u);
    EXPECT_EQ(w.delta(STAT_PROTOCOL_ERRORS), 0);
}

TEST(Runner, ReadsPacketsDeliveredAByteAtATime)
{
    conn c;
    c.chunk = 1;
    c.feed(nbss(bytes(5, 0x20), 0x81)).feed(smb1_frame(echo_request(7))).feed(smb1_frame(echo_request(8)));
    c.run();
    auto r = replies_of(c.writes);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].mid, 7);
    EXPECT_EQ(r[1].mid, 8);
}

// End of stream is tolerated twice within one header or body read; the
// third ends the session even with bytes received in between.
TEST(Runner, EndOfStreamToleranceIsPerRead)
{
    bytes f = smb1_frame(echo_request());
    bytes head(f.begin(), f.begin() + 2), rest(f.begin() + 2, f.begin() + 10), tail(f.begin() + 10, f.end());
    {
        conn c;  // two in the header, two in the body: served
        c.feed(head).result(0).result(0).feed(rest).result(0).result(0).feed(tail);
        c.run();
        EXPECT_EQ(replies_of(c.writes).size(), 1u);
    }
    {
        conn c;  // three in the body with data between them: ended
        bytes b1(f.begin() + 4, f.begin() + 10), b2(f.begin() + 10, f.begin() + 12);
        bytes b3(f.begin() + 12, f.end());
        c.feed(bytes(f.begin(), f.begin() + 4)).result(0).feed(b1).result(0).feed(b2).result(0).feed(b3);
        c.run();
        EXPECT_TRUE(c.writes.empty());
    }
    {
        conn c;  // a read error ends it at once
        c.feed(head).result(-5).feed(rest).feed(tail);
        c.run();
        EXPECT_TRUE(c.writes.empty());
    }
}

TEST(Runner, IdlePeerIsDisconnectedAndCounted)
{
    stat_watch w;
    conn c;
    c.world->set("idle_timeout_ms", "100");
    c.at_end = -2;  // nothing more arrives, and no end of stream either
    c.feed({0x00, 0x00});
    auto t0 = std::chrono::steady_clock::now();
    c.run();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(w.delta(STAT_TIMEOUTS), 1);
    EXPECT_GE(ms, 100);
    EXPECT_LT(ms, 2000);
}

// The world's stop flag ends a session at its next wait, however long the
// idle time; the message before it is still served.
TEST(Runner, StopFlagEndsTheSessionAtItsNextWait)
{
    stat_watch w;
    conn c;
    c.world->stop = 1;
    c.at_end = -2;  // nothing more arrives, and no end of stream either
    c.feed(smb1_frame(echo_request()));
    auto t0 = std::chrono::steady_clock::now();
    c.run();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_EQ(replies_of(c.writes).size(), 1u);
    EXPECT_EQ(w.delta(STAT_TIMEOUTS), 0) << "a stop is no timeout";
}

// A session reports its start and its end under its number, with the bytes
// of the SMB messages it sent (not the NetBIOS headers or session responses).
TEST(Runner, ReportsItsStartAndEnd)
{
    conn c;
    c.feed(nbss(bytes(68, 0x20), 0x81)).feed(smb1_frame(echo_request(1, {'a'}))).feed(smb1_frame(echo_request(2)));
    c.run();
    std::vector<event_rec> ev = c.world->events();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].kind, tb1s_event_kind::conn_accepted);
    EXPECT_EQ(ev[0].peer, "127.0.0.1");
    EXPECT_EQ(ev[1].kind, tb1s_event_kind::disconnect);
    EXPECT_EQ(ev[1].peer, "127.0.0.1");
    uint64_t sent = 0;
    for (const smb1_reply &r : replies_of(c.writes))
        sent += r.raw.size();
    EXPECT_EQ(ev[1].bytes_sent, sent);
    // Both carry the session's number, and the next session has another.
    EXPECT_NE(ev[0].conn, 0u);
    EXPECT_EQ(ev[1].conn, ev[0].conn);
    conn next;
    next.run();
    std::vector<event_rec> next_ev = next.world->events();
    ASSERT_FALSE(next_ev.empty());
    EXPECT_GT(next_ev[0].conn, ev[0].conn);

    conn quiet;  // a world without a sink
    quiet.world->record_events = false;
    quiet.feed(smb1_frame(echo_request()));
    quiet.run();
    EXPECT_EQ(replies_of(quiet.writes).size(), 1u);
    EXPECT_TRUE(quiet.world->events().empty());
}

TEST(Runner, ForeignPacketTypesEndTheSession)
{
    for (uint8_t type : {0x85, 0x82, 0x01, 0xFF}) {
        stat_watch w;
        conn c;
        c.feed({type, 0, 0, 0}).feed(smb1_frame(echo_request()));
        c.run();
        EXPECT_TRUE(c.writes.empty()) << "type " << int(type);
        EXPECT_EQ(w.delta(STAT_PROTOCOL_ERRORS), 1) << "type " << int(type);
    }
}

// Messages that are not SMB1 are dropped, counted, and the session goes on.
// Each row's message comes twice; SMB2 messages are reported once.
TEST(Runner, NonSmb1MessagesAreDropped)
{
    bytes smb2(64, 0);
    std::copy_n("\xFESMB", 4, smb2.begin());
    bytes b32 = smb1_message(echo_request());
    b32.resize(32);
    bytes b33 = b32;
    b33.push_back(0);  // WordCount 0 and nothing else: still a message to serve
    struct row {
        const char *what;
        bytes msg;
        size_t replies;      // to each copy
        size_t smb2_events;  // for both copies
    } rows[] = {
        {"SMB2 message", smb2, 0, 1},
        {"32-byte SMB1 header", b32, 0, 0},
        {"33 bytes", b33, 1, 0},
        {"no signature", bytes(40, 0x11), 0, 0},
    };
    for (const row &r : rows) {
        stat_watch w;
        conn c;
        c.feed(nbss(r.msg)).feed(nbss(r.msg)).feed(smb1_frame(echo_request(9)));
        c.run();
        auto rep = replies_of(c.writes);
        ASSERT_EQ(rep.size(), 2 * r.replies + 1) << r.what;
        EXPECT_EQ(rep.back().mid, 9) << r.what << ": the next message is served";
        EXPECT_EQ(w.delta(STAT_PROTOCOL_ERRORS), r.replies ? 0 : 2) << r.what;
        EXPECT_EQ(c.logs.size(), 2 * rep.size()) << r.what << ": dropped messages are not logged";
        EXPECT_EQ(c.world->events_of(tb1s_event_kind::smb2_turned_away).size(), r.smb2_events) << r.what;
    }
}

// A message of exactly the limit is read; one byte more ends the session.
TEST(Runner, MessageSizeLimit)
{
    auto big_echo = [](size_t total) {
        smb1_request r = echo_request();
        r.data.assign(total - 32 - 1 - 2 - 2, 0x5A);
        bytes m = smb1_message(r);
        EXPECT_EQ(m.size(), total);
        return nbss(m);
    };
    struct row {
        const char *max_message;
        size_t size;
        bool served;
    } rows[] = {
        {"4194304", 4194304, true},
        {"16777216", 4194304, true},
        {"16777216", 4194305, false},
        {"65536", 65536, true},
        {"65536", 65537, false},
    };
    for (const row &r : rows) {
        stat_watch w;
        conn c;
        c.world->set("max_message", r.max_message);
        c.feed(big_echo(r.size)).feed(smb1_frame(echo_request()));
        c.run();
        auto rep = replies_of(c.writes);
        std::string what = std::string("max_message ") + r.max_message + ", message " + std::to_string(r.size);
        if (r.served) {
            ASSERT_EQ(rep.size(), 2u) << what;
            size_t echoed = r.size - 37 < 0xFFFF ? r.size - 37 : 0xFFFF;  // ECHO answers at most 65535 bytes
            EXPECT_EQ(rep[0].byte_count, echoed) << what;
            EXPECT_EQ(rep[0].data.size(), echoed) << what;
        } else {
            EXPECT_TRUE(rep.empty()) << what;
            EXPECT_EQ(w.delta(STAT_PROTOCOL_ERRORS), 1) << what;
        }
    }
}

TEST(Runner, ReplyHeaderMirrorsTheRequest)
{
    struct row {
        uint8_t flags;
        uint16_t flags2;
        uint8_t want_flags;
        uint16_t want_flags2;
    } rows[] = {
        {0x18, 0xC807, 0x98, 0x4801},
        {0x00, 0x0001, 0x90, 0x0801},
        {0x08, 0x8000, 0x98, 0x0801},
        {0xFF, 0xFFFF, 0x98, 0x4801},
    };
    for (const row &r : rows) {
        smb1_request q = echo_request(0xBEEF);
        q.flags = r.flags;
        q.flags2 = r.flags2;
        q.pid = 0x4321;
        q.pid_high = 0x0A0B;
        q.tid = 0x0777;
        q.uid = 0x0999;
        conn c;
        c.feed(smb1_frame(q));
        c.run();
        auto rep = replies_of(c.writes);
        ASSERT_EQ(rep.size(), 1u);
        const smb1_reply &p = rep[0];
        EXPECT_EQ(p.cmd, 0x2B);
        EXPECT_EQ(p.flags, r.want_flags) << "request FLAGS " << int(r.flags);
        EXPECT_EQ(p.flags2, r.want_flags2) << "request FLAGS2 " << r.flags2;
        EXPECT_EQ(p.pid_high, 0x0A0B);
        EXPECT_EQ(p.pid, 0x4321);
        EXPECT_EQ(p.mid, 0xBEEF);
        EXPECT_EQ(p.tid, 0x0777);
        EXPECT_EQ(p.uid, 0) << "no UID before logon, whatever the request says";
        EXPECT_EQ(to_hex(p.signature), "0000000000000000");
    }
}

// A failed write ends the session after that request and is not counted.
TEST(Runner, FailedReplyWriteEndsTheSession)
{
    for (int fail : {0, 1}) {  // the NetBIOS header, or the message
        stat_watch w;
        conn c;
        c.fail_write = fail;
        c.feed(smb1_frame(echo_request())).feed(smb1_frame(echo_request()));
        c.run();
        EXPECT_EQ(c.write_calls, fail + 1) << "fail write " << fail << ": nothing is written after the failure";
        EXPECT_EQ(w.delta(STAT_BYTES_SENT), 0);
        EXPECT_EQ(c.logs.size(), 1u) << "the reply is not logged";
    }
    conn c;  // a failed positive session response ends it too
    c.fail_write = 0;
    c.feed({0x81, 0, 0, 0}).feed(smb1_frame(echo_request()));
    c.run();
    EXPECT_EQ(c.write_calls, 1);
}

}  // namespace
