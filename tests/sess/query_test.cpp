// The information queries: file levels from an open file's snapshot, the
// volume levels, the DOS date and time, and the request checks of the
// legacy queries. Queries of real paths are in query_disk_test.cpp.
#include <gtest/gtest.h>

#include "conn.h"
#include "ntlm_client.h"
#include "sess/fileinfo.h"
#include "sess/status.h"
#include "trans2.h"

using namespace tb1s;

using namespace tb1s_test;

namespace {

constexpr uint16_t TID = 0x0801, IPC_TID = 0x0803;

constexpr int64_t T_MTIME = 1710506096;  // 2024-03-15 12:34:56 UTC
constexpr int64_t T_ATIME = 1710506100, T_BTIME = 1700000000;

struct rig : session_rig {
    rig()
    {
        add_tree(s, TID, "Music");
        add_tree(s, IPC_TID, "IPC$", true);
        tb1s_file *file = add_file(0x0011);
        file->st = tb1s_fstat{FS_KIND_FILE, 70000, T_MTIME, T_ATIME, T_BTIME, 5, 0x123456789AULL};
        tb1s_file *dir = add_file(0x0021);
        dir->dir = 1;
        dir->st = tb1s_fstat{FS_KIND_DIR, 0, T_MTIME, T_ATIME, T_BTIME, 5, 77};
        add_file(0x0031)->pipe = 1;
    }
    t2_reply query(uint16_t tid, uint16_t sub, const bytes &params) { return t2_parse(serve(trans2_req(tid, sub, params))); }
};

// Each file level through a FID: its size and the fields that tell the
// levels and the object kinds apart.
TEST(QueryFile, LevelsFromTheSnapshot)
{
    struct field {
        size_t at, size;
        uint64_t value;
    };
    struct row {
        uint16_t fid, level;
        size_t size;
        std::vector<field> fields;
    } rows[] = {
        {0x0011, 0x0101, 40,
         {{0, 8, filetime_of(T_BTIME)}, {8, 8, filetime_of(T_ATIME)}, {16, 8, filetime_of(T_MTIME)},
          {24, 8, filetime_of(T_BTIME)}, {32, 4, 0x21}, {36, 4, 0}}},
        {0x0021, 0x0101, 40, {{32, 4, 0x11}}},
        {0x0011, 0x0102, 24, {{0, 8, 131072}, {8, 8, 70000}, {16, 4, 1}, {20, 1, 0}, {21, 1, 0}, {22, 2, 0}}},
        {0x0021, 0x0102, 24, {{0, 8, 0}, {8, 8, 0}, {21, 1, 1}, {22, 2, 0}}},
        // Streams: a file's one unnamed data stream "::$DATA", none for a folder.
        {0x0011, 0x03FE, 38,
         {{0, 4, 0}, {4, 4, 14}, {8, 8, 70000}, {16, 8, 131072}, {24, 8, 0x00440024003A003AULL},
          {32, 6, 0x004100540041ULL}}},  // "::$DATA"
        {0x0021, 0x03FE, 0, {}},
        {0x0011, 0x0107, 94,
         {{0, 8, filetime_of(T_BTIME)}, {32, 4, 0x21}, {40, 8, 131072}, {48, 8, 70000}, {56, 4, 1}, {61, 1, 0},
          {62, 8, 0x123456789AULL}, {70, 4, 0}, {74, 4, 0x001200A9}, {78, 8, 0}, {86, 8, 0}}},
        {0x0021, 0x0107, 94, {{32, 4, 0x11}, {61, 1, 1}, {62, 8, 77}}},
        {0x0011, 0x0200, 104,
         {{0, 8, 70000}, {8, 8, 131072}, {16, 8, uint64_t(T_MTIME)}, {24, 8, uint64_t(T_ATIME)},
          {32, 8, uint64_t(T_BTIME)}, {80, 4, 0x8000}}},
        {0x0021, 0x0200, 104, {{80, 4, 0x4000}}},
    };
    rig g;
    for (const row &r : rows) {
        std::string what = "FID " + std::to_string(r.fid) + " level " + std::to_string(r.level);
        t2_reply t = g.query(TID, 7, le().u16(r.fid).u16(r.level));
        ASSERT_EQ(t.status, 0u) << what;
        EXPECT_TRUE(t.params.empty()) << what;
        ASSERT_EQ(t.data.size(), r.size) << what;
        for (const field &f : r.fields) {
            uint64_t v = 0;
            for (size_t i = 0; i < f.size; i++)
                v |= uint64_t(t.data[f.at + i]) << (8 * i);
            EXPECT_EQ(v, f.value) << what << " offset " << f.at;
        }
        if (r.level == 0x0200) {
            EXPECT_EQ(bytes(t.data.begin() + 40, t.data.begin() + 80), bytes(40, 0)) << what;
            EXPECT_EQ(bytes(t.data.begin() + 84, t.data.end()), bytes(20, 0)) << what;
        }
    }
}

TEST(QueryFile, ReplyFrameOfLevel0101)
{
    rig g;
    smb1_reply p = g.serve(trans2_req(TID, 7, le().u16(0x0011).u16(0x0101)));
    ASSERT_EQ(p.wc, 10);
    EXPECT_EQ(p.word(0), 0) << "TotalParameterCount";
    EXPECT_EQ(p.word(6), 40) << "DataCount";
    EXPECT_EQ(p.word(7), 56) << "DataOffset";
    EXPECT_EQ(p.byte_count, 41);
}

TEST(QueryFile, Refusals)
{
    struct row {
        const char *what;
        uint16_t tid;
        bytes params;
        uint32_t nt, dos;
    } rows[] = {
        {"three parameter bytes", TID, {0x11, 0, 1}, NT_STATUS_INVALID_PARAMETER, 0x00080001},
        {"FID not open", TID, le().u16(0x0041).u16(0x0101), NT_STATUS_INVALID_HANDLE, 0x00020001},
        {"the pipe", TID, le().u16(0x0031).u16(0x0101), NT_STATUS_NOT_SUPPORTED, 0x00010002},
        {"level 0x0104", TID, le().u16(0x0011).u16(0x0104), NT_STATUS_INVALID_INFO_CLASS, 0x00080001},
        {"level 0x0108", TID, le().u16(0x0011).u16(0x0108), NT_STATUS_INVALID_INFO_CLASS, 0x00080001},
    };
    for (const row &r : rows) {
        for (bool nt : {true, false}) {
            rig g;
            smb1_request q = trans2_req(r.tid, 7, r.params);
            q.flags2 = nt ? 0xC001 : 0x0001;
            smb1_reply p = g.serve(q);
            EXPECT_EQ(p.status, nt ? r.nt : r.dos) << r.what;
            EXPECT_EQ(p.raw.size(), 35u) << r.what;
        }
    }
    rig g;
    EXPECT_EQ(g.query(IPC_TID, 7, le().u16(0x0011).u16(0x0102)).status, 0u)
        << "the file's own tree need not be the request's";
}

uint32_t fnv_low32(const std::string &s)
{
    uint64_t h = 0xCBF29CE484222325ULL;
    for (unsigned char c : s)
        h = (h ^ c) * 0x100000001B3ULL;
    return uint32_t(h);
}

TEST(QueryFs, Levels)
{
    rig g;
    add_tree(g.s, 0x0805, "MUSIC");
    bytes label = le().utf16("TALVERN", false);
    t2_reply v = g.query(TID, 3, le().u16(0x0102));
    ASSERT_EQ(v.data.size(), 32u);
    EXPECT_EQ(ld64le(v.data.data()), 0u);
    EXPECT_EQ(ld32le(v.data.data() + 8), fnv_low32("Music"));
    EXPECT_EQ(ld32le(v.data.data() + 12), 14u);
    EXPECT_EQ(bytes(v.data.begin() + 18, v.data.end()), label);
    t2_reply upper = g.query(0x0805, 3, le().u16(0x0102));
    EXPECT_EQ(ld32le(upper.data.data() + 8), fnv_low32("MUSIC"));
    EXPECT_NE(ld32le(upper.data.data() + 8), ld32le(v.data.data() + 8)) << "the case the client used counts";

    EXPECT_EQ(to_hex(g.query(TID, 3, le().u16(0x0103)).data), "00000000000000000000000000000000" "01000000" "00020000");
    EXPECT_EQ(to_hex(g.query(IPC_TID, 3, le().u16(0x0105)).data),
              "07000400" "ff000000" "0a000000" "4e00540046005300" "0000");
    // The pipe share and a share that is not (or no longer) configured get
    // the fixed counts.
    for (uint16_t tid : {IPC_TID, TID}) {
        t2_reply f = g.query(tid, 3, le().u16(0x03EF));
        ASSERT_EQ(f.data.size(), 32u);
        EXPECT_EQ(to_hex(f.data), "0000100000000000" "0000080000000000" "0000080000000000" "00080000" "00020000");
    }
    EXPECT_EQ(g.query(TID, 3, le().u16(0x0104)).status, NT_STATUS_INVALID_INFO_CLASS);
    EXPECT_EQ(g.query(TID, 3, le().u16(0x0101)).status, NT_STATUS_INVALID_INFO_CLASS);
    EXPECT_EQ(g.query(TID, 3, {0x02}).status, NT_STATUS_INVALID_PARAMETER);
}

TEST(QueryPath, RefusalsBeforeAnyDisk)
{
    rig g;
    struct row {
        const char *what;
        uint16_t tid;
        bytes params;
        uint32_t status;
    } rows[] = {
        {"five parameter bytes", TID, {1, 1, 0, 0, 0}, NT_STATUS_INVALID_PARAMETER},
        {"odd UTF-16 name", TID, le().u16(0x0101).u32(0).raw({'a', 0, 'b'}), NT_STATUS_INVALID_PARAMETER},
        {"a '..' component", TID, le().u16(0x0101).u32(0).utf16("a\\..\\b"), NT_STATUS_OBJECT_NAME_INVALID},
        {"IPC$", IPC_TID, le().u16(0x0101).u32(0).utf16(""), NT_STATUS_OBJECT_NAME_NOT_FOUND},
        {"no such share on disk", TID, le().u16(0x0101).u32(0).utf16("x"), NT_STATUS_OBJECT_NAME_NOT_FOUND},
    };
    for (const row &r : rows)
        EXPECT_EQ(g.query(r.tid, 5, r.params).status, r.status) << r.what;
}

TEST(DosDateTime, Values)
{
    struct row {
        int64_t t;
        uint32_t v;
    } rows[] = {
        {1710506096, 0x586F645C},  // 2024-03-15 12:34:56
        {315532800, 0x00210000},   // 1980-01-01 00:00:00
        {951818400, 0x285D5000},   // 2000-02-29 10:00:00
        {315532799, 0x0021BF7D},   // 1979-12-31 23:59:59: the time of day on 1980-01-01
        {1, 0x00210000},           // 1970-01-01 00:00:01: seconds halved
        {0, 0},
        {-5, 0},
        {4354819199, 0xFF9FBF7D},  // 2107-12-31 23:59:59
        {4354819200, 0xFF9FBF7D},  // 2108-01-01: past what the year field holds
        {INT64_MAX, 0xFF9FBF7D},
        {951782399, 0x285CBF7D},  // 2000-02-28 23:59:59
    };
    for (const row &r : rows)
        EXPECT_EQ(tb1s_dos_datetime(r.t), r.v) << "t=" << r.t;
}

smb1_request legacy(uint8_t cmd, uint16_t tid, bytes data)
{
    smb1_request r;
    r.cmd = cmd;
    r.tid = tid;
    r.data = std::move(data);
    return r;
}

TEST(Legacy, RequestChecks)
{
    bytes root = le().u8(4).utf16("");
    smb1_request no_bcc = legacy(0x08, TID, {});
    no_bcc.omit_byte_count = true;
    smb1_request words_cut = legacy(0x10, TID, {});
    words_cut.wc = 3;
    words_cut.omit_byte_count = true;
    words_cut.words = {1, 2, 3, 4, 5, 6, 7};  // 2 * 3 + 2 - 1 bytes after the WordCount
    struct row {
        const char *what;
        smb1_request r;
        uint32_t nt, dos;
    } rows[] = {
        {"no ByteCount", no_bcc, NT_STATUS_INVALID_PARAMETER, 0x00060001},
        {"words and ByteCount cut", words_cut, NT_STATUS_INVALID_PARAMETER, 0x00060001},
        {"no tree", legacy(0x08, 0x0999, root), NT_STATUS_BAD_NETWORK_NAME, 0x00060001},
        {"no tree, CHECK_DIRECTORY", legacy(0x10, 0x0999, root), NT_STATUS_BAD_NETWORK_NAME, 0x00060001},
        {"odd UTF-16 name", legacy(0x08, TID, {4, 'a', 0, 'b'}), NT_STATUS_INVALID_PARAMETER, 0x00060001},
        {"name refused", legacy(0x10, TID, le().u8(4).utf16("..")), NT_STATUS_OBJECT_NAME_INVALID, 0x00060001},
        {"QUERY_INFORMATION on IPC$", legacy(0x08, IPC_TID, root), NT_STATUS_OBJECT_NAME_NOT_FOUND, 0x00020001},
        {"CHECK_DIRECTORY on IPC$", legacy(0x10, IPC_TID, root), NT_STATUS_OBJECT_PATH_NOT_FOUND, 0x00060001},
        {"QUERY_INFORMATION, no share behind the tree", legacy(0x08, TID, {}), NT_STATUS_OBJECT_NAME_NOT_FOUND, 0x00020001},
        {"CHECK_DIRECTORY, no share behind the tree", legacy(0x10, TID, {4}), NT_STATUS_OBJECT_PATH_NOT_FOUND, 0x00060001},
    };
    for (const row &r : rows) {
        for (bool nt : {true, false}) {
            rig g;
            smb1_request q = r.r;
            q.flags2 = uint16_t((nt ? 0xC001 : 0x8001));
            smb1_reply p = g.serve(q);
            EXPECT_EQ(p.status, nt ? r.nt : r.dos) << r.what;
            EXPECT_EQ(p.raw.size(), 35u) << r.what;
        }
    }
}

}  // namespace
