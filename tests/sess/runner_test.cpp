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
    EXPECT_EQ(c.write_calls, 3) << "a reply goes out in one write, its NetBIOS header with it";
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

// The zero-length session message and the session keep-alive packet (0x85).
TEST(Runner, KeepAlivesAreSilent)
{
    stat_watch w;
    conn c;
    c.feed({0, 0, 0, 0}).feed({0x85, 0, 0, 0}).feed(smb1_frame(echo_request()));
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

// The world's stop flag ends a session before its next message, however
// busy the peer (requests already waiting are not served), and at its next
// wait, however long the idle time.
TEST(Runner, StopFlagEndsTheSessionBeforeItsNextMessage)
{
    stat_watch w;
    conn c;
    c.on_write = [&] { c.world->stop = 1; };
    bytes two = smb1_frame(echo_request(1));
    bytes second = smb1_frame(echo_request(2));
    two.insert(two.end(), second.begin(), second.end());
    c.feed(two).feed(smb1_frame(echo_request(3)));
    c.run();
    auto r = replies_of(c.writes);
    ASSERT_EQ(r.size(), 1u) << "the requests behind the first are not served";
    EXPECT_EQ(r[0].mid, 1);

    conn idle;
    idle.world->stop = 1;
    idle.at_end = -2;  // nothing more arrives, and no end of stream either
    auto t0 = std::chrono::steady_clock::now();
    idle.run();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_EQ(w.delta(STAT_TIMEOUTS), 0) << "a stop is no timeout";
}

// Requests that arrive together are taken from one read, in order.
TEST(Runner, PipelinedRequestsAreServedFromOneRead)
{
    bytes all;
    for (uint16_t mid : {1, 2, 3}) {
        bytes f = smb1_frame(echo_request(mid));
        all.insert(all.end(), f.begin(), f.end());
    }
    all.insert(all.end(), {0, 0, 0, 0});
    bytes tail = smb1_frame(echo_request(4));
    all.insert(all.end(), tail.begin(), tail.begin() + 6);  // and the start of the next
    conn c;
    c.feed(all).feed(bytes(tail.begin() + 6, tail.end()));
    size_t reads_at_first_reply = 0;
    c.on_write = [&] {
        if (!reads_at_first_reply)
            reads_at_first_reply = c.asked.size();
    };
    c.run();
    auto r = replies_of(c.writes);
    ASSERT_EQ(r.size(), 4u);
    for (size_t i = 0; i < r.size(); i++)
        EXPECT_EQ(r[i].mid, i + 1);
    EXPECT_EQ(reads_at_first_reply, 1u) << "one read took all that had arrived";
    EXPECT_EQ(c.asked.size(), 2u + 3) << "a read for the rest of the fourth request, then three ends of stream";
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
    struct row {
        bytes packet;
    } rows[] = {{{0x85, 0, 0, 1, 0}}, {{0x82, 0, 0, 0}}, {{0x01, 0, 0, 0}}, {{0xFF, 0, 0, 0}}};
    for (const row &r : rows) {
        stat_watch w;
        conn c;
        c.feed(r.packet).feed(smb1_frame(echo_request()));
        c.run();
        EXPECT_TRUE(c.writes.empty()) << to_hex(r.packet);
        EXPECT_EQ(w.delta(STAT_PROTOCOL_ERRORS), 1) << to_hex(r.packet);
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
// Before a logon the limit is 64 KiB whatever max_message says; after a
// message longer than that the receive buffer is back at its start size.
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
        bool logon;
        bool served;
    } rows[] = {
        {"4194304", 4194304, true, true},
        {"16777216", 4194304, true, true},
        {"16777216", 4194305, true, false},
        {"65536", 65536, true, true},
        {"65536", 65537, true, false},
        {"4194304", 65536, false, true},
        {"4194304", 65537, false, false},
    };
    for (const row &r : rows) {
        stat_watch w;
        conn c;
        c.world->set("allow_smb1", "1");
        c.world->set("max_message", r.max_message);
        if (r.logon)  // a guest logon first
            c.feed(smb1_frame(negotiate_request())).feed(smb1_frame(setup_nonext_request({}, {})));
        c.feed(big_echo(r.size)).feed(smb1_frame(echo_request()));
        c.run();
        auto rep = replies_of(c.writes);
        if (r.logon && rep.size() >= 2) {
            EXPECT_EQ(rep[1].status, 0u) << "guest logon";
            rep.erase(rep.begin(), rep.begin() + 2);
        }
        std::string what = std::string("max_message ") + r.max_message + ", message " + std::to_string(r.size) +
                           (r.logon ? " after a logon" : " before a logon");
        if (r.served) {
            ASSERT_EQ(rep.size(), 2u) << what;
            size_t echoed = r.size - 37 < 0xFFFF ? r.size - 37 : 0xFFFF;  // ECHO answers at most 65535 bytes
            EXPECT_EQ(rep[0].byte_count, echoed) << what;
            EXPECT_EQ(rep[0].data.size(), echoed) << what;
            // Reads ask for what the buffer holds: 64 KiB and a header at
            // the start, the rest of the message while it is longer, and the
            // start size again after it.
            ASSERT_FALSE(c.asked.empty());
            EXPECT_LE(c.asked.back(), 65536 + 64) << what << ": the buffer is back at its start size";
            EXPECT_GE(c.asked.front(), 65536 + 4) << what;
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
    {
        stat_watch w;
        conn c;
        c.fail_write = 0;
        c.feed(smb1_frame(echo_request())).feed(smb1_frame(echo_request()));
        c.run();
        EXPECT_EQ(c.write_calls, 1) << "nothing is written after the failure";
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
