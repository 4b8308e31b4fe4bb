#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cfg/opts.h"
#include "cfg/shares.h"
#include "cfg/stats.h"
#include "support.h"
#include "tbsmb1s.h"
#include "util/buf.h"
#include "util/vpath.h"
#include "vfs/vfs.h"

using namespace tb1s;

namespace {

namespace fs = std::filesystem;
using tb1s_test::temp_dir;

// A share "media" over <tmp>/media with every kind of child that resolution
// and listing must tell apart, and neighbours outside it:
//
//   media/a/b/deep.txt      nested folders
//   media/file.txt          5 bytes
//   media/Zeta, media/_x    order of bytes: 'Z' < '_' < 'a'
//   media/\xc3\xa9t\xc3\xa9 'été', after every ASCII name
//   media/link_file   -> file.txt               link to a file inside
//   media/link_dir    -> a                      link to a folder inside
//   media/link_out    -> ../outside             link to a folder outside
//   media/chain       -> hop -> ../outside      leaves in its second hop
//   media/hop         -> ../outside
//   media/sib         -> ../media2              sibling whose name extends the root's
//   media/abs_in      -> <tmp>/media/a          absolute link back inside
//   media/dangling    -> nowhere
//   media/fifo                                  named pipe
//   media/line\nfeed, media/cr\r                names with line breaks
//   media/\xff\xfe                              name that is not UTF-8
//   outside/secret.txt, media2/secret.txt
class Vfs : public ::testing::Test {
  protected:
    void SetUp() override
    {
        base = fs::canonical(tmp.path).string();
        root = base + "/media";
        tmp.write("media/a/b/deep.txt", "deep");
        tmp.write("media/file.txt", "hello");
        tmp.write("media/Zeta", "");
        tmp.mkdir("media/_x");
        tmp.write("media/\xc3\xa9t\xc3\xa9", "");
        tmp.write("outside/secret.txt", "secret");
        tmp.write("media2/secret.txt", "secret");
        fs::create_symlink("file.txt", root + "/link_file");
        fs::create_directory_symlink("a", root + "/link_dir");
        fs::create_directory_symlink("../outside", root + "/link_out");
        fs::create_directory_symlink("../outside", root + "/hop");
        fs::create_directory_symlink("hop", root + "/chain");
        fs::create_directory_symlink("../media2", root + "/sib");
        fs::create_directory_symlink(root + "/a", root + "/abs_in");
        fs::create_symlink("nowhere", root + "/dangling");
        tmp.fifo("media/fifo");
        tmp.write("media/line\nfeed", "");
        tmp.write("media/cr\r", "");
        tmp.write("media/\xff\xfe", "");
        ASSERT_EQ(tbsmb1s_add_share("media", root.c_str()), 0) << tbsmb1s_last_error();
    }
    void TearDown() override
    {
        std::lock_guard<tb1s_lock> hold(g_lock);
        std::memset(g_shares, 0, sizeof g_shares);
        g_nshares = 0;
    }

    temp_dir tmp;
    std::string base, root;
};

int64_t refused() { return tb1s_stat_get(STAT_PATH_REFUSED); }

struct resolve_case {
    const char *rel;
    int32_t kind;       // VFS_*, or VFS_NONE for a failure
    const char *where;  // expected canonical path below base, for a success
    int32_t counted;    // rise of path_refused
};

TEST_F(Vfs, ResolveInsideAndEscapes)
{
    const resolve_case cases[] = {
        {"", VFS_DIR, "/media", 0},
        {"file.txt", VFS_FILE, "/media/file.txt", 0},
        {"a/b/deep.txt", VFS_FILE, "/media/a/b/deep.txt", 0},
        {"link_file", VFS_FILE, "/media/file.txt", 0},
        {"link_dir/b", VFS_DIR, "/media/a/b", 0},
        {"abs_in/b/deep.txt", VFS_FILE, "/media/a/b/deep.txt", 0},
        // Links that leave the share, at the first hop or the second.
        {"link_out", VFS_NONE, nullptr, 1},
        {"link_out/secret.txt", VFS_NONE, nullptr, 1},
        {"chain", VFS_NONE, nullptr, 1},
        {"chain/secret.txt", VFS_NONE, nullptr, 1},
        {"sib/secret.txt", VFS_NONE, nullptr, 1},
        // Callers pass only validated paths; should ".." slip through, the
        // containment test still holds.
        {"../outside/secret.txt", VFS_NONE, nullptr, 1},
        {"../media2/secret.txt", VFS_NONE, nullptr, 1},
        {"a/../../outside", VFS_NONE, nullptr, 1},
        // Not there, or not a file or folder: refused but not counted.
        {"missing", VFS_NONE, nullptr, 0},
        {"link_out/missing", VFS_NONE, nullptr, 0},
        {"dangling", VFS_NONE, nullptr, 0},
        {"fifo", VFS_NONE, nullptr, 0},
        {"file.txt/x", VFS_NONE, nullptr, 0},
    };
    for (const resolve_case &c : cases) {
        tb1s_vres r;
        int64_t before = refused();
        tb1s_set_error("untouched");
        int rc = tb1s_vfs_resolve("MEDIA", c.rel, &r);
        EXPECT_EQ(refused() - before, c.counted) << c.rel;
        if (c.kind == VFS_NONE) {
            EXPECT_EQ(rc, -1) << c.rel;
            EXPECT_STREQ(tb1s_error(), "The file cannot be found.") << c.rel;
            EXPECT_EQ(r.kind, VFS_NONE) << c.rel;
            EXPECT_STREQ(r.path, "") << c.rel;
            continue;
        }
        ASSERT_EQ(rc, 0) << c.rel;
        EXPECT_STREQ(tb1s_error(), "untouched") << c.rel;
        EXPECT_EQ(r.kind, c.kind) << c.rel;
        EXPECT_EQ(std::string(r.path), base + c.where) << c.rel;
        EXPECT_STREQ(r.share.name, "media") << c.rel;
        EXPECT_EQ(r.st.kind, c.kind == VFS_DIR ? FS_KIND_DIR : FS_KIND_FILE) << c.rel;
    }
    tb1s_vres r;
    ASSERT_EQ(tb1s_vfs_resolve("media", nullptr, &r), 0);
    EXPECT_EQ(std::string(r.path), root);
    ASSERT_EQ(tb1s_vfs_resolve("media", "file.txt", &r), 0);
    EXPECT_EQ(r.st.size, 5u);
}

struct client_case {
    const char *name;   // as a client sends it, either separator
    int32_t vpath;      // result of validation
    int32_t kind;       // VFS_* after resolution, VFS_NONE for a failure
    int32_t counted;    // rise of path_refused
};

// The road of every client name: validation, then resolution.
TEST_F(Vfs, ClientNamesThroughBothGates)
{
    const client_case cases[] = {
        {"\\a\\b\\deep.txt", 0, VFS_FILE, 0},
        {"/link_dir\\b/", 0, VFS_DIR, 0},
        {"\\link_out\\secret.txt", 0, VFS_NONE, 1},
        {"chain/secret.txt", 0, VFS_NONE, 1},
        {"sib\\secret.txt", 0, VFS_NONE, 1},
        {"..\\outside\\secret.txt", -7, VFS_NONE, 0},
        {"a\\..\\..\\outside", -7, VFS_NONE, 0},
        {"a/./b", -7, VFS_NONE, 0},
        {"...", -7, VFS_NONE, 0},
        {"file.txt.", -7, VFS_NONE, 0},
        {"file.txt ", -7, VFS_NONE, 0},
        {"line\nfeed", -7, VFS_NONE, 0},
        // Passes validation, but a name that is not UTF-8 names nothing.
        {"\xff\xfe", 0, VFS_NONE, 0},
    };
    for (const client_case &c : cases) {
        char rel[1026];
        ASSERT_EQ(tb1s_vpath(c.name, rel, sizeof rel), c.vpath) << c.name;
        if (c.vpath != 0)
            continue;
        tb1s_vres r;
        int64_t before = refused();
        EXPECT_EQ(tb1s_vfs_resolve("media", rel, &r), c.kind == VFS_NONE ? -1 : 0) << c.name;
        EXPECT_EQ(r.kind, c.kind) << c.name;
        EXPECT_EQ(refused() - before, c.counted) << c.name;
    }
}

// Names in another case resolve as on a Windows host: the exact name first,
// else the case-insensitive match of each component, the first in byte order
// when there are several; containment is checked as for any other path.
TEST_F(Vfs, NamesInAnyCase)
{
    tmp.write("media/dup/ABC", "");
    tmp.write("media/dup/Abc", "");
    tmp.write("media/dup/abc", "");
    tmp.write("media/caf\xc3\xa9/\xce\xa3\xce\xbf\xcf\x86\xce\xaf\xce\xb1.txt", "");  // café/Σοφία.txt
    const resolve_case cases[] = {
        {"FILE.TXT", VFS_FILE, "/media/file.txt", 0},
        {"A/B/DEEP.TXT", VFS_FILE, "/media/a/b/deep.txt", 0},
        {"a/B/deep.txt", VFS_FILE, "/media/a/b/deep.txt", 0},
        {"zeta", VFS_FILE, "/media/Zeta", 0},
        {"\xc3\x89T\xc3\x89", VFS_FILE, "/media/\xc3\xa9t\xc3\xa9", 0},  // ÉTÉ
        {"CAF\xc3\x89/\xcf\x83\xce\x9f\xce\xa6\xce\x8a\xce\x91.TXT", VFS_FILE,
         "/media/caf\xc3\xa9/\xce\xa3\xce\xbf\xcf\x86\xce\xaf\xce\xb1.txt", 0},  // CAFÉ/σΟΦΊΑ.TXT
        {"dup/abc", VFS_FILE, "/media/dup/abc", 0},  // each exact name wins
        {"dup/Abc", VFS_FILE, "/media/dup/Abc", 0},
        {"DUP/ABC", VFS_FILE, "/media/dup/ABC", 0},
        {"dup/aBC", VFS_FILE, "/media/dup/ABC", 0},  // else the first in byte order
        {"LINK_FILE", VFS_FILE, "/media/file.txt", 0},
        {"Link_Dir/B", VFS_DIR, "/media/a/b", 0},
        {"LINK_OUT", VFS_NONE, nullptr, 1},
        {"LINK_OUT/SECRET.TXT", VFS_NONE, nullptr, 1},
        {"Chain/secret.txt", VFS_NONE, nullptr, 1},
        {"MISSING", VFS_NONE, nullptr, 0},
        {"MISSING/FILE.TXT", VFS_NONE, nullptr, 0},
        {"FILE.TXT/X", VFS_NONE, nullptr, 0},
        {"ete", VFS_NONE, nullptr, 0},  // an accent is no case
        {"FIFO", VFS_NONE, nullptr, 0},
    };
    for (const resolve_case &c : cases) {
        tb1s_vres r;
        int64_t before = refused();
        int rc = tb1s_vfs_resolve("media", c.rel, &r);
        EXPECT_EQ(refused() - before, c.counted) << c.rel;
        EXPECT_EQ(r.kind, c.kind) << c.rel;
        if (c.kind == VFS_NONE) {
            EXPECT_EQ(rc, -1) << c.rel;
            continue;
        }
        ASSERT_EQ(rc, 0) << c.rel;
        EXPECT_EQ(std::string(r.path), base + c.where) << c.rel;
    }
}

TEST_F(Vfs, MapNamesChoosesHostNamesOnly)
{
    tmp.write("media/dup/ABC", "");
    tmp.write("media/dup/abc", "");
    char out[2050];
    ASSERT_TRUE(map_names(root.c_str(), "DUP/aBc", out, sizeof out));
    EXPECT_EQ(std::string(out), root + "/dup/ABC");
    ASSERT_TRUE(map_names(root.c_str(), "LINK_OUT/SECRET.TXT", out, sizeof out));
    EXPECT_EQ(std::string(out), root + "/link_out/secret.txt") << "links are the caller's business";
    ASSERT_TRUE(map_names(root.c_str(), "A/NONE/B", out, sizeof out));
    EXPECT_EQ(std::string(out), root + "/a/NONE/B") << "what matches nothing stays as given";
    ASSERT_TRUE(map_names(root.c_str(), "", out, sizeof out));
    EXPECT_EQ(std::string(out), root);
    ASSERT_TRUE(map_names("/", "", out, sizeof out));
    EXPECT_STREQ(out, "/");
    const std::string rel = base.substr(1) + "/MEDIA/FILE.TXT";
    ASSERT_TRUE(map_names("/", rel.c_str(), out, sizeof out));
    EXPECT_EQ(std::string(out), root + "/file.txt") << "below a root that ends in the separator";
    // Too long for the area, found in its spelling or not.
    EXPECT_FALSE(map_names(root.c_str(), "file.txt", out, root.size() + 9));
    EXPECT_TRUE(map_names(root.c_str(), "file.txt", out, root.size() + 10));
    EXPECT_FALSE(map_names(root.c_str(), "dup/abc", out, root.size() + 8));
}

TEST(PickName, ExactNameElseFirstFoldedMatch)
{
    char n0[] = "ABC", n1[] = "Abc", n2[] = "abc", n3[] = "b", n4[] = "\xc3\xa9";
    tb1s_vent v[5]{};
    v[0].name = n0;
    v[1].name = n1;
    v[2].name = n2;
    v[3].name = n3;
    v[4].name = n4;
    EXPECT_EQ(pick_name(v, 5, "abc"), 2);
    EXPECT_EQ(pick_name(v, 5, "Abc"), 1);
    EXPECT_EQ(pick_name(v, 5, "aBc"), 0);
    EXPECT_EQ(pick_name(v, 5, "B"), 3);
    EXPECT_EQ(pick_name(v, 5, "\xc3\x89"), 4);
    EXPECT_EQ(pick_name(v, 5, "c"), -1);
    EXPECT_EQ(pick_name(v, 0, "abc"), -1);
}

TEST_F(Vfs, ResolveShares)
{
    tb1s_vres r;
    ASSERT_EQ(tb1s_vfs_resolve("ipc$", "anything/at/all", &r), 0);
    EXPECT_EQ(r.kind, VFS_IPC);
    EXPECT_STREQ(r.path, "");
    EXPECT_STREQ(r.share.name, "IPC$");

    EXPECT_EQ(tb1s_vfs_resolve("nope", "", &r), -1);
    EXPECT_STREQ(tb1s_error(), "The file cannot be found.");
    EXPECT_EQ(tb1s_vfs_resolve(nullptr, "", &r), -1);

    // A removed share is gone for the next request.
    ASSERT_EQ(tbsmb1s_remove_share("media"), 0);
    EXPECT_EQ(tb1s_vfs_resolve("media", "file.txt", &r), -1);

    // A share rooted at the volume root holds every path.
    ASSERT_EQ(tbsmb1s_add_share("all", "/"), 0);
    const std::string rel = base.substr(1) + "/outside/secret.txt";
    ASSERT_EQ(tb1s_vfs_resolve("all", rel.c_str(), &r), 0);
    EXPECT_EQ(std::string(r.path), base + "/outside/secret.txt");
    ASSERT_EQ(tb1s_vfs_resolve("all", "", &r), 0);
    EXPECT_STREQ(r.path, "/");
}

TEST_F(Vfs, SingleFileShare)
{
    const std::string song = tmp.write("single/song.mp3", "0123456789");
    ASSERT_EQ(tbsmb1s_add_share("song", song.c_str()), 0);
    tb1s_vres r;
    ASSERT_EQ(tb1s_vfs_resolve("song", "", &r), 0);
    EXPECT_EQ(r.kind, VFS_FILE);
    EXPECT_EQ(std::string(r.path), base + "/single/song.mp3");
    EXPECT_EQ(r.st.size, 10u);
    ASSERT_EQ(tb1s_vfs_resolve("song", nullptr, &r), 0);
    EXPECT_EQ(tb1s_vfs_resolve("song", "x", &r), -1);
    EXPECT_EQ(tb1s_vfs_resolve("song", "song.mp3", &r), -1);

    // The file replaced by a link to a file outside: refused and counted.
    fs::remove(song);
    fs::create_symlink(base + "/outside/secret.txt", song);
    int64_t before = refused();
    EXPECT_EQ(tb1s_vfs_resolve("song", "", &r), -1);
    EXPECT_EQ(refused() - before, 1);
}

TEST_F(Vfs, RootReplacedByLinkIsRefused)
{
    fs::rename(root, base + "/moved");
    fs::create_directory_symlink(base + "/outside", root);
    tb1s_vres r;
    int64_t before = refused();
    EXPECT_EQ(tb1s_vfs_resolve("media", "secret.txt", &r), -1);
    EXPECT_EQ(tb1s_vfs_resolve("media", "", &r), -1);
    EXPECT_EQ(refused() - before, 2);
}

TEST_F(Vfs, LongJoinedPathFails)
{
    // Longer than the joined-path area: refused before anything is copied.
    tb1s_vres r;
    std::string huge(2100, 'x');
    EXPECT_EQ(tb1s_vfs_resolve("media", huge.c_str(), &r), -1);
    EXPECT_STREQ(tb1s_error(), "The file cannot be found.");
}

struct inside_case {
    const char *root;
    int32_t is_file;
    const char *path;
    int want;
};

TEST(Inside, PrefixRules)
{
    const inside_case cases[] = {
        {"/x/media", 0, "/x/media", 1},
        {"/x/media", 0, "/x/media/a", 1},
        {"/x/media", 0, "/x/media/a/b", 1},
        {"/x/media", 0, "/x/media2", 0},
        {"/x/media", 0, "/x/media2/a", 0},
        {"/x/media", 0, "/x/medi", 0},
        {"/x/media", 0, "/x", 0},
        {"/x/media", 0, "/", 0},
        {"/x/media", 0, "/X/media/a", 0},
        {"/", 0, "/", 1},
        {"/", 0, "/etc/passwd", 1},
        {"/x/f.txt", 1, "/x/f.txt", 1},
        {"/x/f.txt", 1, "/x/f.txt/a", 0},
        {"/x/f.txt", 1, "/x/f.txt2", 0},
        {"", 0, "/anything", 1},
    };
    // Written with '/', checked with the platform's separator.
    auto native = [](std::string p) {
        std::replace(p.begin(), p.end(), '/', tb1s_fs_sep());
        return p;
    };
    for (const inside_case &c : cases) {
        tb1s_share s{};
        tb1s_strlcpy(s.path, native(c.root).c_str(), sizeof s.path);
        s.is_file = c.is_file;
        EXPECT_EQ(inside(native(c.path).c_str(), &s), c.want) << c.root << " holds " << c.path;
    }
}

std::vector<std::string> names_of(const tb1s_vent *v, int32_t n)
{
    std::vector<std::string> names;
    for (int32_t i = 0; i < n; i++)
        names.push_back(v[i].name);
    return names;
}

TEST_F(Vfs, ListingShowsOnlyWhatIsInside)
{
    tb1s_vres r;
    ASSERT_EQ(tb1s_vfs_resolve("media", "", &r), 0);
    tb1s_vent *v = nullptr;
    int32_t n = -1;
    int64_t before = refused();
    ASSERT_EQ(tb1s_vfs_list(&r, &v, &n, UINT64_MAX), 0);
    // Escaping links are left out silently: not counted.
    EXPECT_EQ(refused(), before);
    const std::vector<std::string> want = {"Zeta",     "_x",        "a",      "abs_in",
                                           "file.txt", "link_dir",  "link_file",
                                           "\xc3\xa9t\xc3\xa9"};
    EXPECT_EQ(names_of(v, n), want);

    const tb1s_vent *lf = nullptr, *ld = nullptr, *file = nullptr, *dir = nullptr;
    for (int32_t i = 0; i < n; i++) {
        std::string name = v[i].name;
        if (name == "link_file") lf = &v[i];
        if (name == "link_dir") ld = &v[i];
        if (name == "file.txt") file = &v[i];
        if (name == "a") dir = &v[i];
    }
    ASSERT_TRUE(lf && ld && file && dir);
    EXPECT_EQ(file->kind, FS_KIND_FILE);
    EXPECT_EQ(file->target_kind, FS_KIND_FILE);
    EXPECT_EQ(file->size, 5u);
    EXPECT_EQ(dir->kind, FS_KIND_DIR);
    EXPECT_EQ(dir->target_kind, FS_KIND_DIR);
    EXPECT_EQ(lf->kind, FS_KIND_LINK);
    EXPECT_EQ(lf->target_kind, FS_KIND_FILE);
    EXPECT_EQ(lf->size, 5u);
    EXPECT_EQ(lf->mtime, file->mtime);
    // Identity is the link's own, so a client never sees two children as one.
    EXPECT_NE(lf->ino, file->ino);
    EXPECT_EQ(ld->kind, FS_KIND_LINK);
    EXPECT_EQ(ld->target_kind, FS_KIND_DIR);
    EXPECT_NE(ld->ino, dir->ino);
    tb1s_vfs_free(v, n);
}

TEST_F(Vfs, ListingOfSubfolderAndFailures)
{
    tb1s_vres r;
    ASSERT_EQ(tb1s_vfs_resolve("media", "link_dir", &r), 0);
    tb1s_vent *v = nullptr;
    int32_t n = 0;
    ASSERT_EQ(tb1s_vfs_list(&r, &v, &n, UINT64_MAX), 0);
    EXPECT_EQ(names_of(v, n), std::vector<std::string>{"b"});
    tb1s_vfs_free(v, n);

    tmp.mkdir("media/empty");
    ASSERT_EQ(tb1s_vfs_resolve("media", "empty", &r), 0);
    v = reinterpret_cast<tb1s_vent *>(&r);
    ASSERT_EQ(tb1s_vfs_list(&r, &v, &n, UINT64_MAX), 0);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(v, nullptr);
    tb1s_vfs_free(v, n);

    ASSERT_EQ(tb1s_vfs_resolve("media", "file.txt", &r), 0);
    n = 7;
    EXPECT_EQ(tb1s_vfs_list(&r, &v, &n, UINT64_MAX), -1);
    EXPECT_STREQ(tb1s_error(), "Not a directory.");
    EXPECT_EQ(n, 0);
    EXPECT_EQ(v, nullptr);
    ASSERT_EQ(tb1s_vfs_resolve("ipc$", "", &r), 0);
    EXPECT_EQ(tb1s_vfs_list(&r, &v, &n, UINT64_MAX), -1);
    EXPECT_STREQ(tb1s_error(), "Not a directory.");

    // The folder vanished between resolution and listing.
    ASSERT_EQ(tb1s_vfs_resolve("media", "a/b", &r), 0);
    fs::remove_all(root + "/a/b");
    EXPECT_EQ(tb1s_vfs_list(&r, &v, &n, UINT64_MAX), -1);
    EXPECT_STREQ(tb1s_error(), "The file cannot be found.");
    tb1s_vfs_free(nullptr, 0);
}

// What was resolved is swapped for a link that leads out of the share
// before it is used: the listing and the read check the folder or file
// they actually opened, refuse it and count the path. A link that leads
// back inside is followed.
TEST_F(Vfs, SwapAfterResolutionIsCaughtOnWhatIsOpened)
{
    tb1s_vres dir, file;
    ASSERT_EQ(tb1s_vfs_resolve("media", "a/b", &dir), 0);
    ASSERT_EQ(tb1s_vfs_resolve("media", "a/b/deep.txt", &file), 0);
    tmp.write("outside/deep.txt", "secret");
    fs::rename(root + "/a", root + "/a.aside");

    struct row {
        const char *what;
        std::string target;  // of the link that takes the place of media/a
        int32_t list_rc;
        int64_t counted;     // rise of path_refused over the listing and the open
    } rows[] = {
        {"link out of the share", base, -1, 2},
        {"absolute link back inside", root + "/a.aside", 0, 0},
    };
    for (const row &r : rows) {
        // media/a/b now leads to <base>/b (absent: made to hold the bait) or
        // back to the real folder.
        tmp.write("b/deep.txt", "secret");
        fs::create_directory_symlink(r.target, root + "/a");
        int64_t before = refused();
        tb1s_vent *v = nullptr;
        int32_t n = 0;
        EXPECT_EQ(tb1s_vfs_list(&dir, &v, &n, UINT64_MAX), r.list_rc) << r.what;
        if (r.list_rc == 0) {
            EXPECT_EQ(names_of(v, n), std::vector<std::string>{"deep.txt"}) << r.what;
        } else {
            EXPECT_EQ(n, 0) << r.what;
            EXPECT_STREQ(tb1s_error(), "The file cannot be found.") << r.what;
        }
        tb1s_vfs_free(v, n);
        tb1s_fstat st{};
        tb1s_fs_file *f = tb1s_vfs_open(&file.share, file.path, &st);
        EXPECT_EQ(f != nullptr, r.list_rc == 0) << r.what;
        if (f) {
            char buf[16] = {};
            EXPECT_EQ(tb1s_fs_pread(f, 0, buf, sizeof buf), 4) << r.what;
            EXPECT_STREQ(buf, "deep") << r.what;
        }
        tb1s_fs_close(f);
        EXPECT_EQ(refused() - before, r.counted) << r.what;
        fs::remove(root + "/a");
    }
}

// A listing that would hold more than its byte limit stops and keeps
// nothing; one that fits exactly is whole.
TEST_F(Vfs, ListingWithinAByteLimit)
{
    for (const std::string &n : {std::string("x"), std::string("name-of-some-length"), std::string(200, 'y')})
        tmp.write("media/plain/" + n, "");
    tb1s_vres r;
    ASSERT_EQ(tb1s_vfs_resolve("media", "plain", &r), 0);
    tb1s_vent *v = nullptr;
    int32_t n = 0;
    ASSERT_EQ(tb1s_vfs_list(&r, &v, &n, UINT64_MAX), 0);
    const uint64_t bytes = tb1s_vfs_bytes(v, n);
    const int32_t whole = n;
    tb1s_vfs_free(v, n);
    ASSERT_EQ(tb1s_vfs_list(&r, &v, &n, bytes), 0);
    EXPECT_EQ(n, whole);
    tb1s_vfs_free(v, n);
    v = reinterpret_cast<tb1s_vent *>(&r);
    n = 7;
    EXPECT_EQ(tb1s_vfs_list(&r, &v, &n, bytes - 1), -2);
    EXPECT_EQ(v, nullptr);
    EXPECT_EQ(n, 0);
    EXPECT_STREQ(tb1s_error(), "The listing would exceed the memory allowed.");
    EXPECT_EQ(tb1s_vfs_list(&r, &v, &n, 0), -2);
    EXPECT_EQ(tb1s_vfs_entry_bytes(0), sizeof(tb1s_vent) + 16);
    EXPECT_EQ(tb1s_vfs_entry_bytes(7), sizeof(tb1s_vent) + 16);
    EXPECT_EQ(tb1s_vfs_entry_bytes(8), sizeof(tb1s_vent) + 32);
}

// A folder over the cap lists exactly the cap, and that is a success.
// Hard links keep the fixture cheap to make (two files: a file system may
// cap the links to one inode at 65,000).
TEST(VfsCap, ListingStopsAtOneHundredThousand)
{
    temp_dir tmp;
    const std::string dir = tmp.mkdir("big");
    const std::string one[2] = {tmp.write("one", "1"), tmp.write("two", "2")};
    for (int i = 0; i < 100005; i++)
        fs::create_hard_link(one[i % 2], dir + "/f" + std::to_string(i));
    tb1s_vres r{};
    r.kind = VFS_DIR;
    tb1s_strlcpy(r.path, tb1s_test::u8_text(fs::canonical(tb1s_test::u8_path(dir))).c_str(), sizeof r.path);
    tb1s_strlcpy(r.share.path, r.path, sizeof r.share.path);
    tb1s_vent *v = nullptr;
    int32_t n = 0;
    ASSERT_EQ(tb1s_vfs_list(&r, &v, &n, UINT64_MAX), 0);
    EXPECT_EQ(n, 100000);
    for (int32_t i = 1; i < n; i++)
        ASSERT_LT(std::strcmp(v[i - 1].name, v[i].name), 0) << i;
    tb1s_vfs_free(v, n);
}

TEST_F(Vfs, EntryNameLimits)
{
    tb1s_share s{};
    tb1s_strlcpy(s.path, root.c_str(), sizeof s.path);
    tb1s_fs_dir *d = tb1s_fs_opendir(root.c_str(), nullptr, 0);
    ASSERT_NE(d, nullptr);
    tb1s_vent e;
    ASSERT_EQ(make_entry(&s, d, root.c_str(), "file.txt", &e), 0);
    EXPECT_STREQ(e.name, "file.txt");
    std::free(e.name);

    const std::string n255(255, 'n'), n256(256, 'n');
    tmp.write("media/" + n255, "x");
    EXPECT_EQ(make_entry(&s, d, root.c_str(), n255.c_str(), &e), 0);
    std::free(e.name);
    EXPECT_EQ(make_entry(&s, d, root.c_str(), n256.c_str(), &e), -1);
    EXPECT_EQ(make_entry(&s, d, root.c_str(), "line\nfeed", &e), -1);
    EXPECT_EQ(make_entry(&s, d, root.c_str(), "cr\r", &e), -1);
    EXPECT_EQ(make_entry(&s, d, root.c_str(), "..", &e), -1);
    EXPECT_EQ(make_entry(&s, d, root.c_str(), "", &e), -1);
    EXPECT_EQ(make_entry(&s, d, root.c_str(), "a/b", &e), -1);
    EXPECT_EQ(e.name, nullptr);
    // Folder, separator, name and NUL over 2050 bytes.
    const std::string deep(2040, 'd');
    EXPECT_EQ(make_entry(&s, d, deep.c_str(), "0123456789", &e), -1);
    tb1s_fs_closedir(d);
}

TEST(VentCmp, ByteOrder)
{
    char b[] = "b", B[] = "B", a[] = "a", e[] = "\xc3\xa9", tilde[] = "~";
    tb1s_vent vb{}, vB{}, va{}, ve{}, vt{};
    vb.name = b;
    vB.name = B;
    va.name = a;
    ve.name = e;
    vt.name = tilde;
    EXPECT_LT(vent_cmp(&vB, &va), 0);
    EXPECT_LT(vent_cmp(&va, &vb), 0);
    EXPECT_LT(vent_cmp(&vt, &ve), 0);  // 0x80 and above after all ASCII
    EXPECT_EQ(vent_cmp(&vb, &vb), 0);
}

}  // namespace
