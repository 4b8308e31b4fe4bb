// Directory search over real folders: ordering and the dot entries,
// patterns, exact names, 200-entry replies and resume keys, short names,
// links, refusals, OEM replies, and replies that would overflow the
// 16-bit counts.
#include <gtest/gtest.h>

#include <filesystem>

#include "cfg/stats.h"
#include "fs/fs.h"
#include "ntlm_client.h"
#include "sess/status.h"
#include "share_rig.h"

using namespace tb1s;

using namespace tb1s_test;

namespace {

struct entry {
    uint32_t index;
    uint64_t created, accessed, written, changed, eof, alloc;
    uint32_t attr;
    bytes short_name;
    bytes name;
};

// Walks the entries of a reply's data by NextEntryOffset, checking that
// each offset is the entry's own length (94 bytes, the name, padding to 4;
// an 8-bit name has at least one zero byte after it, its terminator).
std::vector<entry> entries(const bytes &d, bool unicode = true)
{
    std::vector<entry> out;
    size_t at = 0;
    while (at < d.size()) {
        EXPECT_GE(d.size() - at, 94u);
        if (d.size() - at < 94)
            break;
        const uint8_t *p = d.data() + at;
        entry e;
        uint32_t next = ld32le(p), nlen = ld32le(p + 60);
        e.index = ld32le(p + 4);
        e.created = ld64le(p + 8);
        e.accessed = ld64le(p + 16);
        e.written = ld64le(p + 24);
        e.changed = ld64le(p + 32);
        e.eof = ld64le(p + 40);
        e.alloc = ld64le(p + 48);
        e.attr = ld32le(p + 56);
        EXPECT_EQ(ld32le(p + 64), 0u) << "EaSize";
        EXPECT_LE(p[68], 24) << "ShortNameLength";
        e.short_name = bytes(p + 70, p + 70 + p[68]);
        EXPECT_EQ(bytes(p + 70 + p[68], p + 94), bytes(24 - p[68], 0)) << "short name zero-padded";
        e.name = bytes(p + 94, p + 94 + nlen);
        size_t len = 94 + nlen + (unicode ? (4 - nlen % 4) % 4 : 4 - nlen % 4);
        if (!unicode && at + 94 + nlen < d.size()) {
            EXPECT_EQ(p[94 + nlen], 0) << "the terminator of an 8-bit name";
        }
        out.push_back(e);
        if (next == 0) {
            EXPECT_EQ(at + len, d.size()) << "the last entry ends the data";
            break;
        }
        EXPECT_EQ(next, len) << "NextEntryOffset of entry " << out.size();
        at += next;
    }
    return out;
}

std::vector<std::string> names(const std::vector<entry> &v, bool unicode = true)
{
    std::vector<std::string> out;
    for (const entry &e : v) {
        std::string s;
        for (size_t i = 0; i < e.name.size(); i += unicode ? 2 : 1)
            s += char(e.name[i]);
        out.push_back(s);
    }
    return out;
}

bytes first_params(const std::string &name, bool unicode = true, uint32_t flags = 0)
{
    le p;
    p.u16(0x16).u16(1366).u16(flags).u16(0x0104).u32(0);
    return unicode ? p.utf16(name) : p.ascii(name);
}

bytes next_params(uint32_t sid, uint32_t resume = 0, uint32_t flags = 0)
{
    return le().u16(sid).u16(1366).u16(0x0104).u32(resume).u16(flags).utf16("");
}

struct first_result {
    t2_reply t;
    uint32_t sid = 0, count = 0, eos = 0;
    std::vector<entry> e;
};

first_result find_first(share_rig &g, const std::string &name, uint16_t tid = k_tid)
{
    first_result r;
    r.t = g.query(tid, 1, first_params(name));
    if (r.t.params.size() == 10) {
        r.sid = ld16le(r.t.params.data());
        r.count = ld16le(r.t.params.data() + 2);
        r.eos = ld16le(r.t.params.data() + 4);
        r.e = entries(r.t.data);
    }
    return r;
}

first_result find_next(share_rig &g, uint32_t sid, uint32_t resume = 0, uint32_t flags = 0)
{
    first_result r;
    r.t = g.query(k_tid, 2, next_params(sid, resume, flags));
    if (r.t.params.size() == 8) {
        r.count = ld16le(r.t.params.data());
        r.eos = ld16le(r.t.params.data() + 2);
        r.e = entries(r.t.data);
    }
    return r;
}

int searches_in_use(const share_rig &g)
{
    int n = 0;
    for (const tb1s_search &e : g.s->searches)
        n += e.in_use ? 1 : 0;
    return n;
}

TEST(Find, DotsComeFirstAndCarryTheFolder)
{
    share_rig g;
    g.file("sub/b", "12345");
    g.file("sub/a");
    g.dir("sub/C");
    set_mtime(g.root + "/sub/b", 1710506096);
    tb1s_fstat st{};
    ASSERT_EQ(tb1s_fs_stat((g.root + "/sub").c_str(), &st), 0);
    stat_watch w;
    first_result r = find_first(g, "\\sub\\*");
    ASSERT_EQ(r.t.status, 0u);
    EXPECT_EQ(w.delta(STAT_LISTINGS_SENT), 1);
    EXPECT_EQ(names(r.e), (std::vector<std::string>{".", "..", "C", "a", "b"}));
    EXPECT_EQ(r.count, 5u);
    EXPECT_EQ(r.eos, 1u);
    EXPECT_NE(r.sid, 0u);
    ASSERT_EQ(r.e.size(), 5u);
    for (uint32_t i = 0; i < 5; i++)
        EXPECT_EQ(r.e[i].index, i + 1);
    for (int i : {0, 1}) {  // both show the searched folder itself
        EXPECT_EQ(r.e[i].attr, 0x11u);
        EXPECT_EQ(r.e[i].written, filetime_of(st.mtime));
        EXPECT_EQ(r.e[i].created, filetime_of(st.btime));
        EXPECT_EQ(r.e[i].changed, filetime_of(st.btime));
        EXPECT_EQ(r.e[i].eof, 0u);
    }
    EXPECT_EQ(r.e[2].attr, 0x11u) << "C is a folder";
    EXPECT_EQ(r.e[4].attr, 0x21u);
    EXPECT_EQ(r.e[4].eof, 5u);
    EXPECT_EQ(r.e[4].alloc, 65536u);
    EXPECT_EQ(r.e[4].written, filetime_of(1710506096));
    EXPECT_EQ(r.e[3].alloc, 0u) << "an empty file allocates nothing";
    EXPECT_EQ(searches_in_use(g), 1) << "the end of the listing releases nothing";
}

TEST(Find, PatternsAndExactNames)
{
    share_rig g;
    for (const char *n : {"song.mp3", "x.Mp3", "other.txt", "mp3"})
        g.file(n);
    struct row {
        const char *name;
        uint32_t status;
        std::vector<std::string> names;
    } rows[] = {
        {"*.MP3", 0, {"song.mp3", "x.Mp3"}},
        {"\\*.MP3", 0, {"song.mp3", "x.Mp3"}},
        {"/?.mp3", 0, {"x.Mp3"}},
        {"song.mp3", 0, {"song.mp3"}},
        {"SONG.MP3", 0, {"song.mp3"}},
        {"nope.txt", NT_STATUS_NO_SUCH_FILE, {}},
        {"*.zip", NT_STATUS_NO_SUCH_FILE, {}},  // not SUCCESS: smbclient takes that for a lack of memory
        {"", 0, {".", "..", "mp3", "other.txt", "song.mp3", "x.Mp3"}},
        {"\\", 0, {".", "..", "mp3", "other.txt", "song.mp3", "x.Mp3"}},
    };
    for (const row &r : rows) {
        for (bool nt : {true, false}) {
            std::string what = std::string("'") + r.name + "'" + (nt ? "" : " (DOS statuses)");
            int before = searches_in_use(g);
            smb1_request q = trans2_req(k_tid, 1, first_params(r.name));
            q.flags2 = nt ? 0xC001 : 0x8001;
            t2_reply t = t2_parse(g.serve(q));
            EXPECT_EQ(t.status, r.status) << what << ": 0xC000000F goes in NT form always";
            ASSERT_EQ(t.params.size(), 10u) << what;
            EXPECT_NE(ld16le(t.params.data()), 0) << what;
            EXPECT_EQ(ld16le(t.params.data() + 2), r.names.size()) << what;
            EXPECT_EQ(ld16le(t.params.data() + 4), 1) << what;
            EXPECT_EQ(names(entries(t.data)), r.names) << what;
            EXPECT_EQ(searches_in_use(g), before + 1) << what << ": the search stays allocated";
        }
    }
}

TEST(Find, RepliesOf200AndResumeKeys)
{
    share_rig g;
    for (int i = 0; i < 450; i++) {
        char n[16];
        std::snprintf(n, sizeof n, "f%03d.dat", i);
        g.file(n);
    }
    stat_watch w;
    first_result r = find_first(g, "*.dat");
    ASSERT_EQ(r.t.status, 0u);
    EXPECT_EQ(r.count, 200u);
    EXPECT_EQ(r.eos, 0u);
    ASSERT_EQ(r.e.size(), 200u);
    EXPECT_EQ(names(r.e).front(), "f000.dat");
    EXPECT_EQ(r.e.front().index, 3u) << "after '.' and '..', which do not match";
    uint32_t last = r.e.back().index;
    struct step {
        uint32_t count, eos;
        const char *first;
    } steps[] = {{200, 0, "f200.dat"}, {50, 1, "f400.dat"}, {0, 1, nullptr}, {0, 1, nullptr}};
    for (const step &s : steps) {
        first_result n = find_next(g, r.sid);
        ASSERT_EQ(n.t.status, 0u);
        EXPECT_EQ(n.count, s.count);
        EXPECT_EQ(n.eos, s.eos);
        EXPECT_EQ(n.e.size(), s.count);
        if (s.first) {
            EXPECT_EQ(names(n.e).front(), s.first);
            EXPECT_EQ(n.e.front().index, last + 1) << "no entry lost or repeated";
            last = n.e.back().index;
        }
    }
    EXPECT_EQ(w.delta(STAT_LISTINGS_SENT), 1);

    // Resume keys: the FileIndex of the last kept entry continues after it.
    first_result k = find_next(g, r.sid, 10, 0x0004);
    ASSERT_EQ(k.count, 200u);
    EXPECT_EQ(k.e.front().index, 11u);
    EXPECT_EQ(names(k.e).front(), "f008.dat");
    EXPECT_EQ(find_next(g, r.sid, 0x7F000000u | 10, 0x0004).e.front().index, 11u) << "the top byte is ignored";
    for (uint32_t key : {452u, 453u, 0xFFFFFFu}) {
        first_result end = find_next(g, r.sid, key, 0x0004);
        EXPECT_EQ(end.t.status, 0u) << key;
        EXPECT_EQ(end.count, 0u) << key;
        EXPECT_EQ(end.eos, 1u) << key;
    }
    EXPECT_EQ(find_next(g, r.sid, 451, 0x0004).e.size(), 1u) << "the last entry";
    EXPECT_EQ(find_next(g, r.sid, 10, 0x0002).count, 0u) << "without flag 4 the key is not used";
}

TEST(Find, ShortNames)
{
    share_rig g;
    struct row {
        const char *name, *short_name;
    } rows[] = {
        {"song.mp3", "SONG.MP3"}, {"Long name.mp3", ""}, {".hidden", ""},      {"abcdefghi", ""},
        {"readme", "README"},     {"abcdefgh", "ABCDEFGH"}, {"abcdefgh.", ""}, {"abc.", "ABC"},
        {"a.b.txt", "A.B.TXT"},   {"x.toolong", ""},     {"mIxEd.Tx", "MIXED.TX"},
    };
    for (const row &r : rows)
        g.file(r.name);
    for (bool unicode : {true, false}) {
        smb1_request q = trans2_req(k_tid, 1, first_params("*", unicode));
        q.flags2 = unicode ? 0xC001 : 0x4001;
        t2_reply t = t2_parse(g.serve(q));
        std::vector<entry> e = entries(t.data, unicode);
        std::vector<std::string> n = names(e, unicode);
        for (const row &r : rows) {
            auto it = std::find(n.begin(), n.end(), r.name);
            ASSERT_NE(it, n.end()) << r.name;
            bytes want = unicode ? le().utf16(r.short_name, false) : le().ascii(r.short_name, false);
            EXPECT_EQ(e[size_t(it - n.begin())].short_name, want) << r.name << (unicode ? "" : " (OEM)");
        }
    }
}

TEST(Find, OemRequestGetsUtf8Names)
{
    share_rig g;
    g.file("\xc3\xa9t\xc3\xa9.txt");
    g.file("song.mp3");
    smb1_request q = trans2_req(k_tid, 1, first_params("*.*", false));
    q.flags2 = 0x4001;
    smb1_reply p = g.serve(q);
    EXPECT_EQ(p.flags2 & 0x8000, 0);
    std::vector<entry> e = entries(t2_parse(p).data, false);
    ASSERT_EQ(e.size(), 4u);
    EXPECT_EQ(e[2].name, bytes({'s', 'o', 'n', 'g', '.', 'm', 'p', '3'}));
    EXPECT_EQ(e[2].short_name, bytes({'S', 'O', 'N', 'G', '.', 'M', 'P', '3'}));
    EXPECT_EQ(e[3].name, from_hex("c3a974c3a92e747874"));
    EXPECT_EQ(e[3].short_name, from_hex("c3a954c3a92e545854")) << "bytes as they are, ASCII letters upper-cased";

    // The same in a Unicode reply.
    p = g.serve(trans2_req(k_tid, 1, first_params("*.txt")));
    EXPECT_EQ(p.flags2 & 0x8000, 0x8000);
    e = entries(t2_parse(p).data);
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].name, from_hex("e9007400e9002e00740078007400"));
    EXPECT_EQ(e[0].short_name, from_hex("e9005400e9002e00540058005400"));
}

TEST(Find, LinksInsideAndOutside)
{
    share_rig g;
    g.dir("inner");
    g.file("plain.txt", "abc");
    g.tmp.write("outside/x", "");
    namespace fs = std::filesystem;
    fs::create_directory_symlink("inner", g.root + "/to_dir");
    fs::create_symlink("plain.txt", g.root + "/to_file");
    fs::create_directory_symlink("../outside", g.root + "/to_out");
    first_result r = find_first(g, "*");
    EXPECT_EQ(names(r.e), (std::vector<std::string>{".", "..", "inner", "plain.txt", "to_dir", "to_file"}));
    ASSERT_EQ(r.e.size(), 6u);
    EXPECT_EQ(r.e[4].attr, 0x11u);
    EXPECT_EQ(r.e[5].attr, 0x21u);
    EXPECT_EQ(r.e[5].eof, 3u) << "the target's size";
}

TEST(Find, Refusals)
{
    share_rig g;
    g.file("song.mp3");
    struct row {
        const char *what;
        uint16_t tid, sub;
        bytes params;
        uint32_t nt, dos;
    } rows[] = {
        {"'..' in the folder", k_tid, 1, first_params("\\sub\\..\\*"), NT_STATUS_OBJECT_NAME_INVALID, 0x00060001},
        {"a file as the folder", k_tid, 1, first_params("\\song.mp3\\*"), NT_STATUS_OBJECT_PATH_NOT_FOUND, 0x00060001},
        {"a missing folder", k_tid, 1, first_params("\\none\\*"), NT_STATUS_OBJECT_PATH_NOT_FOUND, 0x00060001},
        {"IPC$", k_ipc_tid, 1, first_params("*"), NT_STATUS_NOT_SUPPORTED, 0x00010002},
        {"nine parameter bytes", k_tid, 1, bytes(9, 0), NT_STATUS_INVALID_PARAMETER, 0x00080001},
        {"level 0x0101", k_tid, 1, le().u16(0x16).u16(10).u16(0).u16(0x0101).u32(0).utf16("*"),
         NT_STATUS_INVALID_INFO_CLASS, 0x00080001},
        {"control byte in the pattern", k_tid, 1, first_params("a\x01*"), NT_STATUS_INVALID_PARAMETER, 0x00080001},
        {"odd UTF-16 name", k_tid, 1, le().u16(0x16).u16(10).u16(0).u16(0x0104).u32(0).raw({'*', 0, '*'}),
         NT_STATUS_INVALID_PARAMETER, 0x00080001},
        {"FIND_NEXT2 of no search", k_tid, 2, next_params(0x0041), NT_STATUS_INVALID_HANDLE, 0x00020001},
        {"FIND_NEXT2 with 11 bytes", k_tid, 2, bytes(11, 0), NT_STATUS_INVALID_PARAMETER, 0x00080001},
        {"FIND_NEXT2 level 0x0105", k_tid, 2, le().u16(1).u16(1).u16(0x0105).u32(0).u16(0), NT_STATUS_INVALID_INFO_CLASS,
         0x00080001},
    };
    for (const row &r : rows) {
        for (bool nt : {true, false}) {
            smb1_request q = trans2_req(r.tid, r.sub, r.params);
            q.flags2 = nt ? 0xC001 : 0x8001;
            smb1_reply p = g.serve(q);
            EXPECT_EQ(p.status, nt ? r.nt : r.dos) << r.what;
            EXPECT_EQ(p.raw.size(), 35u) << r.what;
            EXPECT_EQ(searches_in_use(g), 0) << r.what << ": no search entry left behind";
        }
    }
}

// Two searches open at once each keep their own SID and position.
TEST(Find, InterleavedSearchesKeepTheirOwnIds)
{
    share_rig g;
    const std::vector<std::string> folders = {"one", "two", "three"};
    for (size_t f = 0; f < folders.size(); f++) {
        for (int i = 0; i < 250; i++)
            g.file(folders[f] + "/" + std::to_string((f + 1) * 1000 + size_t(i)));
    }
    std::vector<uint32_t> sids;
    for (const std::string &f : folders)
        sids.push_back(find_first(g, "\\" + f + "\\*").sid);
    for (size_t f = 0; f < folders.size(); f++) {
        first_result n = find_next(g, sids[f]);
        ASSERT_FALSE(n.e.empty()) << folders[f];
        EXPECT_EQ(names(n.e).front(), std::to_string((f + 1) * 1000 + 198)) << folders[f];
    }
}

// The close flags: 0x0002 releases the search with the reply that ends the
// listing, 0x0001 with the reply to this request; without them a search
// stays. A client that sets 0x0002 for every folder (as smbclient does when
// it lists a tree) can list more folders than the table has entries.
TEST(Find, CloseFlags)
{
    share_rig g;
    for (int i = 0; i < 250; i++)
        g.file("big/" + std::to_string(1000 + i));
    g.file("small/a");
    struct row {
        const char *what;
        std::string name;
        uint32_t first_flags, next_flags;
        bool after_first, after_next;  // still in use
    } rows[] = {
        {"no flags", "\\big\\*", 0, 0, true, true},
        {"at end, not reached by the first reply", "\\big\\*", 2, 2, true, false},
        {"at end, FIND_NEXT2 without the flag", "\\big\\*", 2, 0, true, true},
        {"at end, reached by the first reply", "\\small\\*", 2, 0, false, false},
        {"at end, an exact name that misses", "\\small\\b", 2, 0, false, false},
        {"after the request", "\\big\\*", 1, 0, false, false},
        {"after FIND_NEXT2", "\\big\\*", 0, 1, true, false},
    };
    for (const row &r : rows) {
        for (tb1s_search &e : g.s->searches)
            cursor_drop(&e);
        t2_reply t = g.query(k_tid, 1, first_params(r.name, true, r.first_flags));
        ASSERT_EQ(t.params.size(), 10u) << r.what;
        uint32_t sid = ld16le(t.params.data());
        EXPECT_EQ(searches_in_use(g), r.after_first ? 1 : 0) << r.what;
        if (!r.after_first) {
            EXPECT_EQ(find_next(g, sid).t.status, NT_STATUS_INVALID_HANDLE) << r.what;
            continue;
        }
        t2_reply n = g.query(k_tid, 2, next_params(sid, 0, r.next_flags));
        EXPECT_EQ(n.status, 0u) << r.what;
        EXPECT_EQ(ld16le(n.params.data()), 52u) << r.what << ": the rest of the listing";
        EXPECT_EQ(searches_in_use(g), r.after_next ? 1 : 0) << r.what;
    }
    for (int i = 0; i < 300; i++) {
        t2_reply t = g.query(k_tid, 1, first_params("\\small\\*", true, 2));
        ASSERT_EQ(t.status, 0u) << "folder " << i;
    }
    EXPECT_EQ(searches_in_use(g), 0);
}

// The table holds 256 searches; closing one makes room, and its SID is
// gone for FIND_NEXT2.
TEST(Find, SearchTableAndClose)
{
    share_rig g;
    g.file("a");
    std::vector<uint32_t> sids;
    for (int i = 0; i < 256; i++)
        sids.push_back(find_first(g, "*").sid);
    EXPECT_EQ(find_first(g, "*").t.status, NT_STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(g.serve(request(0x34, le().u16(sids[17]))).status, 0u) << "FIND_CLOSE2";
    EXPECT_EQ(find_next(g, sids[17]).t.status, NT_STATUS_INVALID_HANDLE);
    first_result again = find_first(g, "*");
    EXPECT_EQ(again.t.status, 0u);
    EXPECT_EQ(again.e.size(), 3u);
    EXPECT_EQ(find_next(g, again.sid).t.status, 0u);
}

// The listings of a session's searches share a byte budget. A search that
// would overrun it is refused with INSUFFICIENT_RESOURCES and changes
// nothing else: no SID spent, no listing counted; the searches already
// held go on answering, a single-name search still fits, and closing a
// search makes room again.
TEST(Find, SearchMemoryBudget)
{
    share_rig g;
    for (int i = 0; i < 40; i++)
        g.file("file-" + std::to_string(i));
    first_result one = find_first(g, "*");
    ASSERT_EQ(one.t.status, 0u);
    const uint64_t listing = g.s->searches[0].bytes;  // 42 entries with the dots
    EXPECT_EQ(listing, tb1s_vfs_bytes(g.s->searches[0].list, g.s->searches[0].count));
    EXPECT_GE(listing, 42 * sizeof(tb1s_vent));
    g.s->search_budget = 2 * listing + tb1s_vfs_entry_bytes(7);
    first_result two = find_first(g, "*");
    ASSERT_EQ(two.t.status, 0u);

    stat_watch w;
    uint32_t ids = g.s->id_counter;
    first_result refused = find_first(g, "*");
    EXPECT_EQ(refused.t.status, NT_STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(refused.t.framed) << "no TRANSACTION2 body";
    smb1_request dos = trans2_req(k_tid, 1, first_params("*"));
    dos.flags2 = 0x8001;
    EXPECT_EQ(g.serve(dos).status, TB1S_DOS_SRV_REFUSED) << "DOS form";
    EXPECT_EQ(g.s->id_counter, ids) << "no SID spent";
    EXPECT_EQ(searches_in_use(g), 2);
    EXPECT_EQ(w.delta(STAT_LISTINGS_SENT), 0);

    first_result next = find_next(g, one.sid, 40, 0x0004);
    EXPECT_EQ(next.t.status, 0u) << "a search held before the refusal";
    EXPECT_EQ(names(next.e), (std::vector<std::string>{"file-8", "file-9"}));
    first_result named = find_first(g, "file-1");
    EXPECT_EQ(named.t.status, 0u) << "one entry still fits";
    EXPECT_EQ(named.count, 1u);

    EXPECT_EQ(g.serve(request(0x34, le().u16(two.sid))).status, 0u) << "FIND_CLOSE2";
    first_result again = find_first(g, "*");
    EXPECT_EQ(again.t.status, 0u) << "closing a search gave its memory back";
    EXPECT_EQ(again.count, 42u);
    EXPECT_EQ(find_first(g, "*").t.status, NT_STATUS_INSUFFICIENT_RESOURCES);
}

// Entries whose names are long enough that 200 of them overflow the 16-bit
// DataCount and ByteCount: a reply stops before that, and the next one
// carries on from the entry that did not fit.
TEST(Find, LongNamesStayWithinTheSixteenBitCounts)
{
    share_rig g;
    for (int i = 0; i < 230; i++) {
        char n[8];
        std::snprintf(n, sizeof n, "%03d", i);
        g.file(std::string(n) + std::string(200, 'x'));
    }
    first_result r = find_first(g, "*");
    ASSERT_EQ(r.t.status, 0u);
    std::vector<uint32_t> seen;
    smb1_reply raw = g.serve(trans2_req(k_tid, 1, first_params("*")));
    EXPECT_EQ(raw.byte_count, raw.raw.size() - 55) << "ByteCount covers the whole block area";
    for (const entry &e : r.e)
        seen.push_back(e.index);
    EXPECT_LT(r.count, 200u);
    EXPECT_EQ(r.t.data.size(), ld16le(raw.words.data() + 12)) << "DataCount";
    EXPECT_LE(r.t.data.size() + 13, 0xFFFFu);
    EXPECT_EQ(r.eos, 0u);
    for (;;) {
        first_result n = find_next(g, r.sid);
        ASSERT_EQ(n.t.status, 0u);
        for (const entry &e : n.e)
            seen.push_back(e.index);
        if (n.eos)
            break;
        EXPECT_GT(n.count, 0u);
    }
    ASSERT_EQ(seen.size(), 232u);
    for (uint32_t i = 0; i < seen.size(); i++)
        ASSERT_EQ(seen[i], i + 1);
}

}  // namespace
