// NT_CREATE_ANDX on a session record set up by hand: the srvsvc pipe of
// IPC$, the refusals that come before any name is looked at, and the
// handle limit.
#include <gtest/gtest.h>

#include "cfg/stats.h"
#include <filesystem>

#include "files.h"

using namespace tb1s;

using namespace tb1s_test;

namespace {

// The reply words of an open, by byte offset after the WordCount byte.
constexpr size_t W_FID = 5, W_ACTION = 7, W_TIMES = 11, W_ATTRS = 43, W_ALLOC = 47, W_EOF = 55, W_TYPE = 63,
                 W_DIR = 67;

uint32_t u32_at(const bytes &b, size_t off) { return ld32le(b.data() + off); }
uint64_t u64_at(const bytes &b, size_t off) { return ld64le(b.data() + off); }

TEST(Open, SrvsvcPipe)
{
    create_args write_access;
    write_access.access = 0x40000000 | 0x00010000;  // GENERIC_WRITE and DELETE: not examined on IPC$
    create_args folder;
    folder.options = 0x0001;  // not enforced for the pipe
    // What RPC clients send: MAXIMUM_ALLOWED with supersede, or read and
    // write with open-if.
    create_args supersede;
    supersede.access = 0x02000000;
    supersede.disposition = 0;
    create_args open_if;
    open_if.access = 0x0012019F;
    open_if.disposition = 3;
    struct row {
        const char *what;
        smb1_request r;
    } rows[] = {
        {"srvsvc", create_req(1, "srvsvc")},
        {"SRVSVC", create_req(1, "SRVSVC")},
        {"with the leading backslash Windows clients and smbclient send", create_req(1, "\\srvsvc")},
        {"ASCII request", create_req(1, "SrvSvc", {}, 0x4001)},
        {"write access", create_req(1, "srvsvc", write_access)},
        {"directory option", create_req(1, "srvsvc", folder)},
        {"supersede, MAXIMUM_ALLOWED, ASCII", create_req(1, "\\srvsvc", supersede, 0x4001)},
        {"open-if, read and write", create_req(1, "srvsvc", open_if)},
    };
    for (const row &r : rows) {
        logged_rig g;
        ASSERT_EQ(g.connect("IPC$"), 1);
        stat_watch w;
        smb1_reply p = g.serve(r.r);
        ASSERT_EQ(p.status, 0u) << r.what;
        EXPECT_EQ(p.wc, 34) << r.what;
        ASSERT_EQ(p.words.size(), 68u) << r.what;
        EXPECT_EQ(to_hex(bytes(p.words.begin(), p.words.begin() + 5)), "ff00000000") << r.what;
        EXPECT_EQ(p.words[W_FID] | p.words[W_FID + 1] << 8, 0x0011) << r.what;
        EXPECT_EQ(u32_at(p.words, W_ACTION), 1u) << r.what;
        EXPECT_EQ(to_hex(bytes(p.words.begin() + W_TIMES, p.words.begin() + W_ATTRS)), std::string(64, '0'))
            << r.what;
        EXPECT_EQ(u32_at(p.words, W_ATTRS), 0x21u) << r.what;
        EXPECT_EQ(u64_at(p.words, W_ALLOC), 0u) << r.what;
        EXPECT_EQ(u64_at(p.words, W_EOF), 0x1C00u) << r.what;
        EXPECT_EQ(p.words[W_TYPE], 2) << r.what << ": message-mode pipe";
        EXPECT_EQ(p.words[W_DIR], 0) << r.what;
        EXPECT_TRUE(p.has_byte_count && p.byte_count == 0 && p.data.empty()) << r.what;
        EXPECT_EQ(w.delta(STAT_OPENS), 1) << r.what;
        tb1s_file *f = file_find(g.s, 0x0011);
        ASSERT_NE(f, nullptr) << r.what;
        EXPECT_EQ(f->pipe, 1) << r.what;
        EXPECT_EQ(g.s->nfiles, 1) << r.what;
    }
}

// Refusals in the order of the checks: each row fails at its step although
// later steps would fail too. Every refusal counts in open_refused.
TEST(Open, Refusals)
{
    auto with = [](uint32_t access, uint32_t disp, uint32_t opts) {
        create_args a;
        a.access = access;
        a.disposition = disp;
        a.options = opts;
        return a;
    };
    create_args len0;
    len0.name_len = 0;
    create_args len_past;
    len_past.name_len = 20;
    smb1_request wc23 = create_req(1, "srvsvc");
    wc23.wc = 23;
    smb1_request words_short = create_req(1, "srvsvc");
    words_short.words.resize(40);
    words_short.wc = 24;
    words_short.omit_byte_count = true;
    smb1_request bad_utf16 = create_req_raw(1, le().u16(0xDC00).u16('a').u16(0));
    smb1_request odd_utf16 = create_req_raw(1, le().u16('s').u8('r'));

    struct row {
        const char *what;
        smb1_request r;
        uint32_t nt, dos;
    } rows[] = {
        {"WordCount 23", wc23, NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID},
        {"words cut short", words_short, NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID},
        {"NameLength 0", create_req(1, "srvsvc", len0), NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID},
        {"NameLength past the end", create_req(1, "srvsvc", len_past), NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID},
        {"only a terminator", create_req(1, ""), NT_STATUS_OBJECT_NAME_NOT_FOUND, TB1S_DOS_NOT_FOUND},
        {"only a NUL (ASCII)", create_req(1, "", {}, 0x4001), NT_STATUS_OBJECT_NAME_NOT_FOUND, TB1S_DOS_NOT_FOUND},
        {"no tree", create_req(9, "srvsvc", with(0x80000000, 2, 0)), NT_STATUS_BAD_NETWORK_NAME, TB1S_DOS_BAD_NAME},
        {"create", create_req(1, "srvsvc", with(0x80000000, 2, 0)), NT_STATUS_ACCESS_DENIED, TB1S_DOS_SRV_ACCESS},
        {"overwrite", create_req(1, "srvsvc", with(0x80000000, 4, 0)), NT_STATUS_ACCESS_DENIED, TB1S_DOS_SRV_ACCESS},
        {"overwrite or create", create_req(1, "srvsvc", with(0x80000000, 5, 0)), NT_STATUS_ACCESS_DENIED,
         TB1S_DOS_SRV_ACCESS},
        {"write through", create_req(1, "srvsvc", with(0x80000000, 1, 0x0002)), NT_STATUS_ACCESS_DENIED,
         TB1S_DOS_SRV_ACCESS},
        {"delete on close", create_req(1, "srvsvc", with(0, 1, 0x1000)), NT_STATUS_ACCESS_DENIED, TB1S_DOS_SRV_ACCESS},
        {"unpaired surrogate", bad_utf16, NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID},
        {"odd UTF-16 length", odd_utf16, NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID},
        {"two leading backslashes", create_req(1, "\\\\srvsvc"), NT_STATUS_OBJECT_NAME_NOT_FOUND, TB1S_DOS_NOT_FOUND},
        {"pipe path", create_req(1, "\\PIPE\\srvsvc"), NT_STATUS_OBJECT_NAME_NOT_FOUND, TB1S_DOS_NOT_FOUND},
        {"trailing backslash", create_req(1, "srvsvc\\"), NT_STATUS_OBJECT_NAME_NOT_FOUND, TB1S_DOS_NOT_FOUND},
        {"other pipe", create_req(1, "lsarpc"), NT_STATUS_OBJECT_NAME_NOT_FOUND, TB1S_DOS_NOT_FOUND},
    };
    for (row &r : rows) {
        for (bool nt : {true, false}) {
            logged_rig g;
            ASSERT_EQ(g.connect("IPC$"), 1);
            r.r.flags2 = uint16_t(nt ? r.r.flags2 | 0x4000 : r.r.flags2 & ~0x4000);
            std::string what = std::string(r.what) + (nt ? " (NT status)" : " (DOS error)");
            stat_watch w;
            smb1_reply p = g.serve(r.r);
            EXPECT_EQ(p.status, nt ? r.nt : r.dos) << what;
            EXPECT_EQ(p.raw.size(), 35u) << what;
            EXPECT_EQ(w.delta(STAT_OPEN_REFUSED), 1) << what;
            EXPECT_EQ(w.delta(STAT_OPENS), 0) << what;
            EXPECT_EQ(w.delta(STAT_PATH_REFUSED), 0) << what;
            EXPECT_EQ(g.s->nfiles, 0) << what;
        }
    }
}

TEST(Open, AlignmentByte)
{
    logged_rig g;
    ASSERT_EQ(g.connect("IPC$"), 1);
    create_args none;
    none.align = false;
    EXPECT_EQ(g.serve(create_req(1, "srvsvc", none)).status, 0u) << "no alignment byte";
    EXPECT_EQ(g.serve(create_req(1, "srvsvc")).status, 0u) << "one zero byte, then the name";

    // The alignment byte is taken only when the block holds NameLength bytes after it.
    smb1_request r = create_req(1, "srvsvc");
    r.data.pop_back();
    EXPECT_EQ(g.serve(r).status, NT_STATUS_INVALID_PARAMETER);

    // A name without a terminator, and one whose NameLength leaves it out.
    EXPECT_EQ(g.serve(create_req_raw(1, le().utf16("srvsvc", false))).status, 0u);
    create_args cut;
    cut.name_len = 12;
    EXPECT_EQ(g.serve(create_req(1, "srvsvc", cut)).status, 0u);
}

TEST(Open, FidsFollowTheSessionCounterAndMaxHandlesLimits)
{
    logged_rig g;
    g.s->opts.max_handles = 3;
    ASSERT_EQ(g.connect("IPC$"), 1);
    EXPECT_EQ(g.open(1, "srvsvc"), 0x0011);
    EXPECT_EQ(g.open(1, "srvsvc"), 0x0021);
    EXPECT_EQ(g.serve(create_req(1, "nope")).status, NT_STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(g.open(1, "srvsvc"), 0x0031) << "a refused open takes no FID";
    stat_watch w;
    smb1_reply p = g.serve(create_req(1, "srvsvc"));
    EXPECT_EQ(p.status, NT_STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(w.delta(STAT_OPEN_REFUSED), 1);
    EXPECT_EQ(g.s->nfiles, 3);

    smb1_request close;
    close.cmd = 0x04;
    close.words = le().u16(0x0021).u32(0);
    ASSERT_EQ(g.serve(close).status, 0u);
    EXPECT_EQ(g.open(1, "srvsvc"), 0x0041);
    EXPECT_EQ(g.s->files->fid, 0x0041) << "the newest open is at the head of the list";
}

}  // namespace

namespace {

// A share "docs" over a folder with a file, a sub-folder, a file whose name
// begins with U+4E00, and a link that leads out of the share; a share "one"
// over a single file.
struct share_rig : logged_rig {
    temp_dir outside, root;
    share_set shares;
    uint16_t tid = 0;
    share_rig()
    {
        root.write("a.txt", "hello");
        root.write("sub/b.bin", std::string(70000, 'b'));
        root.write("\xE4\xB8\x80.txt", "one");
        std::filesystem::create_symlink(outside.write("secret", "s"), root.path + "/out");
        EXPECT_EQ(shares.add("docs", root.path), 0);
        EXPECT_EQ(shares.add("one", root.path + "/a.txt"), 0);
        tid = connect("\\\\HOST\\docs");
        EXPECT_NE(tid, 0);
    }
};

tb1s_fstat host_stat(const std::string &path)
{
    tb1s_fstat st{};
    EXPECT_EQ(tb1s_fs_stat(path.c_str(), &st), 0) << path;
    return st;
}

TEST(Open, FilesAndFoldersOfAShare)
{
    share_rig g;
    uint16_t one = g.connect("one");
    ASSERT_NE(one, 0);
    struct row {
        const char *what;
        uint16_t tid;
        smb1_request r;
        std::string host;  // the object opened
        uint32_t attrs;
        uint64_t size, alloc;
    } rows[] = {
        {"file", g.tid, create_req(g.tid, "a.txt"), g.root.path + "/a.txt", 0x21, 5, 65536},
        {"file in a folder, either separator", g.tid, create_req(g.tid, "\\sub/b.bin"), g.root.path + "/sub/b.bin",
         0x21, 70000, 131072},
        {"folder", g.tid, create_req(g.tid, "sub"), g.root.path + "/sub", 0x11, 0, 0},
        {"'\\' is the share's root", g.tid, create_req(g.tid, "\\"), g.root.path, 0x11, 0, 0},
        {"ASCII request", g.tid, create_req(g.tid, "sub\\b.bin", {}, 0x4001), g.root.path + "/sub/b.bin", 0x21,
         70000, 131072},
        {"name beginning with U+4E00", g.tid, create_req_raw(g.tid, le().u16(0x4E00).utf16(".txt")),
         g.root.path + "/\xE4\xB8\x80.txt", 0x21, 3, 65536},
        {"root of a file share", one, create_req(one, "\\"), g.root.path + "/a.txt", 0x21, 5, 65536},
    };
    for (const row &r : rows) {
        stat_watch w;
        smb1_reply p = g.serve(r.r);
        ASSERT_EQ(p.status, 0u) << r.what;
        ASSERT_EQ(p.words.size(), 68u) << r.what;
        tb1s_fstat st = host_stat(r.host);
        if (r.attrs == 0x11) {
            EXPECT_EQ(u64_at(p.words, W_ALLOC), (st.size + 65535) / 65536 * 65536) << r.what;
            EXPECT_EQ(u64_at(p.words, W_EOF), st.size) << r.what;
        } else {
            EXPECT_EQ(u64_at(p.words, W_ALLOC), r.alloc) << r.what;
            EXPECT_EQ(u64_at(p.words, W_EOF), r.size) << r.what;
        }
        EXPECT_EQ(u32_at(p.words, W_ATTRS), r.attrs) << r.what;
        EXPECT_EQ(u64_at(p.words, W_TIMES), tb1s_filetime(st.btime)) << r.what << ": creation time";
        EXPECT_EQ(u64_at(p.words, W_TIMES + 8), tb1s_filetime(st.atime)) << r.what << ": access time";
        EXPECT_EQ(u64_at(p.words, W_TIMES + 16), tb1s_filetime(st.mtime)) << r.what << ": write time";
        EXPECT_EQ(u64_at(p.words, W_TIMES + 24), tb1s_filetime(st.btime)) << r.what << ": change time";
        EXPECT_NE(u64_at(p.words, W_TIMES + 16), 0u) << r.what;
        EXPECT_EQ(p.words[W_TYPE], 0) << r.what;
        EXPECT_EQ(p.words[W_DIR], 0) << r.what << ": a folder shows in the attributes only";
        EXPECT_EQ(w.delta(STAT_OPENS), 1) << r.what;

        uint16_t fid = uint16_t(p.words[W_FID] | p.words[W_FID + 1] << 8);
        tb1s_file *f = file_find(g.s, fid);
        ASSERT_NE(f, nullptr) << r.what;
        char canon[2050];
        ASSERT_EQ(tb1s_fs_realpath(r.host.c_str(), canon, sizeof canon), 0);
        EXPECT_STREQ(f->path, canon) << r.what;
        EXPECT_EQ(f->dir, r.attrs == 0x11 ? 1 : 0) << r.what;
        EXPECT_EQ(f->pipe, 0) << r.what;
        EXPECT_EQ(f->st.ino, st.ino) << r.what;
        EXPECT_EQ(f->st.size, st.size) << r.what;
    }
}

TEST(Open, AccessMasksDispositionsAndOptionsOnAShare)
{
    share_rig g;
    struct row {
        const char *name;
        uint32_t access, disposition, options;
        uint32_t status;
    } rows[] = {
        {"a.txt", 0x80000000, 1, 0, 0},                    // GENERIC_READ
        {"a.txt", 0x001200A9, 1, 0, 0},                    // every read right
        {"a.txt", 0x00000001, 1, 0x0040, 0},               // read data; non-directory file
        {"a.txt", 0, 1, 0x0020, 0},                        // no rights at all; other options ignored
        {"sub", 0x80000000, 1, 0x0001, 0},                 // a folder asked for as a folder
        {"sub", 0x80000000, 1, 0x0040, 0},                 // non-directory is not enforced
        {"a.txt", 0x40000000, 1, 0, NT_STATUS_ACCESS_DENIED},     // GENERIC_WRITE
        {"a.txt", 0xC0000000, 1, 0, NT_STATUS_ACCESS_DENIED},     // read and write
        {"a.txt", 0x02000000, 1, 0, NT_STATUS_ACCESS_DENIED},     // MAXIMUM_ALLOWED
        {"a.txt", 0x00010000, 1, 0, NT_STATUS_ACCESS_DENIED},     // DELETE
        {"a.txt", 0x10000000, 1, 0, NT_STATUS_ACCESS_DENIED},     // GENERIC_ALL
        {"a.txt", 0x20000000, 1, 0, NT_STATUS_ACCESS_DENIED},     // GENERIC_EXECUTE
        {"a.txt", 0x00000002, 1, 0, NT_STATUS_ACCESS_DENIED},     // write data
        {"a.txt", 0x00000100, 1, 0, NT_STATUS_ACCESS_DENIED},     // write attributes
        {"a.txt", 0x80000000, 3, 0, NT_STATUS_ACCESS_DENIED},     // open or create, though the file exists
        {"a.txt", 0x80000000, 0, 0, NT_STATUS_ACCESS_DENIED},     // supersede
        {"a.txt", 0x80000000, 5, 0, NT_STATUS_ACCESS_DENIED},     // overwrite or create
        {"a.txt", 0x80000000, 1, 0x0002, NT_STATUS_ACCESS_DENIED},  // write through
        {"a.txt", 0x80000000, 1, 0x1000, NT_STATUS_ACCESS_DENIED},  // delete on close
        {"a.txt", 0x80000000, 1, 0x0001, NT_STATUS_NOT_A_DIRECTORY},
        {"nothing.txt", 0x40000000, 1, 0, NT_STATUS_ACCESS_DENIED},  // refused before the name is looked at
        {"nothing.txt", 0x80000000, 1, 0x0001, NT_STATUS_OBJECT_NAME_NOT_FOUND},
    };
    for (const row &r : rows) {
        create_args a;
        a.access = r.access;
        a.disposition = r.disposition;
        a.options = r.options;
        stat_watch w;
        smb1_reply p = g.serve(create_req(g.tid, r.name, a));
        std::string what = std::string(r.name) + " access " + std::to_string(r.access) + " disposition " +
                           std::to_string(r.disposition) + " options " + std::to_string(r.options);
        EXPECT_EQ(p.status, r.status) << what;
        EXPECT_EQ(w.delta(STAT_OPEN_REFUSED), r.status ? 1 : 0) << what;
        EXPECT_EQ(w.delta(STAT_OPENS), r.status ? 0 : 1) << what;
        // A refusal for asking to change the disk is reported as such,
        // with the share and the name; no other refusal is.
        std::vector<event_rec> ev = g.c.world->events_of(tb1s_event_kind::write_refused);
        g.c.world->recorded.clear();
        if (r.status != NT_STATUS_ACCESS_DENIED) {
            EXPECT_TRUE(ev.empty()) << what;
            continue;
        }
        ASSERT_EQ(ev.size(), 1u) << what;
        EXPECT_EQ(ev[0].command, "NT_CREATE_ANDX") << what;
        EXPECT_EQ(ev[0].share, "docs") << what;
        EXPECT_EQ(ev[0].path, r.name) << what;
        EXPECT_EQ(ev[0].peer, "127.0.0.1") << what;
    }
}

// Commands that would change the disk are reported with their name and the
// share of their tree ("" without one).
TEST(Open, RefusedChangesAreReported)
{
    share_rig g;
    smb1_request write;
    write.cmd = 0x2F;  // WRITE_ANDX
    write.tid = g.tid;
    write.words = bytes(24, 0);
    smb1_request mkdir_no_tree;
    mkdir_no_tree.cmd = 0x00;  // CREATE_DIRECTORY
    mkdir_no_tree.tid = 0x7777;
    smb1_request bad_name = create_req_raw(g.tid, le().u16(0xDC00).u16(0), [] {
        create_args a;
        a.disposition = 2;
        return a;
    }());
    struct row {
        const char *what;
        smb1_request r;
        const char *command, *share, *path;
    } rows[] = {
        {"WRITE_ANDX on the tree", write, "WRITE_ANDX", "docs", ""},
        {"CREATE_DIRECTORY with no tree", mkdir_no_tree, "CREATE_DIRECTORY", "", ""},
        {"create with a name that does not convert", bad_name, "NT_CREATE_ANDX", "docs", ""},
    };
    for (const row &r : rows) {
        g.c.world->recorded.clear();
        EXPECT_EQ(g.serve(r.r).status, NT_STATUS_ACCESS_DENIED) << r.what;
        std::vector<event_rec> ev = g.c.world->events();
        ASSERT_EQ(ev.size(), 1u) << r.what;
        EXPECT_EQ(ev[0].kind, tb1s_event_kind::write_refused) << r.what;
        EXPECT_EQ(ev[0].command, r.command) << r.what;
        EXPECT_EQ(ev[0].share, r.share) << r.what;
        EXPECT_EQ(ev[0].path, r.path) << r.what;
    }
}

TEST(Open, NamesRefusedOrNotFoundOnAShare)
{
    share_rig g;
    struct row {
        const char *name;
        uint32_t nt, dos;
        int64_t path_refused;
    } rows[] = {
        {"..", NT_STATUS_OBJECT_NAME_INVALID, TB1S_DOS_BAD_NAME, 1},
        {"..\\a.txt", NT_STATUS_OBJECT_NAME_INVALID, TB1S_DOS_BAD_NAME, 1},
        {"sub\\..\\a.txt", NT_STATUS_OBJECT_NAME_INVALID, TB1S_DOS_BAD_NAME, 1},
        {"sub/../../x", NT_STATUS_OBJECT_NAME_INVALID, TB1S_DOS_BAD_NAME, 1},
        {"a.txt.", NT_STATUS_OBJECT_NAME_INVALID, TB1S_DOS_BAD_NAME, 1},
        {"nothing.txt", NT_STATUS_OBJECT_NAME_NOT_FOUND, TB1S_DOS_NOT_FOUND, 0},
        {"sub\\nothing", NT_STATUS_OBJECT_NAME_NOT_FOUND, TB1S_DOS_NOT_FOUND, 0},
        {"a.txt\\x", NT_STATUS_OBJECT_NAME_NOT_FOUND, TB1S_DOS_NOT_FOUND, 0},
        {"out", NT_STATUS_OBJECT_NAME_NOT_FOUND, TB1S_DOS_NOT_FOUND, 1},  // the link leads out of the share
    };
    for (const row &r : rows) {
        for (bool nt : {true, false}) {
            smb1_request q = create_req(g.tid, r.name, {}, nt ? 0xC001 : 0x8001);
            std::string what = std::string(r.name) + (nt ? " (NT status)" : " (DOS error)");
            stat_watch w;
            smb1_reply p = g.serve(q);
            EXPECT_EQ(p.status, nt ? r.nt : r.dos) << what;
            EXPECT_EQ(p.raw.size(), 35u) << what;
            EXPECT_EQ(w.delta(STAT_PATH_REFUSED), r.path_refused) << what;
            EXPECT_EQ(w.delta(STAT_OPEN_REFUSED), 1) << what;
        }
    }
    EXPECT_EQ(g.s->nfiles, 0);
}

// A removed share leaves its trees connected; opens on them fail.
TEST(Open, ShareRemovedAfterTheTreeConnect)
{
    share_rig g;
    ASSERT_EQ(tb1s_share_remove("docs"), 0);
    ASSERT_NE(tree_find(g.s, g.tid), nullptr);
    struct row {
        const char *name;
        uint32_t nt, dos;
    } rows[] = {
        {"\\", NT_STATUS_BAD_NETWORK_NAME, TB1S_DOS_NOT_FOUND},
        {"a.txt", NT_STATUS_OBJECT_NAME_NOT_FOUND, TB1S_DOS_NOT_FOUND},
    };
    for (const row &r : rows) {
        for (bool nt : {true, false}) {
            smb1_reply p = g.serve(create_req(g.tid, r.name, {}, nt ? 0xC001 : 0x8001));
            EXPECT_EQ(p.status, nt ? r.nt : r.dos) << r.name;
        }
    }
}

}  // namespace
