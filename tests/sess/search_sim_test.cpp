// Whole conversations through the session runner: negotiate, a guest
// logon, tree connects, then directory searches, queries and a pipe
// transaction, as a client sends them one after another.
#include <gtest/gtest.h>

#include <filesystem>

#include "cfg/stats.h"
#include "files.h"
#include "logon.h"
#include "share_rig.h"

using namespace tb1s;

using namespace tb1s_test;

namespace {

smb1_request legacy(uint8_t cmd, uint16_t tid, const std::string &name)
{
    smb1_request r;
    r.cmd = cmd;
    r.tid = tid;
    r.data = le().u8(4).utf16(name);
    return r;
}

smb1_request tree_cmd(uint8_t cmd, uint16_t tid, bytes words)
{
    smb1_request r = request(cmd, std::move(words));
    r.tid = tid;
    return r;
}

// Identifiers the server hands out in this conversation, by its rules: TIDs
// and search ids from one sequence (1, 2, 3, ...), FIDs as counter * 16 + 1.
constexpr uint16_t TID_MUSIC = 0x0001, TID_IPC = 0x0002, SID = 0x0003, FID_SONG = 0x0011, FID_PIPE = 0x0021;

TEST(SearchSim, ListQueryAndPipe)
{
    smb1_world g;
    g.set("guest", "on");
    share_set shares;
    temp_dir tmp;
    std::string root = std::filesystem::canonical(tmp.path).string();
    tmp.write("music/song.mp3", "hello");
    for (int i = 0; i < 250; i++)
        tmp.write("music/sub/f" + std::to_string(1000 + i), "");
    set_mtime(root + "/music/song.mp3", 1710506096);
    ASSERT_EQ(shares.add("music", root + "/music"), 0);

    bytes bind = from_hex("05000b03100000004800000001000000b810b810000000000100000000000100"
                          "c84f324b7016d30112785a47bf6ee18803000000045d888aeb1cc9119fe808002b10486002000000");
    stat_watch w;
    std::vector<smb1_reply> p = converse(g, {
        tree_req("\\\\TALVERN\\MUSIC"),
        tree_req("\\\\TALVERN\\IPC$"),
        trans2_req(TID_MUSIC, 1, le().u16(0x16).u16(1366).u16(0).u16(0x0104).u32(0).utf16("\\sub\\*")),
        trans2_req(TID_MUSIC, 2, le().u16(SID).u16(1366).u16(0x0104).u32(0).u16(0).utf16("")),
        tree_cmd(0x34, TID_MUSIC, le().u16(SID)),  // FIND_CLOSE2
        trans2_req(TID_MUSIC, 2, le().u16(SID).u16(1366).u16(0x0104).u32(0).u16(0).utf16("")),
        trans2_req(TID_MUSIC, 5, le().u16(0x0107).u32(0).utf16("\\song.mp3")),
        trans2_req(TID_MUSIC, 3, le().u16(0x0102)),
        create_req(TID_MUSIC, "\\song.mp3"),
        trans2_req(TID_MUSIC, 7, le().u16(FID_SONG).u16(0x0102)),
        legacy(0x08, TID_MUSIC, "\\song.mp3"),
        legacy(0x10, TID_MUSIC, "\\sub"),
        create_req(TID_IPC, "srvsvc"),
        trans_req(TID_IPC, {0x0026, FID_PIPE}, bind),
    });
    ASSERT_EQ(p.size(), 14u);
    for (size_t i : {0, 1})
        ASSERT_EQ(p[i].status, 0u) << "reply " << i;
    ASSERT_EQ(p[0].tid, TID_MUSIC);
    ASSERT_EQ(p[1].tid, TID_IPC);

    t2_reply first = t2_parse(p[2]);
    ASSERT_EQ(first.status, 0u);
    ASSERT_EQ(ld16le(first.params.data()), SID);
    EXPECT_EQ(ld16le(first.params.data() + 2), 200);
    EXPECT_EQ(ld16le(first.params.data() + 4), 0);
    t2_reply next = t2_parse(p[3]);
    EXPECT_EQ(next.status, 0u);
    EXPECT_EQ(ld16le(next.params.data()), 52) << "the other 50 files and the two dot entries";
    EXPECT_EQ(ld16le(next.params.data() + 2), 1);
    EXPECT_EQ(p[4].status, 0u) << "search close";
    EXPECT_EQ(p[5].status, 0xC0000008u) << "FIND_NEXT2 after the close";

    t2_reply all = t2_parse(p[6]);
    ASSERT_EQ(all.data.size(), 94u);
    EXPECT_EQ(ld64le(all.data.data() + 48), 5u);
    t2_reply vol = t2_parse(p[7]);
    ASSERT_EQ(vol.data.size(), 32u);
    EXPECT_EQ(bytes(vol.data.begin() + 18, vol.data.end()), bytes(le().utf16("TALVERN", false)));
    ASSERT_EQ(p[8].status, 0u);
    ASSERT_EQ(ld16le(p[8].words.data() + 5), FID_SONG);
    EXPECT_EQ(ld64le(t2_parse(p[9]).data.data() + 8), 5u);
    EXPECT_EQ(p[10].status, 0u);
    EXPECT_EQ(ld32le(p[10].words.data() + 2), 0x586F645Cu);
    EXPECT_EQ(to_hex(body(p[11])), "000000") << "CHECK_DIRECTORY: no words";
    ASSERT_EQ(p[12].status, 0u);
    ASSERT_EQ(ld16le(p[12].words.data() + 5), FID_PIPE);
    EXPECT_EQ(p[13].status, 0u) << "bind acknowledged";
    EXPECT_EQ(p[13].wc, 10);
    EXPECT_EQ(w.delta(STAT_SRVSVC_QUERIES), 1);
    EXPECT_EQ(w.delta(STAT_LISTINGS_SENT), 1);
}

// A file that grows after its open is still reported with the size it had
// at the open through its FID, and with its new size through its path.
TEST(SearchSim, QueryFileRepeatsTheSnapshotOfTheOpen)
{
    share_set shares;
    temp_dir tmp;
    std::string root = std::filesystem::canonical(tmp.path).string();
    std::string path = tmp.write("music/grow.txt", "abc");
    ASSERT_EQ(shares.add("music", root + "/music"), 0);
    logged_rig g;
    uint16_t tid = g.connect("\\\\TALVERN\\music");
    ASSERT_NE(tid, 0);
    uint16_t fid = g.open(tid, "grow.txt");
    ASSERT_NE(fid, 0);
    tmp.write("music/grow.txt", std::string(100000, 'x'));
    t2_reply f = t2_parse(g.serve(trans2_req(tid, 7, le().u16(fid).u16(0x0102))));
    ASSERT_EQ(f.data.size(), 24u);
    EXPECT_EQ(ld64le(f.data.data()), 65536u);
    EXPECT_EQ(ld64le(f.data.data() + 8), 3u);
    t2_reply q = t2_parse(g.serve(trans2_req(tid, 5, le().u16(0x0102).u32(0).utf16("grow.txt"))));
    EXPECT_EQ(ld64le(q.data.data() + 8), 100000u);
}

}  // namespace
