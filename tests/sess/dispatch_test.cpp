// Command dispatch and the commands served without a handler file of their
// own, through simulation scripts and through a session record set up by hand.
#include <gtest/gtest.h>

#include "cfg/stats.h"
#include "conn.h"
#include "sess/status.h"
#include "smb1.h"

using namespace tb1s;

using namespace tb1s_test;

namespace {

smb1_reply serve_one(const smb1_request &r, int32_t *frames = nullptr)
{
    transcript t = parse_transcript(run_sim(script({smb1_frame(r)})));
    if (frames)
        *frames = int32_t(t.reply_hex.size());
    return t.replies.empty() ? smb1_reply{} : t.replies[0];
}

// Every command answered here, in both status forms, with its reply body and
// the counter it moves.
TEST(Dispatch, CommandsWithoutHandlerFiles)
{
    const int32_t NONE = -1;
    struct row {
        const char *what;
        smb1_request r;
        uint32_t nt, dos;
        const char *body;  // hex of everything after the header
        int32_t counter;
    } rows[] = {
        // Every reply ends with a ByteCount; one without words or bytes is
        // WordCount 0 and ByteCount 0, errors included.
        {"FLUSH", request(0x05, le().u16(0x11)), 0, 0, "000000", NONE},
        {"TREE_DISCONNECT of no tree", request(0x71), 0, 0, "000000", NONE},
        {"LOGOFF without logon", request(0x74, le().u8(0xFF).u8(0).u16(0)), 0, 0, "02ff0000000000", NONE},
        {"CLOSE of an unknown FID", request(0x04, le().u16(0x11).u32(0)), 0, 0, "000000", NONE},
        {"CLOSE too short", request(0x04, le().u16(0x11)), NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID, "000000", NONE},
        {"FIND_CLOSE2 of no search", request(0x34, le().u16(0x0001)), NT_STATUS_INVALID_HANDLE, TB1S_DOS_NOT_FOUND, "000000", NONE},
        {"FIND_CLOSE2 without its word", request(0x34), NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID, "000000", NONE},
        {"NT_TRANSACT", request(0xA0), NT_STATUS_NOT_SUPPORTED, TB1S_DOS_SRV_ERROR, "000000", STAT_NT_TRANSACT_REFUSED},
        {"NT_TRANSACT_SECONDARY", request(0xA1), NT_STATUS_NOT_SUPPORTED, TB1S_DOS_SRV_ERROR, "000000", STAT_NT_TRANSACT_REFUSED},
        {"CREATE is unknown", request(0x03), NT_STATUS_NOT_SUPPORTED, TB1S_DOS_SRV_ERROR, "000000", STAT_PROTOCOL_ERRORS},
        {"TRANS_SECONDARY is unknown", request(0x26), NT_STATUS_NOT_SUPPORTED, TB1S_DOS_SRV_ERROR, "000000", STAT_PROTOCOL_ERRORS},
        {"TRANS2_SECONDARY is unknown", request(0x33), NT_STATUS_NOT_SUPPORTED, TB1S_DOS_SRV_ERROR, "000000", STAT_PROTOCOL_ERRORS},
        {"0x36 is unknown", request(0x36, le().u16(0x11)), NT_STATUS_NOT_SUPPORTED, TB1S_DOS_SRV_ERROR, "000000", STAT_PROTOCOL_ERRORS},
        {"0xFE is unknown", request(0xFE), NT_STATUS_NOT_SUPPORTED, TB1S_DOS_SRV_ERROR, "000000", STAT_PROTOCOL_ERRORS},
        {"WRITE_ANDX refused", request(0x2F, bytes(24, 0), {'x'}), NT_STATUS_ACCESS_DENIED, TB1S_DOS_SRV_ACCESS, "000000", STAT_MUTATING_REFUSED},
        {"OPEN_ANDX refused", request(0x2D, bytes(30, 0)), NT_STATUS_ACCESS_DENIED, TB1S_DOS_SRV_ACCESS, "000000", STAT_MUTATING_REFUSED},
    };
    for (const row &r : rows) {
        for (bool nt : {true, false}) {
            smb1_request q = r.r;
            q.flags2 = nt ? 0xC001 : 0x0001;
            stat_watch w;
            int32_t frames = 0;
            smb1_reply p = serve_one(q, &frames);
            std::string what = std::string(r.what) + (nt ? " (NT status)" : " (DOS error)");
            ASSERT_EQ(frames, 1) << what;
            EXPECT_EQ(p.cmd, q.cmd) << what;
            EXPECT_EQ(p.status, nt ? r.nt : r.dos) << what;
            EXPECT_EQ(to_hex(body(p)), r.body) << what;
            for (int32_t i : {int32_t(STAT_NT_TRANSACT_REFUSED), int32_t(STAT_PROTOCOL_ERRORS),
                              int32_t(STAT_MUTATING_REFUSED)})
                EXPECT_EQ(w.delta(i), i == r.counter ? 1 : 0) << what << ": counter " << tb1s_stat_name(i);
        }
    }
}

TEST(Dispatch, EveryStateChangingCommandIsRefused)
{
    for (uint8_t cmd : {0x00, 0x01, 0x06, 0x07, 0x09, 0x13, 0x0B, 0x2F, 0x31, 0x2C, 0x0C, 0x0D, 0x24, 0x29,
                        0x2A, 0x02, 0x2D}) {
        stat_watch w;
        smb1_reply p = serve_one(request(cmd, bytes(8, 0)));
        EXPECT_EQ(p.status, NT_STATUS_ACCESS_DENIED) << "command " << int(cmd);
        EXPECT_EQ(p.raw.size(), 35u) << "command " << int(cmd);
        EXPECT_EQ(w.delta(STAT_MUTATING_REFUSED), 1) << "command " << int(cmd);
    }
}

TEST(Dispatch, EchoReturnsTheBytesAfterByteCount)
{
    smb1_request r = request(0x2B, le().u16(5), {'a', 'b', 'c', 'd'});
    smb1_reply p = serve_one(r);
    EXPECT_EQ(p.status, 0u);
    EXPECT_EQ(to_hex(body(p)), "01" "0100" "0400" "61626364");

    r.byte_count = 99;  // the bytes present count, not the announced ByteCount
    EXPECT_EQ(serve_one(r).byte_count, 4);
    r.omit_byte_count = true;  // a message that ends before its ByteCount
    p = serve_one(r);
    EXPECT_EQ(to_hex(body(p)), "0101000000");

    // More trailing bytes than a ByteCount can announce; a message that long
    // is taken only after a logon.
    conn c;
    c.world->set("allow_smb1", "1");
    c.feed(smb1_frame(negotiate_request())).feed(smb1_frame(setup_nonext_request({}, {})));
    c.feed(smb1_frame(request(0x2B, le().u16(1), bytes(70000, 'x'))));
    c.run();
    std::vector<smb1_reply> replies = replies_of(c.writes);
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[1].status, 0u) << "guest logon";
    p = replies[2];
    EXPECT_EQ(p.byte_count, 0xFFFF);
    EXPECT_EQ(p.raw.size(), 32u + 1 + 2 + 2 + 0xFFFF) << "the echo is cut where its ByteCount ends";
}

TEST(Dispatch, CloseReleasesTheNewestOpenOfItsFid)
{
    session_rig g;
    tb1s_file *older = g.add_file(0x0011);
    g.add_file(0x0021);
    tb1s_file *newer = g.add_file(0x0011);
    EXPECT_EQ(file_find(g.s, 0x0011), newer);
    EXPECT_EQ(file_find(g.s, 0x10011), newer) << "only the low 16 bits name a file";

    smb1_reply p = g.serve(request(0x04, le().u16(0x0011).u32(0)));
    EXPECT_EQ(p.status, 0u);
    EXPECT_EQ(g.s->nfiles, 2);
    EXPECT_EQ(file_find(g.s, 0x0011), older);
    g.serve(request(0x04, le().u16(0x0011).u32(0)));
    p = g.serve(request(0x04, le().u16(0x0011).u32(0)));
    EXPECT_EQ(p.status, 0u) << "closing a FID that is no longer open succeeds";
    EXPECT_EQ(g.s->nfiles, 1);
    EXPECT_EQ(file_find(g.s, 0x0011), nullptr);
    ASSERT_NE(file_find(g.s, 0x0021), nullptr);
}

// Identifiers run through their 16-bit sequences, wrap around, and pass
// over 0, 0xFFFF and every value a live record holds.
TEST(Dispatch, NewIdentifiersNeverNameALiveRecord)
{
    session_rig g;
    EXPECT_EQ(new_fid(g.s), 0x0011);
    EXPECT_EQ(new_fid(g.s), 0x0021);
    EXPECT_EQ(new_fid(g.s), 0x0031);
    g.add_file(0x0011);
    g.add_file(0x0021);
    g.s->fid_counter = 4095;
    EXPECT_EQ(new_fid(g.s), 0x0001) << "the 4096th open wraps around";
    EXPECT_EQ(new_fid(g.s), 0x0031) << "0x0011 and 0x0021 are open";

    EXPECT_EQ(new_id(g.s), 1u);
    EXPECT_EQ(new_id(g.s), 2u);
    EXPECT_EQ(new_id(g.s), 3u) << "each value once";
    g.s->trees[0] = tb1s_tree{1, 0x0001, "a", 0};
    g.s->searches[5].in_use = 1;
    g.s->searches[5].sid = 0x0002;
    g.s->id_counter = 0xFFFD;
    EXPECT_EQ(new_id(g.s), 0xFFFEu);
    EXPECT_EQ(new_id(g.s), 3u) << "not 0xFFFF, 0, the tree's 1 or the search's 2";

    g.s->uid_counter = 0xFFFE;
    EXPECT_EQ(new_uid(g.s), 1u) << "UIDs stay 16-bit and are never 0 or 0xFFFF";
    EXPECT_EQ(new_uid(g.s), 2u);
}

TEST(Dispatch, TreeDisconnectForgetsOnlyThatTree)
{
    session_rig g;
    g.s->trees[0] = tb1s_tree{1, 0x0001, "a", 0};
    g.s->trees[1] = tb1s_tree{1, 0x0003, "b", 0};
    g.add_file(0x0011);
    smb1_request r = request(0x71);
    r.tid = 0x0003;
    smb1_reply p = g.serve(r);
    EXPECT_EQ(p.status, 0u);
    EXPECT_EQ(p.tid, 0x0003);
    EXPECT_EQ(tree_find(g.s, 0x0003), nullptr);
    EXPECT_EQ(tree_find(g.s, 0x0001), &g.s->trees[0]);
    EXPECT_EQ(g.s->nfiles, 1) << "files of the tree stay open";
}

TEST(Dispatch, LogoffReleasesEverythingAndReturnsToUidZero)
{
    session_rig g;
    g.s->logged_on = 1;
    g.s->guest = 1;
    g.s->signing = 1;
    g.s->uid = 1;
    g.s->uid_counter = 1;
    g.s->sign_seq = 5;
    std::memset(g.s->sign_key, 0xAB, 16);
    g.s->trees[7] = tb1s_tree{1, 0x0005, "a", 0};
    g.add_file(0x0011);
    g.add_file(0x0021);
    tb1s_search &e = g.s->searches[3];
    e.in_use = 1;
    e.sid = 7;
    e.list = static_cast<tb1s_vent *>(std::calloc(1, sizeof(tb1s_vent)));  // a listing of no entries

    smb1_request r = request(0x74, le().u8(0xFF).u8(0).u16(0));
    r.uid = 1;
    smb1_reply p = g.serve(r);
    EXPECT_EQ(p.status, 0u);
    EXPECT_EQ(p.uid, 0) << "the reply carries UID 0";
    EXPECT_EQ(to_hex(p.signature), "0000000000000000") << "no longer logged on: unsigned";
    EXPECT_EQ(p.flags2 & 0x0004, 0);
    EXPECT_EQ(g.s->files, nullptr);
    EXPECT_EQ(g.s->nfiles, 0);
    EXPECT_EQ(g.s->searches[3].in_use, 0);
    EXPECT_EQ(g.s->searches[3].list, nullptr);
    EXPECT_EQ(tree_find(g.s, 0x0005), nullptr);
    EXPECT_EQ(g.s->logged_on, 0);
    EXPECT_EQ(g.s->guest, 0);
    EXPECT_EQ(g.s->sign_seq, 0u);
    EXPECT_EQ(to_hex(bytes(g.s->sign_key, g.s->sign_key + 16)), std::string(32, '0'));
    EXPECT_EQ(g.s->signing, 1) << "signing stays active for the next logon";
    EXPECT_EQ(g.s->uid_counter, 1u) << "the UID counter is kept";
}

}  // namespace
