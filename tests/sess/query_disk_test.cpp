// Information queries of real paths on a share: the path levels, the full
// size of the volume, QUERY_INFORMATION and CHECK_DIRECTORY.
#include <gtest/gtest.h>

#include <filesystem>

#include "fs/fs.h"
#include "sess/status.h"
#include "share_rig.h"

using namespace tb1s;

using namespace tb1s_test;

namespace {

bytes path_params(uint16_t level, const std::string &name) { return le().u16(level).u32(0).utf16(name); }

tb1s_fstat stat_of(const std::string &path)
{
    tb1s_fstat st{};
    EXPECT_EQ(tb1s_fs_stat(path.c_str(), &st), 0) << path;
    return st;
}

TEST(QueryPath, LevelsOfFilesAndFolders)
{
    share_rig g;
    g.file("one", "x");
    g.file("empty");
    g.dir("sub");
    set_mtime(g.root + "/sub", 1710506096);
    tb1s_fstat one = stat_of(g.root + "/one"), sub = stat_of(g.root + "/sub");

    t2_reply t = g.query(k_tid, 5, path_params(0x0101, "\\sub"));
    ASSERT_EQ(t.data.size(), 40u);
    EXPECT_EQ(ld32le(t.data.data() + 32), 0x11u);
    EXPECT_EQ(ld32le(g.query(k_tid, 5, path_params(0x0101, "one")).data.data() + 32), 0x21u);
    EXPECT_EQ(ld32le(g.query(k_tid, 5, path_params(0x0101, "")).data.data() + 32), 0x11u) << "the root";

    t = g.query(k_tid, 5, path_params(0x0102, "one"));
    ASSERT_EQ(t.data.size(), 24u) << "smbclient refuses a shorter standard record";
    EXPECT_EQ(ld64le(t.data.data()), 65536u);
    EXPECT_EQ(ld64le(t.data.data() + 8), 1u);
    t = g.query(k_tid, 5, path_params(0x0102, "empty"));
    EXPECT_EQ(ld64le(t.data.data()), 0u);
    EXPECT_EQ(ld64le(t.data.data() + 8), 0u);

    t = g.query(k_tid, 5, path_params(0x0107, "/one"));
    ASSERT_EQ(t.data.size(), 94u);
    EXPECT_EQ(ld64le(t.data.data() + 62), one.ino);
    EXPECT_EQ(ld32le(t.data.data() + 74), 0x001200A9u);

    t = g.query(k_tid, 5, path_params(0x0200, "sub"));
    ASSERT_EQ(t.data.size(), 104u);
    EXPECT_EQ(ld32le(t.data.data() + 80), 0x4000u);
    EXPECT_EQ(ld64le(t.data.data() + 16), 1710506096u);
    EXPECT_EQ(ld64le(t.data.data() + 24), uint64_t(sub.atime));
    EXPECT_EQ(ld64le(t.data.data() + 32), uint64_t(sub.btime));

    // The level is looked at only once the path has been found.
    EXPECT_EQ(g.query(k_tid, 5, path_params(0x0104, "one")).status, NT_STATUS_INVALID_INFO_CLASS);
    EXPECT_EQ(g.query(k_tid, 5, path_params(0x0104, "none")).status, NT_STATUS_OBJECT_NAME_NOT_FOUND);
    g.tmp.write("outside/x", "");
    std::filesystem::create_directory_symlink("../outside", g.root + "/out");
    EXPECT_EQ(g.query(k_tid, 5, path_params(0x0101, "out\\x")).status, NT_STATUS_OBJECT_NAME_NOT_FOUND);
}

// The alternate name is the short name a search reports for the last
// component of the path (none for names without the 8.3 shape and for the
// share's root), UTF-16 in a Unicode request and bytes otherwise.
TEST(QueryPath, AlternateName)
{
    share_rig g;
    g.file("one", "x");
    g.file("Song.mp3");
    g.file("Long name.txt");
    g.file("sub/readme");
    struct row {
        const char *name;
        const char *alt;  // as text; empty for none
        bool unicode;
    } rows[] = {
        {"one", "ONE", true},
        {"\\Song.mp3", "SONG.MP3", true},
        {"Song.mp3", "SONG.MP3", false},
        {"Long name.txt", "", true},
        {"sub", "SUB", true},
        {"sub/readme", "README", true},
        {"", "", true},
    };
    for (const row &r : rows) {
        smb1_request q =
            trans2_req(k_tid, 5, r.unicode ? path_params(0x0108, r.name) : le().u16(0x0108).u32(0).ascii(r.name));
        if (!r.unicode)
            q.flags2 &= uint16_t(~0x8000);
        t2_reply t = t2_parse(g.serve(q));
        ASSERT_EQ(t.status, 0u) << r.name;
        bytes alt = r.unicode ? le().utf16(r.alt, false).b : le().ascii(r.alt, false).b;
        EXPECT_EQ(to_hex(t.data), to_hex(le().u32(uint32_t(alt.size())).b) + to_hex(alt)) << r.name;
    }
    EXPECT_EQ(g.query(k_tid, 5, path_params(0x0108, "none")).status, NT_STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(QueryFs, FullSizeOfTheShareAndOfAVanishedRoot)
{
    share_rig g;
    uint64_t total = 0, avail = 0;
    uint32_t spu = 0, bps = 0;
    ASSERT_EQ(tb1s_fs_space(g.root.c_str(), &total, &avail, &spu, &bps), 0);
    t2_reply t = g.query(k_tid, 3, le().u16(0x03EF));
    ASSERT_EQ(t.data.size(), 32u);
    EXPECT_EQ(ld64le(t.data.data()), total);
    // Free space moves with other programs; only the shape is certain.
    EXPECT_EQ(ld64le(t.data.data() + 8), ld64le(t.data.data() + 16));
    EXPECT_LE(ld64le(t.data.data() + 8), total);
    EXPECT_EQ(ld32le(t.data.data() + 24), 2048u);
    EXPECT_EQ(ld32le(t.data.data() + 28), 512u);

    std::filesystem::remove_all(g.root);
    t = g.query(k_tid, 3, le().u16(0x03EF));
    EXPECT_EQ(to_hex(t.data), "0000100000000000" "0000080000000000" "0000080000000000" "00080000" "00020000");
}

smb1_request legacy(uint8_t cmd, const std::string &name)
{
    smb1_request r;
    r.cmd = cmd;
    r.tid = k_tid;
    r.data = le().u8(4).utf16(name);
    return r;
}

TEST(Legacy, QueryInformationOfFiles)
{
    share_rig g;
    struct row {
        const char *name;
        int64_t mtime;
        uint32_t dos;
    } rows[] = {
        {"a", 1710506096, 0x586F645C},  // 2024-03-15 12:34:56
        {"b", 315532800, 0x00210000},   // 1980-01-01 00:00:00
        {"c", 951818400, 0x285D5000},   // 2000-02-29 10:00:00
        {"d", 7258118400, 0xFF9FBF7D},  // 2200-01-01: the last value the fields hold
    };
    for (const row &r : rows) {
        set_mtime(g.file(r.name, "hello"), r.mtime);
        smb1_reply p = g.serve(legacy(0x08, r.name));
        ASSERT_EQ(p.status, 0u) << r.name;
        ASSERT_EQ(p.wc, 10) << r.name;
        EXPECT_EQ(p.word(0), 0x21) << r.name;
        EXPECT_EQ(ld32le(p.words.data() + 2), r.dos) << r.name;
        EXPECT_EQ(ld32le(p.words.data() + 6), 5u) << r.name;
        EXPECT_EQ(bytes(p.words.begin() + 10, p.words.end()), bytes(10, 0)) << r.name;
        EXPECT_TRUE(p.has_byte_count && p.byte_count == 0 && p.data.empty()) << r.name;
    }
    g.dir("sub");
    EXPECT_EQ(g.serve(legacy(0x08, "\\sub")).word(0), 0x11);
    EXPECT_EQ(g.serve(legacy(0x08, "none")).status, NT_STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(Legacy, CheckDirectory)
{
    share_rig g;
    g.file("file.txt");
    g.dir("sub/deeper");
    struct row {
        const char *name;
        uint32_t status;
    } rows[] = {
        {"", 0},
        {"\\", 0},
        {"\\sub\\deeper\\", 0},
        {"sub/deeper", 0},
        {"file.txt", NT_STATUS_OBJECT_PATH_NOT_FOUND},
        {"none", NT_STATUS_OBJECT_PATH_NOT_FOUND},
    };
    for (const row &r : rows) {
        smb1_reply p = g.serve(legacy(0x10, r.name));
        EXPECT_EQ(p.status, r.status) << "'" << r.name << "'";
        if (r.status == 0)
            EXPECT_EQ(to_hex(body(p)), "000000") << "'" << r.name << "': no words";
        else
            EXPECT_EQ(p.raw.size(), 35u);
    }
}

}  // namespace
