// READ_ANDX on open-file records that point at real files of a temporary
// folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "cfg/stats.h"
#include "files.h"

using namespace tb1s;

using namespace tb1s_test;

namespace {

// A session with one open record per file of a temporary folder, each
// record of a share rooted at that folder.
struct read_rig : logged_rig {
    temp_dir dir;
    tb1s_file *add(uint16_t fid, const std::string &host_path)
    {
        tb1s_file *f = add_file(fid);
        tb1s_strlcpy(f->path, host_path.c_str(), sizeof f->path);
        tb1s_strlcpy(f->share.name, "s", sizeof f->share.name);
        tb1s_strlcpy(f->share.path, u8_text(std::filesystem::canonical(u8_path(dir.path))).c_str(), sizeof f->share.path);
        return f;
    }
};

struct read_result {
    uint32_t status = 0;
    uint16_t data_len = 0, data_off = 0;
    uint16_t byte_count = 0;
    bytes data;  // after the pad byte
    size_t size = 0;
};

read_result do_read(read_rig &g, const smb1_request &r)
{
    smb1_reply p = g.serve(r);
    read_result out;
    out.status = p.status;
    out.size = p.raw.size();
    if (p.wc == 12 && p.words.size() == 24) {
        out.data_len = p.word(5);
        out.data_off = p.word(6);
        out.byte_count = p.byte_count;
        if (!p.data.empty())
            out.data.assign(p.data.begin() + 1, p.data.end());
    }
    return out;
}

std::string text_of(const bytes &b) { return std::string(b.begin(), b.end()); }

TEST(Read, SizesAndEndOfFile)
{
    read_rig g;
    g.add(0x0011, g.dir.write("ten.txt", "0123456789"));
    struct row {
        const char *what;
        uint32_t offset;
        uint16_t max;
        uint32_t status;
        const char *data;
    } rows[] = {
        {"more than the file", 0, 100, 0, "0123456789"},
        {"part", 2, 3, 0, "234"},
        {"up to the end", 7, 3, 0, "789"},
        {"across the end", 8, 100, 0, "89"},
        {"at the end", 10, 100, NT_STATUS_END_OF_FILE, ""},
        {"past the end", 0xFFFFFFF0, 100, NT_STATUS_END_OF_FILE, ""},
        {"count 0", 0, 0, NT_STATUS_END_OF_FILE, ""},
    };
    for (const row &r : rows) {
        stat_watch w;
        read_result x = do_read(g, read_req(0x0011, r.offset, r.max));
        EXPECT_EQ(x.status, r.status) << r.what;
        EXPECT_EQ(text_of(x.data), r.data) << r.what;
        EXPECT_EQ(x.data_len, strlen(r.data)) << r.what;
        EXPECT_EQ(x.data_off, 60) << r.what;
        EXPECT_EQ(x.byte_count, strlen(r.data) + 1) << r.what;
        EXPECT_EQ(x.size, 60 + strlen(r.data)) << r.what;
        EXPECT_EQ(w.delta(STAT_READS), r.status == 0 ? 1 : 0) << r.what;
    }

    smb1_reply p = g.serve(read_req(0x0011, 0, 4));
    EXPECT_EQ(to_hex(body(p)), "0c" "ff000000" "ffff" "0000" "0000" "0400" "3c00" "0000" "0000000000000000" "0500"
                               "00" "30313233");
    p = g.serve(read_req(0x0011, 10, 4));
    EXPECT_EQ(to_hex(body(p)), "0c" "ff000000" "ffff" "0000" "0000" "0000" "3c00" "0000" "0000000000000000" "0100"
                               "00");
    smb1_request dos = read_req(0x0011, 10, 4);
    dos.flags2 = 0x0001;
    EXPECT_EQ(g.serve(dos).status, TB1S_DOS_NOT_FOUND);
}

TEST(Read, HighOffsetReadsBeyondFourGiB)
{
    read_rig g;
    std::string big = g.dir.write("big", "");
    const uint64_t at = (uint64_t(1) << 32) + 5;
    {
        std::fstream f(big, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(std::streamoff(at));
        f << "high";
    }
    g.add(0x0011, big);
    EXPECT_EQ(text_of(do_read(g, read_req(0x0011, 5, 10, 1)).data), "high");
    EXPECT_EQ(do_read(g, read_req(0x0011, 9, 10, 1)).status, NT_STATUS_END_OF_FILE) << "just past the end";
    EXPECT_EQ(do_read(g, read_req(0x0011, 5, 10)).data, bytes(10, 0)) << "WordCount 10: offset 5 is in the hole";
    EXPECT_EQ(do_read(g, read_req(0x0011, 5, 10, 0)).data, bytes(10, 0)) << "WordCount 12 with OffsetHigh 0";
}

TEST(Read, Refusals)
{
    read_rig g;
    g.add(0x0011, g.dir.write("f", "data"));
    g.add(0x0021, g.dir.mkdir("sub"))->dir = 1;
    g.add(0x0031, "")->pipe = 1;
    g.add(0x0041, g.dir.write("gone", "data"));
    std::filesystem::remove(g.dir.path + "/gone");
    g.add(0x0051, g.dir.write("now-a-folder", "data"));
    std::filesystem::remove(g.dir.path + "/now-a-folder");
    g.dir.mkdir("now-a-folder");

    smb1_request wc11 = read_req(0x0011, 0, 4);
    wc11.words.push_back(0);
    wc11.words.push_back(0);
    smb1_request short10 = read_req(0x0011, 0, 4);
    short10.words.resize(16);
    short10.wc = 10;
    short10.omit_byte_count = true;
    smb1_request short12 = read_req(0x0011, 0, 4, 1);
    short12.words.resize(20);
    short12.wc = 12;
    short12.omit_byte_count = true;

    struct row {
        const char *what;
        smb1_request r;
        uint32_t nt, dos;
    } rows[] = {
        {"WordCount 11", wc11, NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID},
        {"WordCount 10 cut short", short10, NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID},
        {"WordCount 12 without OffsetHigh", short12, NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID},
        {"FID never issued", read_req(0x0061, 0, 4), NT_STATUS_INVALID_HANDLE, TB1S_DOS_NOT_FOUND},
        {"folder", read_req(0x0021, 0, 4), NT_STATUS_FILE_IS_A_DIRECTORY, TB1S_DOS_NO_ACCESS},
        {"pipe", read_req(0x0031, 0, 4), NT_STATUS_NOT_SUPPORTED, TB1S_DOS_SRV_ERROR},
        {"file deleted after the open", read_req(0x0041, 0, 4), NT_STATUS_ACCESS_DENIED, TB1S_DOS_NO_ACCESS},
        {"file replaced by a folder", read_req(0x0051, 0, 4), NT_STATUS_ACCESS_DENIED, TB1S_DOS_NO_ACCESS},
    };
    for (row &r : rows) {
        for (bool nt : {true, false}) {
            r.r.flags2 = nt ? 0xC001 : 0x8001;
            std::string what = std::string(r.what) + (nt ? " (NT status)" : " (DOS error)");
            stat_watch w;
            smb1_reply p = g.serve(r.r);
            EXPECT_EQ(p.status, nt ? r.nt : r.dos) << what;
            EXPECT_EQ(p.raw.size(), 35u) << what;
            EXPECT_EQ(w.delta(STAT_READS), 0) << what;
        }
    }
    EXPECT_EQ(g.s->nfiles, 5) << "a failed read closes nothing";
}

// The most a reply carries follows the client's announced buffer size.
TEST(Read, LimitFollowsTheClientBufferSize)
{
    read_rig g;
    g.add(0x0011, g.dir.write("big", std::string(70000, 'x')));
    struct row {
        uint32_t bufsize;
        uint16_t max;
        uint16_t got;
    } rows[] = {
        {0, 0xFFFF, 4096},     {64, 0xFFFF, 4096},     {65, 0xFFFF, 1},        {4356, 0xFFFF, 4292},
        {16644, 0xFFFF, 16580}, {65535, 0xFFFF, 65280}, {1u << 20, 0xFFFF, 65280}, {16644, 100, 100},
    };
    for (const row &r : rows) {
        g.s->client_bufsize = r.bufsize;
        read_result x = do_read(g, read_req(0x0011, 0, r.max));
        EXPECT_EQ(x.data_len, r.got) << "buffer size " << r.bufsize << ", asked " << r.max;
        EXPECT_EQ(x.data.size(), r.got) << "buffer size " << r.bufsize;
        if (r.bufsize > 64) {
            EXPECT_LE(x.size + 4, r.bufsize) << "the framed reply fits the client's buffer";
        }
    }
    g.s->client_bufsize = 1u << 20;
    read_result x = do_read(g, read_req(0x0011, 65280, 0xFFFF));
    EXPECT_EQ(x.data_len, 70000 - 65280) << "the rest of the file";
}

TEST(Read, RequestTidIsNotCompared)
{
    read_rig g;
    g.add(0x0011, g.dir.write("f", "abc"));
    smb1_request r = read_req(0x0011, 0, 10);
    r.tid = 0x4321;
    EXPECT_EQ(text_of(do_read(g, r).data), "abc");
}

}  // namespace

namespace {

// Open and read through a real share: the read sees the file as it is at
// the moment, not as it was at the open.
TEST(Read, AfterAnOpenSeesTheFileAsItIsNow)
{
    read_rig g;
    share_set shares;
    std::string file = g.dir.write("f.txt", "first");
    ASSERT_EQ(shares.add("s", g.dir.path), 0);
    uint16_t tid = g.connect("s");
    ASSERT_NE(tid, 0);
    uint16_t fid = g.open(tid, "f.txt");
    ASSERT_NE(fid, 0);
    uint16_t folder = g.open(tid, "\\");
    ASSERT_NE(folder, 0);

    EXPECT_EQ(text_of(do_read(g, read_req(fid, 0, 100)).data), "first");
    g.dir.write("f.txt", "second, longer");
    EXPECT_EQ(text_of(do_read(g, read_req(fid, 0, 100)).data), "second, longer");
    EXPECT_EQ(do_read(g, read_req(folder, 0, 100)).status, NT_STATUS_FILE_IS_A_DIRECTORY);
    std::filesystem::remove(file);
    EXPECT_EQ(do_read(g, read_req(fid, 0, 100)).status, NT_STATUS_ACCESS_DENIED);
}

}  // namespace

namespace {

namespace sfs = std::filesystem;

// A local user who can write in the shared folder swaps what a client has
// open for a link that leads out of the share, between the open and the
// read. The read opens what the path leads to now, sees that it lies
// outside and refuses, counting the path as refused; putting things back
// serves the file again.
TEST(Read, SwappedForALinkOutOfTheShareIsRefused)
{
    read_rig g;
    share_set shares;
    const std::string base = sfs::canonical(g.dir.path).string();
    g.dir.write("share/dir/f.txt", "inside");
    g.dir.write("share/top.txt", "top");
    g.dir.write("outside/f.txt", "SECRET");
    g.dir.write("outside/top.txt", "SECRET");
    g.dir.write("single/song.mp3", "song");
    g.dir.write("outside/song.mp3", "SECRET");
    ASSERT_EQ(shares.add("s", base + "/share"), 0);
    ASSERT_EQ(shares.add("one", base + "/single/song.mp3"), 0);
    uint16_t tid = g.connect("s"), one = g.connect("one");
    ASSERT_NE(tid, 0);
    ASSERT_NE(one, 0);

    struct row {
        const char *what;
        uint16_t tid;
        const char *name;     // as the client opens it
        const char *swapped;  // below base: what is replaced by a link
        const char *target;   // below base: where the link leads
        const char *content;  // of the file as the open found it
    } rows[] = {
        {"a folder on the way", tid, "dir\\f.txt", "share/dir", "outside", "inside"},
        {"the share's root", tid, "top.txt", "share", "outside", "top"},
        {"a single-file share", one, "\\", "single/song.mp3", "outside/song.mp3", "song"},
    };
    for (const row &r : rows) {
        uint16_t fid = g.open(r.tid, r.name);
        ASSERT_NE(fid, 0) << r.what;
        EXPECT_EQ(text_of(do_read(g, read_req(fid, 0, 100)).data), r.content) << r.what;

        const std::string swapped = base + "/" + r.swapped, aside = swapped + ".aside";
        sfs::rename(swapped, aside);
        sfs::create_symlink(base + "/" + r.target, swapped);
        stat_watch w;
        read_result x = do_read(g, read_req(fid, 0, 100));
        EXPECT_EQ(x.status, NT_STATUS_ACCESS_DENIED) << r.what;
        EXPECT_EQ(text_of(x.data), "") << r.what << ": no byte of the outside file";
        EXPECT_EQ(w.delta(STAT_PATH_REFUSED), 1) << r.what;
        EXPECT_EQ(w.delta(STAT_READS), 0) << r.what;

        sfs::remove(swapped);
        sfs::rename(aside, swapped);
        EXPECT_EQ(text_of(do_read(g, read_req(fid, 0, 100)).data), r.content) << r.what << ", put back";
    }
}

// Links that stay inside the share are followed at every read: the open
// file's folder replaced by a relative link, an absolute one or a chain of
// two, each leading to where the folder now is inside the share.
TEST(Read, LinksInsideTheShareAreFollowed)
{
    read_rig g;
    share_set shares;
    const std::string base = sfs::canonical(g.dir.path).string(), share = base + "/share";
    g.dir.write("share/real/f.txt", "real");
    ASSERT_EQ(shares.add("s", share), 0);
    uint16_t tid = g.connect("s");
    ASSERT_NE(tid, 0);
    uint16_t fid = g.open(tid, "real\\f.txt");
    ASSERT_NE(fid, 0);
    struct row {
        const char *what;
        std::string target;  // of the link that replaces the folder
        bool hop;            // through a second link
    } rows[] = {
        {"relative", "moved", false},
        {"absolute", share + "/moved", false},
        {"chain", "hop", true},
    };
    for (const row &r : rows) {
        sfs::rename(share + "/real", share + "/moved");
        sfs::create_directory_symlink(r.target, share + "/real");
        if (r.hop)
            sfs::create_directory_symlink("moved", share + "/hop");
        stat_watch w;
        EXPECT_EQ(text_of(do_read(g, read_req(fid, 0, 100)).data), "real") << r.what;
        EXPECT_EQ(w.delta(STAT_PATH_REFUSED), 0) << r.what;
        sfs::remove(share + "/real");
        sfs::remove(share + "/hop");
        sfs::rename(share + "/moved", share + "/real");
    }
}

}  // namespace
