// The Windows file layer on a real temporary tree. Fixtures the layer must
// never create itself (links, times, files held open by another handle) are
// made with the system calls directly.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <set>
#include <string>

#include "fs/fs.h"
#include "support.h"

using namespace tb1s;

namespace {

using tb1s_test::temp_dir;

std::wstring w(const std::string &s) { return tb1s_test::u8_path(s).wstring(); }

// A symbolic link made by the system, or a reason why none could be made
// (the right to make links, or an emulation without them).
std::string make_link(const std::string &target, const std::string &link, bool dir)
{
    DWORD flags = (dir ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | 0x2;  // unprivileged create
    if (!CreateSymbolicLinkW(w(link).c_str(), w(target).c_str(), flags) &&
        !CreateSymbolicLinkW(w(link).c_str(), w(target).c_str(), dir ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0))
        return "symbolic links cannot be made here (error " + std::to_string(GetLastError()) + ")";
    HANDLE h = CreateFileW(w(link).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return "this system makes symbolic links but does not follow them (Wine before 9)";
    CloseHandle(h);
    return "";
}

TEST(FsWin, KindsSizesAndIdentifiers)
{
    temp_dir t;
    std::string file = t.write("f.txt", "twelve bytes");
    std::string dir = t.mkdir("d");
    tb1s_fstat st{};
    ASSERT_EQ(tb1s_fs_stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.kind, FS_KIND_FILE);
    EXPECT_EQ(st.size, 12u);
    EXPECT_NE(st.ino, 0u);
    tb1s_fstat again{};
    ASSERT_EQ(tb1s_fs_lstat(file.c_str(), &again), 0);
    EXPECT_EQ(again.kind, FS_KIND_FILE);
    EXPECT_EQ(again.dev, st.dev);
    EXPECT_EQ(again.ino, st.ino);

    ASSERT_EQ(tb1s_fs_stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.kind, FS_KIND_DIR);
    EXPECT_EQ(st.size, 0u);
    EXPECT_EQ(tb1s_fs_stat((t.path + "\\missing").c_str(), &st), -1);
    EXPECT_EQ(tb1s_fs_sep(), '\\');
    EXPECT_EQ(tb1s_fs_case_sensitive(), 0);
}

TEST(FsWin, TimesAreUnixSeconds)
{
    temp_dir t;
    std::string file = t.write("dated.txt", "x");
    HANDLE h = CreateFileW(w(file).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    // 2024-03-15 12:34:56.7 UTC in 100 ns units since 1601.
    uint64_t ft = (1710506096ull + 11644473600ull) * 10000000ull + 7000000ull;
    FILETIME f{DWORD(ft), DWORD(ft >> 32)};
    ASSERT_TRUE(SetFileTime(h, nullptr, &f, &f));
    CloseHandle(h);
    tb1s_fstat st{};
    ASSERT_EQ(tb1s_fs_stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.mtime, 1710506096) << "sub-second parts are dropped";
    EXPECT_EQ(st.atime, 1710506096);
}

TEST(FsWin, LinksFollowedOrSeenAsThemselves)
{
    temp_dir t;
    std::string file = t.write("target.txt", "data");
    std::string link = t.path + "\\link.txt";
    std::string why = make_link(file, link, false);
    if (!why.empty())
        GTEST_SKIP() << why;
    tb1s_fstat st{};
    ASSERT_EQ(tb1s_fs_stat(link.c_str(), &st), 0);
    EXPECT_EQ(st.kind, FS_KIND_FILE);
    EXPECT_EQ(st.size, 4u);
    ASSERT_EQ(tb1s_fs_lstat(link.c_str(), &st), 0);
    EXPECT_EQ(st.kind, FS_KIND_LINK);
    char real[1024];
    ASSERT_EQ(tb1s_fs_realpath(link.c_str(), real, sizeof real), 0);
    char want[1024];
    ASSERT_EQ(tb1s_fs_realpath(file.c_str(), want, sizeof want), 0);
    EXPECT_STREQ(real, want) << "the real path names the target";
}

TEST(FsWin, TextThatIsNotUtf8FailsEveryOperation)
{
    temp_dir t;
    t.write("a.txt", "a");
    for (const char *bad : {"\xC3\x28", "\xED\xA0\x80", "\xC0\xAF"}) {
        std::string p = t.path + "\\" + bad;
        tb1s_fstat st{};
        char out[512];
        uint64_t tot, fr;
        uint32_t spu, bps;
        EXPECT_EQ(tb1s_fs_stat(p.c_str(), &st), -1);
        EXPECT_EQ(tb1s_fs_lstat(p.c_str(), &st), -1);
        EXPECT_EQ(tb1s_fs_realpath(p.c_str(), out, sizeof out), -1);
        EXPECT_EQ(tb1s_fs_opendir(p.c_str(), nullptr, 0), nullptr);
        EXPECT_EQ(tb1s_fs_open_ro(p.c_str(), &st, out, sizeof out), nullptr);
        EXPECT_EQ(tb1s_fs_probe(nullptr, p.c_str(), &st, out, sizeof out), -1);
        EXPECT_EQ(tb1s_fs_space(p.c_str(), &tot, &fr, &spu, &bps), -1);
    }
}

TEST(FsWin, RealPathHasNoPrefixTheVolumesCaseAndNeedsRoomForItsNul)
{
    temp_dir t;
    t.mkdir("MixedCase");
    std::string asked = t.path + "\\mixedcase";
    char out[1024];
    ASSERT_EQ(tb1s_fs_realpath(asked.c_str(), out, sizeof out), 0);
    std::string r = out;
    EXPECT_NE(r.rfind("\\\\?\\", 0), 0u) << r;
    ASSERT_GE(r.size(), 10u);
    EXPECT_EQ(r.substr(r.size() - 10), "\\MixedCase") << r;
    EXPECT_EQ(r[1], ':') << "drive-letter form: " << r;
    EXPECT_EQ(tb1s_fs_realpath(asked.c_str(), out, int32_t(r.size())), -1) << "no room for the NUL";
    EXPECT_EQ(tb1s_fs_realpath(asked.c_str(), out, int32_t(r.size() + 1)), 0);
}

TEST(FsWin, EnumerationSkipsDotsAndKeepsWideNames)
{
    temp_dir t;
    std::string dir = t.mkdir("d");
    t.write("d/café.txt", "1");
    t.write("d/日本.txt", "2");
    t.mkdir("d/sub");
    std::string empty = t.mkdir("empty");

    char real[1024], want[1024];
    tb1s_fs_dir *d = tb1s_fs_opendir(dir.c_str(), real, sizeof real);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(tb1s_fs_realpath(dir.c_str(), want, sizeof want), 0);
    EXPECT_STREQ(real, want) << "the folder's final path, from its handle";
    std::set<std::string> names;
    while (const char *n = tb1s_fs_readdir(d))
        names.insert(n);
    EXPECT_EQ(names, (std::set<std::string>{"café.txt", "日本.txt", "sub"}));

    // Entries are looked up in the folder that was opened.
    tb1s_fstat st{};
    ASSERT_EQ(tb1s_fs_dir_lstat(d, "café.txt", &st), 0);
    EXPECT_EQ(st.kind, FS_KIND_FILE);
    EXPECT_EQ(st.size, 1u);
    ASSERT_EQ(tb1s_fs_dir_lstat(d, "SUB", &st), 0) << "any letter case, as Windows finds names";
    EXPECT_EQ(st.kind, FS_KIND_DIR);
    EXPECT_EQ(tb1s_fs_dir_lstat(d, "none", &st), -1);
    EXPECT_EQ(tb1s_fs_dir_lstat(d, "sub\\x", &st), -1) << "one component only";
    ASSERT_EQ(tb1s_fs_probe(d, "日本.txt", &st, real, sizeof real), 0);
    EXPECT_EQ(st.size, 1u);
    EXPECT_EQ(std::string(real), std::string(want) + "\\日本.txt");
    tb1s_fs_closedir(d);
    EXPECT_EQ(tb1s_fs_opendir(dir.c_str(), real, int32_t(std::strlen(want))), nullptr) << "no room for the NUL";

    d = tb1s_fs_opendir(empty.c_str(), nullptr, 0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(tb1s_fs_readdir(d), nullptr);
    tb1s_fs_closedir(d);
    tb1s_fs_closedir(nullptr);
    EXPECT_EQ(tb1s_fs_opendir((t.path + "\\none").c_str(), nullptr, 0), nullptr);
    EXPECT_EQ(tb1s_fs_opendir(t.write("file", "x").c_str(), nullptr, 0), nullptr) << "a file is no folder";
}

TEST(FsWin, PositionedReadsAndFullSharing)
{
    temp_dir t;
    std::string file = t.write("data.bin", "0123456789");
    char real[1024], want[1024];
    EXPECT_EQ(tb1s_fs_open_ro(t.path.c_str(), nullptr, real, sizeof real), nullptr)
        << "a folder is not opened for reading";

    tb1s_fstat st{};
    tb1s_fs_file *f = tb1s_fs_open_ro(file.c_str(), &st, real, sizeof real);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(tb1s_fs_realpath(file.c_str(), want, sizeof want), 0);
    EXPECT_STREQ(real, want);
    ASSERT_EQ(tb1s_fs_probe(nullptr, file.c_str(), &st, want, sizeof want), 0);
    EXPECT_STREQ(want, real);
    EXPECT_EQ(st.kind, FS_KIND_FILE);
    EXPECT_EQ(st.size, 10u);
    char b[16] = {};
    EXPECT_EQ(tb1s_fs_pread(f, 6, b, 4), 4);
    EXPECT_EQ(std::string(b, 4), "6789");
    EXPECT_EQ(tb1s_fs_pread(f, 2, b, 3), 3) << "offsets in any order";
    EXPECT_EQ(std::string(b, 3), "234");
    EXPECT_EQ(tb1s_fs_pread(f, 8, b, 16), 2) << "a read across the end stops there";
    EXPECT_EQ(tb1s_fs_pread(f, 10, b, 4), 0);
    EXPECT_EQ(tb1s_fs_pread(f, 1ull << 40, b, 4), 0);

    // Other programs may write to, rename and delete a file being served.
    HANDLE other = CreateFileW(tb1s_test::u8_path(file).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(other, INVALID_HANDLE_VALUE) << "the server's handle must share writing";
    if (other != INVALID_HANDLE_VALUE)
        CloseHandle(other);
    EXPECT_TRUE(DeleteFileW(tb1s_test::u8_path(file).c_str())) << "the server's handle must share deleting";
    tb1s_fs_close(f);
    tb1s_fs_close(nullptr);
}

TEST(FsWin, SpaceInMebibyteUnits)
{
    temp_dir t;
    uint64_t total = 0, free_units = 0;
    uint32_t spu = 0, bps = 0;
    ASSERT_EQ(tb1s_fs_space(t.path.c_str(), &total, &free_units, &spu, &bps), 0);
    EXPECT_EQ(spu, 2048u);
    EXPECT_EQ(bps, 512u);
    EXPECT_GT(total, 0u);
    EXPECT_LE(free_units, total);
    ULARGE_INTEGER avail, all, fr;
    ASSERT_TRUE(GetDiskFreeSpaceExW(tb1s_test::u8_path(t.path).c_str(), &avail, &all, &fr));
    EXPECT_EQ(total, all.QuadPart / 1048576);

    // A single-file share asks about its file.
    std::string file = t.write("f.bin", "x");
    uint64_t total2 = 0;
    ASSERT_EQ(tb1s_fs_space(file.c_str(), &total2, &free_units, &spu, &bps), 0);
    EXPECT_EQ(total2, total);
    EXPECT_EQ(tb1s_fs_space((t.path + "\\missing\\x").c_str(), &total2, &free_units, &spu, &bps), -1);
}

}  // namespace
