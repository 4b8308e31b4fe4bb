// TREE_CONNECT_ANDX on a session record set up by hand.
#include <gtest/gtest.h>

#include "cfg/stats.h"
#include "files.h"
#include "util/text.h"

using namespace tb1s;

using namespace tb1s_test;

namespace {

TEST(TreeConnect, IpcInAnySpellingAndPathForm)
{
    for (const char *path : {"IPC$", "ipc$", "\\\\HOST\\IPC$", "//HOST/ipc$", "//x/y/IPC$", "\\\\x/y\\IPC$"}) {
        for (uint16_t flags2 : {uint16_t(0xC001), uint16_t(0x4001)}) {
            logged_rig g;
            stat_watch w;
            smb1_request r = tree_req(path, flags2);
            r.tid = 0x7777;
            smb1_reply p = g.serve(r);
            std::string what = std::string(path) + (flags2 & FLAGS2_UNICODE ? " (Unicode)" : " (ASCII)");
            ASSERT_EQ(p.status, 0u) << what;
            EXPECT_EQ(p.wc, 7) << what;
            // AndX, OptionalSupport 2, no rights, ByteCount 6, "?????" and NUL.
            EXPECT_EQ(to_hex(body(p)), "07" "ff000000" "0200" "00000000" "00000000" "0600" "3f3f3f3f3f00") << what;
            EXPECT_EQ(p.tid, 1) << what << ": the reply carries the new TID, not the request's";
            tb1s_tree *t = tree_find(g.s, 1);
            ASSERT_NE(t, nullptr) << what;
            EXPECT_STREQ(t->share, "IPC$") << what;
            EXPECT_EQ(t->ipc, 1) << what;
            EXPECT_EQ(w.delta(STAT_TREES), 1) << what;
        }
    }
}

TEST(TreeConnect, ShareByTheLastComponentOfEitherSeparator)
{
    temp_dir d;
    share_set shares;
    ASSERT_EQ(shares.add("Music", d.path), 0);
    for (const char *path : {"//HOST/Music", "Music", "//x/y/Music", "\\\\HOST\\Music", "\\\\x\\y\\Music",
                             "\\\\HOST/music", "MUSIC"}) {
        for (uint16_t flags2 : {uint16_t(0xC001), uint16_t(0x4001)}) {
            logged_rig g;
            stat_watch w;
            smb1_reply p = g.serve(tree_req(path, flags2));
            std::string what = std::string(path) + (flags2 & FLAGS2_UNICODE ? " (Unicode)" : " (ASCII)");
            ASSERT_EQ(p.status, 0u) << what;
            // AndX, OptionalSupport 0, MaximalShareAccessRights 0, guest rights 5.
            EXPECT_EQ(to_hex(body(p)), "07" "ff000000" "0000" "00000000" "05000000" "0600" "3f3f3f3f3f00") << what;
            tb1s_tree *t = tree_find(g.s, p.tid);
            ASSERT_NE(t, nullptr) << what;
            EXPECT_EQ(t->ipc, 0) << what;
            EXPECT_EQ(tb1s_casecmp(t->share, "Music"), 0) << what << ": the name as the client spelled it";
            EXPECT_EQ(w.delta(STAT_TREES), 1) << what;
            EXPECT_EQ(w.delta(STAT_TREE_REFUSED), 0) << what;
            std::vector<event_rec> ev = g.c.world->events();
            ASSERT_EQ(ev.size(), 1u) << what;
            EXPECT_EQ(ev[0].kind, tb1s_event_kind::tree_ok) << what;
            EXPECT_EQ(ev[0].share, t->share) << what;
        }
    }
}

// Connecting the same share twice gives two trees; each tree keeps its TID.
TEST(TreeConnect, EveryConnectIsANewTree)
{
    temp_dir d;
    share_set shares;
    ASSERT_EQ(shares.add("a", d.mkdir("a")), 0);
    ASSERT_EQ(shares.add("b", d.mkdir("b")), 0);
    logged_rig g;
    uint16_t ipc = g.connect("IPC$"), a1 = g.connect("a"), a2 = g.connect("a"), b = g.connect("b");
    EXPECT_EQ(ipc, 1);
    ASSERT_TRUE(a1 && a2 && b);
    EXPECT_TRUE(a1 != a2 && a2 != b && a1 != b && ipc != a1) << a1 << " " << a2 << " " << b;
    EXPECT_STREQ(tree_find(g.s, b)->share, "b");
    EXPECT_STREQ(tree_find(g.s, a2)->share, "a");
}

TEST(TreeConnect, Refusals)
{
    struct row {
        const char *what;
        smb1_request r;
        bool logged_on;
        uint32_t nt, dos;
        const char *body;  // hex after the header
        int64_t refused;   // change of tree_refused, and the refusals reported
        const char *share; // the share they name
    } rows[] = {
        {"not logged on", tree_req("IPC$"), false, NT_STATUS_USER_SESSION_DELETED, TB1S_DOS_SRV_REFUSED, "000000", 1, ""},
        {"no such share", tree_req("\\\\HOST\\nothing"), true, NT_STATUS_BAD_NETWORK_NAME, TB1S_DOS_BAD_NAME, "000000", 1,
         "nothing"},
        {"empty share name", tree_req("//HOST/"), true, NT_STATUS_OBJECT_NAME_INVALID, TB1S_DOS_BAD_NAME, "000000", 0, ""},
        {"empty path", tree_req(""), true, NT_STATUS_OBJECT_NAME_INVALID, TB1S_DOS_BAD_NAME, "000000", 0, ""},
    };
    for (row &r : rows) {
        for (bool nt : {true, false}) {
            logged_rig g;
            g.s->logged_on = r.logged_on;
            r.r.flags2 = uint16_t(nt ? r.r.flags2 | 0x4000 : r.r.flags2 & ~0x4000);
            stat_watch w;
            smb1_reply p = g.serve(r.r);
            std::string what = std::string(r.what) + (nt ? " (NT status)" : " (DOS error)");
            EXPECT_EQ(p.status, nt ? r.nt : r.dos) << what;
            EXPECT_EQ(to_hex(body(p)), r.body) << what;
            EXPECT_EQ(w.delta(STAT_TREE_REFUSED), r.refused) << what;
            EXPECT_EQ(w.delta(STAT_TREES), 0) << what;
            std::vector<event_rec> ev = g.c.world->events_of(tb1s_event_kind::tree_refused);
            ASSERT_EQ(int64_t(ev.size()), r.refused) << what;
            if (!ev.empty()) {
                EXPECT_EQ(ev[0].share, r.share) << what;
            }
        }
    }
    // The DOS form on the wire: the class in byte 5, the code in bytes 7-8.
    logged_rig g;
    smb1_reply p = g.serve(tree_req("\\\\HOST\\nothing", 0x8001));
    EXPECT_EQ(to_hex(bytes(p.raw.begin() + 5, p.raw.begin() + 9)), "01000600");
}

// Malformed requests: INVALID_PARAMETER. The word count and the words are
// checked before the logon, the path after it.
TEST(TreeConnect, MalformedRequests)
{
    smb1_request wc3 = tree_req("IPC$");
    wc3.wc = 3;
    smb1_request empty = tree_req("IPC$");
    empty.words.clear();
    empty.omit_byte_count = true;
    smb1_request short_words = tree_req("IPC$");
    short_words.words.resize(6);
    short_words.wc = 4;
    short_words.omit_byte_count = true;
    smb1_request past_end = tree_req("IPC$");
    past_end.words = le().u8(0xFF).u8(0).u16(0).u16(8).u16(uint32_t(past_end.data.size()));
    smb1_request one_byte = tree_req("IPC$");  // a single byte after the password
    one_byte.data = {0, 'I'};
    smb1_request surrogate = tree_req("IPC$");  // an unpaired high surrogate
    surrogate.data = le().u8(0).u16('\\').u16(0xD800).u16('x').u16(0);

    struct row {
        const char *what;
        smb1_request r;
        const char *body;
        bool before_logon;
    } rows[] = {
        {"WordCount 3", wc3, "03ff00000000000000", true},  // the AndX body, 3 words, ByteCount 0
        {"WordCount 0", empty, "03ff00000000000000", true},
        {"words cut short", short_words, "000000", true},
        {"password past the end", past_end, "000000", false},
        {"one byte of path", one_byte, "000000", false},
        {"unpaired surrogate", surrogate, "000000", false},
    };
    for (const row &r : rows) {
        for (bool logged_on : {true, false}) {
            logged_rig g;
            g.s->logged_on = logged_on;
            stat_watch w;
            smb1_reply p = g.serve(r.r);
            std::string what = std::string(r.what) + (logged_on ? "" : " (not logged on)");
            if (!logged_on && !r.before_logon) {
                EXPECT_EQ(p.status, NT_STATUS_USER_SESSION_DELETED) << what;
                continue;
            }
            EXPECT_EQ(p.status, NT_STATUS_INVALID_PARAMETER) << what;
            EXPECT_EQ(to_hex(body(p)), r.body) << what;
            EXPECT_EQ(w.delta(STAT_TREE_REFUSED), 0) << what;
        }
    }
}

TEST(TreeConnect, FullTableThenReuseAfterDisconnect)
{
    logged_rig g;
    uint16_t tids[TB1S_MAX_TREES];
    for (int i = 0; i < TB1S_MAX_TREES; i++) {
        tids[i] = g.connect("IPC$");
        ASSERT_NE(tids[i], 0) << "tree " << i;
        for (int j = 0; j < i; j++)
            ASSERT_NE(tids[j], tids[i]) << "trees " << j << " and " << i << " share a TID";
    }
    stat_watch w;
    smb1_reply p = g.serve(tree_req("IPC$"));
    EXPECT_EQ(p.status, NT_STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(w.delta(STAT_TREE_REFUSED), 1);

    smb1_request bye;
    bye.cmd = 0x71;
    bye.tid = tids[100];
    ASSERT_EQ(g.serve(bye).status, 0u);
    uint16_t tid = g.connect("IPC$");
    ASSERT_NE(tid, 0);
    EXPECT_EQ(g.s->trees[100].tid, tid) << "the freed entry is reused";
    EXPECT_NE(tid, tids[100]) << "with a new TID";
}

TEST(TreeConnect, AsciiPathStopsAtItsNul)
{
    logged_rig g;
    smb1_request r = tree_req("IPC$", 0x4001);
    r.data = le().u8(0).ascii("\\\\H\\IPC$").ascii("junk");  // then the service
    EXPECT_EQ(g.serve(r).status, 0u);
    r.data = le().u8(0).ascii("\\\\H\\IPC$", false);  // no NUL: the message ends the path
    EXPECT_EQ(g.serve(r).status, 0u);
}

}  // namespace
