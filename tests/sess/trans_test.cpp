// TRANSACTION and TRANSACTION2 framing: word counts, block offsets and
// bounds, the tree check and the subcommand dispatch, the refused write
// subcommands and FIND_CLOSE2.
#include <gtest/gtest.h>

#include "cfg/stats.h"
#include "conn.h"
#include "files.h"
#include "sess/status.h"
#include "trans2.h"

using namespace tb1s;

using namespace tb1s_test;

namespace {

constexpr uint16_t TID = 0x0801, FID = 0x0011;

// A session with one tree and one open file whose snapshot says 1 byte.
struct rig : session_rig {
    rig()
    {
        add_tree(s, TID, "Music");
        add_file(FID)->st.size = 1;
    }
};

// QUERY_FILE_INFORMATION standard of FID, 6 parameter bytes: what the
// offset cases below place and cut.
smb1_request qfile(uint16_t tid = TID) { return trans2_req(tid, 7, le().u16(FID).u16(0x0102).u16(0xEEEE)); }

smb1_request with_word(smb1_request r, size_t at, uint16_t v)
{
    st16le(r.words.data() + at, v);
    return r;
}

TEST(Trans2, FramingTable)
{
    smb1_request base = qfile();
    size_t msg = smb1_message(base).size();  // 68 + 6
    ASSERT_EQ(msg, 74u);
    smb1_request wc14 = base;
    wc14.wc = 14;
    smb1_request cut = base;  // WordCount 15 but the message ends inside the words
    cut.words.resize(20);
    cut.omit_byte_count = true;
    smb1_request empty;
    empty.cmd = 0x32;
    empty.omit_byte_count = true;
    empty.wc = 0;
    struct row {
        const char *what;
        smb1_request r;
        uint32_t status;
        bool framed;  // a TRANSACTION2 body came back
        size_t data = 0;
    } rows[] = {
        {"offset 68, count 6: the block is bytes 68..73", base, 0, true, 24},
        {"offset 13 counts from the WordCount byte: the Timeout field",
         with_word(with_word(with_word(with_word(base, 12, FID), 14, 0x0102), 20, 13), 18, 4), 0, true, 24},
        {"offset 36 counts from the header start", with_word(base, 20, 36), NT_STATUS_INVALID_HANDLE, false},
        {"count one byte past the end", with_word(base, 18, 7), NT_STATUS_INVALID_PARAMETER, false},
        {"offset one byte past the end", with_word(with_word(base, 18, 0), 20, uint16_t(msg + 1)),
         NT_STATUS_INVALID_PARAMETER, false},
        {"an empty block at the very end (volume query)",
         with_word(with_word(with_word(base, 18, 0), 20, uint16_t(msg)), 28, 3), NT_STATUS_INVALID_PARAMETER, false},
        {"count larger than the message", with_word(base, 18, 0xFFFF), NT_STATUS_INVALID_PARAMETER, false},
        {"WordCount 14", wc14, NT_STATUS_INVALID_PARAMETER, false},
        {"words cut short", cut, NT_STATUS_INVALID_PARAMETER, false},
        {"nothing after the header", empty, NT_STATUS_INVALID_PARAMETER, false},
        {"subcommand 4", with_word(base, 28, 4), NT_STATUS_INVALID_INFO_CLASS, false},
        {"subcommand 9", with_word(base, 28, 9), NT_STATUS_INVALID_INFO_CLASS, false},
        {"0x0007 on a TID without a tree, FID open", qfile(0x0999), NT_STATUS_BAD_NETWORK_NAME, false},
    };
    for (const row &r : rows) {
        rig g;
        t2_reply t = t2_parse(g.serve(r.r));
        EXPECT_EQ(t.status, r.status) << r.what;
        EXPECT_EQ(t.framed, r.framed) << r.what;
        EXPECT_EQ(t.data.size(), r.data) << r.what;
    }
}

TEST(Trans2, DosPairsOfFramingErrors)
{
    rig g;
    smb1_request r = with_word(qfile(), 28, 4);
    r.flags2 = 0x0001;
    EXPECT_EQ(g.serve(r).status, 0x00080001u) << "INVALID_INFO_CLASS as 1/8";
    r = qfile(0x0999);
    r.flags2 = 0x0001;
    EXPECT_EQ(g.serve(r).status, 0x00060001u) << "BAD_NETWORK_NAME as 1/6";
}

// Search close: the id from the first parameter word; of duplicates the
// last in the table goes; an absent or short id closes nothing and succeeds.
// FIND_CLOSE2 (command 0x34) ends the last search in the table with its
// SID, whatever its tree; a SID in no use is an invalid handle.
TEST(Trans2, FindClose2)
{
    rig g;
    for (int i : {3, 7, 9}) {
        g.s->searches[i].in_use = 1;
        g.s->searches[i].sid = i == 3 ? 0x0105 : 0x0005;
    }
    struct row {
        const char *what;
        uint16_t sid;
        uint32_t status;
        bool in_use[3];  // entries 3, 7, 9 afterwards
    } rows[] = {
        {"an id in no use", 0x0009, NT_STATUS_INVALID_HANDLE, {true, true, true}},
        {"id 5: the last of two", 0x0005, 0, {true, true, false}},
        {"id 5 again: the other", 0x0005, 0, {true, false, false}},
        {"id 0x105", 0x0105, 0, {false, false, false}},
        {"id 0x105 again", 0x0105, NT_STATUS_INVALID_HANDLE, {false, false, false}},
    };
    for (const row &r : rows) {
        smb1_reply p = g.serve(request(0x34, le().u16(r.sid)));
        EXPECT_EQ(p.status, r.status) << r.what;
        EXPECT_EQ(to_hex(body(p)), "000000") << r.what;
        EXPECT_EQ(g.s->searches[3].in_use != 0, r.in_use[0]) << r.what;
        EXPECT_EQ(g.s->searches[7].in_use != 0, r.in_use[1]) << r.what;
        EXPECT_EQ(g.s->searches[9].in_use != 0, r.in_use[2]) << r.what;
    }
}

// The subcommands that would change the disk are refused like WRITE, in
// both status forms, before their blocks or the tree are looked at; a
// search stays open through SET_PATH_INFORMATION.
TEST(Trans2, WriteSubcommandsAreRefused)
{
    rig g;
    g.s->searches[0].in_use = 1;
    g.s->searches[0].sid = 0x0005;
    for (uint16_t sub : {0x0000, 0x0006, 0x0008, 0x000D}) {
        for (uint16_t tid : {TID, uint16_t(0x0999)}) {
            for (bool nt : {true, false}) {
                smb1_request r = trans2_req(tid, sub, le().u16(0x0005).u16(0x0101).u32(0).utf16("a.txt"));
                r.flags2 = nt ? 0xC001 : 0x0001;
                stat_watch w;
                smb1_reply p = g.serve(r);
                EXPECT_EQ(p.status, nt ? NT_STATUS_ACCESS_DENIED : TB1S_DOS_SRV_ACCESS) << "subcommand " << sub;
                EXPECT_EQ(to_hex(body(p)), "000000") << "subcommand " << sub;
                EXPECT_EQ(w.delta(STAT_MUTATING_REFUSED), 1) << "subcommand " << sub;
            }
        }
    }
    EXPECT_EQ(g.s->searches[0].in_use, 1);
}

TEST(Trans, SetupWordsAndThePipe)
{
    rig g;
    g.add_file(0x0021)->pipe = 1;
    smb1_request short_words = trans_req(0, {0x26, 0x21}, {1, 2});
    short_words.wc = 13;
    smb1_request outside = trans_req(0, {0x26, 0x21}, {1, 2});
    st16le(outside.words.data() + 22, 0x0100);  // DataCount past the end
    struct row {
        const char *what;
        smb1_request r;
        uint32_t status;
        int64_t queries;
    } rows[] = {
        {"WordCount 13", short_words, NT_STATUS_INVALID_PARAMETER, 0},
        {"data block outside the message", outside, NT_STATUS_INVALID_PARAMETER, 0},
        {"setup0 not TransactNmPipe", trans_req(0, {0x23, 0x21}, {1}), NT_STATUS_NOT_SUPPORTED, 0},
        {"no setup words: setup0 is 0", trans_req(0, {}, {1}), NT_STATUS_NOT_SUPPORTED, 0},
        {"one setup word: the FID is 0", trans_req(0, {0x26}, {1}), NT_STATUS_INVALID_HANDLE, 0},
        {"setup1 names a file, not the pipe", trans_req(0, {0x26, FID}, {1}), NT_STATUS_INVALID_HANDLE, 0},
        {"setup1 names no open file", trans_req(0, {0x26, 0x0031}, {1}), NT_STATUS_INVALID_HANDLE, 0},
        {"the pipe, on no tree at all", trans_req(0x0999, {0x26, 0x21}, {5, 0, 0x0b}), 0xFFFFFFFF, 1},
    };
    for (const row &r : rows) {
        stat_watch w;
        smb1_reply p = g.serve(r.r);
        if (r.status != 0xFFFFFFFF) {  // the pipe's own answer is not this test's business
            EXPECT_EQ(p.status, r.status) << r.what;
        }
        EXPECT_EQ(w.delta(STAT_SRVSVC_QUERIES), r.queries) << r.what;
    }
}

}  // namespace

namespace {

// Tracing is for the rare paths that explain a refusal: requests served as
// asked write nothing even with tracing on, and a refused open says why.
TEST(Trace, OnlyRefusalsAreTraced)
{
    rig g;
    g.add_file(0x0021)->pipe = 1;
    add_tree(g.s, 0x0803, "IPC$", true);
    smb1_request past = qfile();
    st16le(past.words.data() + 18, 7);
    smb1_request find = trans2_req(TID, 1, le().u16(0x16).u16(10).u16(6).u16(0x0104).u32(0).utf16("\\a\\b\\*.mp3"));
    create_args create;
    create.disposition = 2;
    tb1s_test::set_env("TBSMB1S_TRACE", "1");
    tb1s_trace_reload();
    ::testing::internal::CaptureStderr();
    g.serve(qfile());
    g.serve(past);
    g.serve(trans_req(0, {0x26, 0x21}, {5, 0, 0x0b, 3, 0x10, 0, 0, 0, 0x48, 0, 0, 0, 0xAA}));
    g.serve(find);
    g.serve(read_req(0x0011, 0, 10));
    std::string served = ::testing::internal::GetCapturedStderr();
    ::testing::internal::CaptureStderr();
    g.serve(create_req(0x0803, "srvsvc", create));
    std::string refused = ::testing::internal::GetCapturedStderr();
    tb1s_test::unset_env("TBSMB1S_TRACE");
    tb1s_trace_reload();
    EXPECT_EQ(served, "");
    EXPECT_EQ(refused, "[open] refused: disposition 2 would create or replace\n");
}

}  // namespace
