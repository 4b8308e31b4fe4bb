// Share resolution and listing on a Windows tree without links (Wine does
// not follow them; the shared vfs cases need them): names in any case and
// beyond ASCII, paths that try to leave the share, a single-file share.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "cfg/opts.h"
#include "cfg/shares.h"
#include "support.h"
#include "tbsmb1s.h"
#include "vfs/vfs.h"

using namespace tb1s;

namespace {

class VfsWin : public ::testing::Test {
protected:
    void SetUp() override
    {
        tmp.write("share/Read Me.txt", "hello");
        tmp.write("share/Straße/Maß.txt", "12345");
        tmp.write("share/日本/東京.txt", "x");
        tmp.mkdir("share/empty");
        tmp.write("outside.txt", "secret");
        ASSERT_EQ(tbsmb1s_add_share("w", (tmp.path + "\\share").c_str()), 0) << tbsmb1s_last_error();
        ASSERT_EQ(tbsmb1s_add_share("one", (tmp.path + "\\share\\Read Me.txt").c_str()), 0) << tbsmb1s_last_error();
        ASSERT_EQ(tb1s_fs_realpath((tmp.path + "\\share").c_str(), root, sizeof root), 0);
    }
    void TearDown() override
    {
        std::lock_guard<tb1s_lock> hold(g_lock);
        std::memset(g_shares, 0, sizeof g_shares);
        g_nshares = 0;
    }
    tb1s_test::temp_dir tmp;
    char root[2050];
};

TEST_F(VfsWin, ResolvesNamesInAnyCaseAndStaysInside)
{
    struct row {
        const char *share, *rel;
        int32_t kind;
        const char *host;  // below the share root; null for a failure
    };
    const row rows[] = {
        {"w", "", VFS_DIR, ""},
        {"w", "Read Me.txt", VFS_FILE, "\\Read Me.txt"},
        {"w", "READ ME.TXT", VFS_FILE, "\\Read Me.txt"},
        {"w", "straße/MAß.txt", VFS_FILE, "\\Straße\\Maß.txt"},
        {"w", "日本/東京.txt", VFS_FILE, "\\日本\\東京.txt"},
        {"w", "empty", VFS_DIR, "\\empty"},
        {"w", "none.txt", VFS_NONE, nullptr},
        {"W", "Read Me.txt", VFS_FILE, "\\Read Me.txt"},
        {"one", "", VFS_FILE, ""},
        {"IPC$", "", VFS_IPC, nullptr},
    };
    for (const row &r : rows) {
        tb1s_vres v{};
        int rc = tb1s_vfs_resolve(r.share, r.rel, &v);
        std::string what = std::string(r.share) + ":" + r.rel;
        if (r.kind == VFS_NONE) {
            EXPECT_EQ(rc, -1) << what;
            continue;
        }
        ASSERT_EQ(rc, 0) << what << ": " << tbsmb1s_last_error();
        EXPECT_EQ(v.kind, r.kind) << what;
        if (r.host) {
            std::string want = std::string(root) + r.host;
            if (std::string(r.share) == "one")
                want = std::string(root) + "\\Read Me.txt";
            EXPECT_EQ(std::string(v.path), want) << what;
            EXPECT_TRUE(inside(v.path, &v.share)) << what;
        }
    }
}

TEST_F(VfsWin, ListsTheFolderOpenedSortedWithSizes)
{
    tb1s_vres dir{};
    ASSERT_EQ(tb1s_vfs_resolve("w", "", &dir), 0);
    tb1s_vent *v = nullptr;
    int32_t n = 0;
    ASSERT_EQ(tb1s_vfs_list(&dir, &v, &n, uint64_t(1) << 30), 0) << tbsmb1s_last_error();
    std::set<std::string> names;
    for (int32_t i = 0; i < n; i++) {
        names.insert(v[i].name);
        if (i > 0) {
            EXPECT_LT(std::strcmp(v[i - 1].name, v[i].name), 0) << "sorted by name bytes";
        }
        if (std::strcmp(v[i].name, "Read Me.txt") == 0) {
            EXPECT_EQ(v[i].kind, 0);
            EXPECT_EQ(v[i].size, 5u);
        }
    }
    EXPECT_EQ(names, (std::set<std::string>{"Read Me.txt", "Straße", "empty", "日本"}));
    tb1s_vfs_free(v, n);

    tb1s_vres sub{};
    ASSERT_EQ(tb1s_vfs_resolve("w", "STRASSE", &sub), -1) << "case folding is simple, not full";
    ASSERT_EQ(tb1s_vfs_resolve("w", "empty", &sub), 0);
    ASSERT_EQ(tb1s_vfs_list(&sub, &v, &n, uint64_t(1) << 30), 0);
    EXPECT_EQ(n, 0);
    tb1s_vfs_free(v, n);
}

TEST_F(VfsWin, OpensOnlyWhatLiesInsideTheShare)
{
    tb1s_vres r{};
    ASSERT_EQ(tb1s_vfs_resolve("w", "straße/maß.txt", &r), 0);
    tb1s_fstat st{};
    tb1s_fs_file *f = tb1s_vfs_open(&r.share, r.path, &st);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(st.size, 5u);
    tb1s_fs_close(f);
    char outside[2050];
    ASSERT_EQ(tb1s_fs_realpath((tmp.path + "\\outside.txt").c_str(), outside, sizeof outside), 0);
    EXPECT_EQ(tb1s_vfs_open(&r.share, outside, &st), nullptr) << "a path outside the share root";
}

}  // namespace
