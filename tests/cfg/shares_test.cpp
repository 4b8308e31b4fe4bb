#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "cfg/opts.h"
#include "cfg/shares.h"
#include "support.h"
#include "tbsmb1s.h"
#include "util/buf.h"

using namespace tb1s;

namespace {

namespace fs = std::filesystem;
using tb1s_test::temp_dir;

// Empties both tables, so every test starts from the state after load.
void clear_tables()
{
    std::lock_guard<tb1s_lock> hold(g_lock);
    std::memset(g_shares, 0, sizeof g_shares);
    std::memset(g_users, 0, sizeof g_users);
    g_nshares = g_nusers = 0;
}

bool all_zero(const void *p, size_t n)
{
    const unsigned char *b = static_cast<const unsigned char *>(p);
    for (size_t i = 0; i < n; i++)
        if (b[i])
            return false;
    return true;
}

std::vector<std::string> listed_names()
{
    tb1s_share *v = nullptr;
    int32_t n = 0;
    EXPECT_EQ(tb1s_share_list(&v, &n), 0);
    std::vector<std::string> names;
    for (int32_t i = 0; i < n; i++)
        names.push_back(v[i].name);
    std::free(v);
    return names;
}

std::string canonical(const std::string &p) { return fs::canonical(p).string(); }

class Shares : public ::testing::Test {
  protected:
    void SetUp() override { clear_tables(); }
    void TearDown() override
    {
        clear_tables();
        tb1s_test::unset_env("TBSMB1S_TRACE");
        tb1s_trace_reload();
    }
    temp_dir tmp;
};

struct call_case {
    const char *name;
    const char *value;  // path or password; null: missing; "@dir": a real folder
    int32_t want;
    std::string message;  // empty for success
};

TEST_F(Shares, AddShareRulesInOrder)
{
    const std::string dir = tmp.mkdir("media");
    const std::string n80(80, 'n'), n81(81, 'n'), long_path(1025, 'p'), missing = tmp.path + "/missing";
    std::string p1024(1024, 'q');
    p1024[0] = '/';
    const char *D = "@dir";
    const call_case cases[] = {
        {nullptr, D, -1, "add_share: NULL or empty argument"},
        {"x", nullptr, -1, "add_share: NULL or empty argument"},
        {"x", "", -1, "add_share: NULL or empty argument"},
        {"", D, -1, "add_share: invalid share name"},
        {".", D, -1, "add_share: invalid share name"},
        {"..", D, -1, "add_share: invalid share name"},
        {n81.c_str(), D, -1, "add_share: invalid share name"},
        {"a/b", D, -1, "add_share: invalid share name"},
        {"a:b", D, -1, "add_share: invalid share name"},
        {"a\\b", D, -1, "add_share: invalid share name"},
        {"a\tb", D, -1, "add_share: invalid share name"},
        {"a\x7f", D, -1, "add_share: invalid share name"},
        {"a\nb", D, -1, "add_share: invalid share name"},
        // Only well-formed UTF-8: an overlong '/', a surrogate, a stray byte.
        {"a\xc0\xaf" "b", D, -1, "add_share: invalid share name"},
        {"a\xed\xa0\x80", D, -1, "add_share: invalid share name"},
        {"caf\xe9", D, -1, "add_share: invalid share name"},
        // The name is judged before the path, the path length before IPC$.
        {"a/b", long_path.c_str(), -1, "add_share: invalid share name"},
        {"x", long_path.c_str(), -1, "add_share: path too long"},
        {"IPC$", long_path.c_str(), -1, "add_share: path too long"},
        {"IPC$", D, -3, "add_share: IPC$ is built in"},
        {"x", missing.c_str(), -2, "add_share: " + missing + " does not exist"},
        {"x", p1024.c_str(), -2, "add_share: " + p1024.substr(0, 200) + " does not exist"},
        {n80.c_str(), D, 0, ""},
        {"My Files", D, 0, ""},
        {"c$", D, 0, ""},
        {"\xc3\x89T\xc3\x89", D, 0, ""},
        {"*?...", D, 0, ""},
        {"ipc$", D, 0, ""},
    };
    for (const call_case &c : cases) {
        const char *path = c.value && std::strcmp(c.value, D) == 0 ? dir.c_str() : c.value;
        tb1s_set_error("untouched");
        std::string what = std::string("name '") + (c.name ? c.name : "(null)") + "'";
        EXPECT_EQ(tbsmb1s_add_share(c.name, path), c.want) << what;
        EXPECT_EQ(tbsmb1s_last_error(), c.want ? c.message : std::string("untouched")) << what;
        if (c.want == 0) {
            EXPECT_EQ(tbsmb1s_remove_share(c.name), 0) << what;
        }
    }
    EXPECT_EQ(g_nshares, 0);
}

TEST_F(Shares, AddShareKinds)
{
    const std::string dir = tmp.mkdir("media/sub");
    const std::string file = tmp.write("song.mp3", "abc");
    const std::string pipe = tmp.fifo("pipe");
    fs::create_directory_symlink(dir, tmp.path + "/alias");

    EXPECT_EQ(tbsmb1s_add_share("pipe", pipe.c_str()), -1);
    EXPECT_STREQ(tbsmb1s_last_error(), ("add_share: " + pipe + " is neither a folder nor a regular file").c_str());
    EXPECT_EQ(tbsmb1s_add_share("null", "/dev/null"), -1);

    // A link is canonicalised once, at addition; a non-canonical spelling too.
    ASSERT_EQ(tbsmb1s_add_share("alias", (tmp.path + "/alias").c_str()), 0);
    ASSERT_EQ(tbsmb1s_add_share("dots", (tmp.path + "/media/./sub/../sub/").c_str()), 0);
    ASSERT_EQ(tbsmb1s_add_share("song", file.c_str()), 0);
    tb1s_share s;
    ASSERT_EQ(tb1s_share_find("ALIAS", &s), 0);
    EXPECT_EQ(std::string(s.path), canonical(dir));
    EXPECT_STREQ(s.name, "alias");
    EXPECT_EQ(s.is_file, 0);
    ASSERT_EQ(tb1s_share_find("dots", &s), 0);
    EXPECT_EQ(std::string(s.path), canonical(dir));
    ASSERT_EQ(tb1s_share_find("song", &s), 0);
    EXPECT_EQ(std::string(s.path), canonical(file));
    EXPECT_EQ(s.is_file, 1);
}

TEST_F(Shares, DuplicateNamesAndCapacity)
{
    const std::string dir = tmp.mkdir("m");
    ASSERT_EQ(tbsmb1s_add_share("Music", dir.c_str()), 0);
    EXPECT_EQ(tbsmb1s_add_share("MUSIC", dir.c_str()), -3);
    EXPECT_STREQ(tbsmb1s_last_error(), "add_share: MUSIC exists");
    // Letters beyond ASCII fold by Unicode's simple case folding.
    ASSERT_EQ(tbsmb1s_add_share("caf\xc3\xa9", dir.c_str()), 0);
    EXPECT_EQ(tbsmb1s_add_share("CAF\xc3\x89", dir.c_str()), -3);
    tb1s_share s;
    ASSERT_EQ(tb1s_share_find("CAF\xc3\x89", &s), 0);
    EXPECT_STREQ(s.name, "caf\xc3\xa9");
    EXPECT_EQ(tb1s_share_find("CAFE", &s), -1);
    ASSERT_EQ(tbsmb1s_remove_share("CAF\xc3\x89"), 0);
    for (int i = 1; i < 256; i++)
        ASSERT_EQ(tbsmb1s_add_share(tb1s_test::numbered("s", i).c_str(), dir.c_str()), 0) << i;
    EXPECT_EQ(g_nshares, 256);
    EXPECT_EQ(tbsmb1s_add_share("one-more", dir.c_str()), -6);
    EXPECT_STREQ(tbsmb1s_last_error(), "add_share: 256 shares");
    // A full table still reports a duplicate as a duplicate.
    EXPECT_EQ(tbsmb1s_add_share("s7", dir.c_str()), -3);
    EXPECT_EQ(g_nshares, 256);
    EXPECT_EQ(tb1s_share_find("one-more", nullptr), -1);
}

TEST_F(Shares, RemoveShare)
{
    const std::string dir = tmp.mkdir("m");
    for (const char *n : {"one", "two", "three"})
        ASSERT_EQ(tbsmb1s_add_share(n, dir.c_str()), 0);

    EXPECT_EQ(tbsmb1s_remove_share(nullptr), -1);
    EXPECT_STREQ(tbsmb1s_last_error(), "remove_share: NULL name");
    EXPECT_EQ(tbsmb1s_remove_share("IPC$"), -1);
    EXPECT_STREQ(tbsmb1s_last_error(), "remove_share: IPC$ is built in");
    const std::string long_name(100, 'z');
    EXPECT_EQ(tbsmb1s_remove_share(long_name.c_str()), -2);
    EXPECT_EQ(std::string(tbsmb1s_last_error()), "remove_share: no share " + long_name.substr(0, 64));

    ASSERT_EQ(tbsmb1s_remove_share("TWO"), 0);
    ASSERT_EQ(g_nshares, 2);
    EXPECT_STREQ(g_shares[0].name, "one");
    EXPECT_STREQ(g_shares[1].name, "three");
    EXPECT_TRUE(all_zero(&g_shares[2], sizeof g_shares[2]));
    EXPECT_EQ(tb1s_share_find("two", nullptr), -1);
    EXPECT_EQ(tbsmb1s_remove_share("two"), -2);
}

TEST_F(Shares, BuiltInIpcAndListing)
{
    EXPECT_EQ(listed_names(), std::vector<std::string>{"IPC$"});
    tb1s_share s;
    std::memset(&s, 0x55, sizeof s);
    ASSERT_EQ(tb1s_share_find("ipc$", &s), 0);
    EXPECT_STREQ(s.name, "IPC$");
    EXPECT_STREQ(s.path, "");
    EXPECT_EQ(s.is_file, 0);
    EXPECT_EQ(tb1s_share_find(nullptr, &s), -1);

    const std::string dir = tmp.mkdir("m");
    for (const char *n : {"b", "\xc3\x89t\xc3\xa9", "A", "c", "ipc$", "\xc3\xa0"})
        ASSERT_EQ(tbsmb1s_add_share(n, dir.c_str()), 0);
    // Folded code points in order: 'à' (U+E0) before 'été' (U+E9).
    EXPECT_EQ(listed_names(),
              (std::vector<std::string>{"IPC$", "A", "b", "c", "ipc$", "\xc3\xa0", "\xc3\x89t\xc3\xa9"}));
    // The declared 'ipc$' is listed but never found by name; removing by that
    // exact name removes it.
    ASSERT_EQ(tb1s_share_find("ipc$", &s), 0);
    EXPECT_STREQ(s.path, "");
    ASSERT_EQ(tbsmb1s_remove_share("ipc$"), 0);
    EXPECT_EQ(listed_names(), (std::vector<std::string>{"IPC$", "A", "b", "c", "\xc3\xa0", "\xc3\x89t\xc3\xa9"}));
}

TEST_F(Shares, TraceLines)
{
    const std::string dir = tmp.mkdir("m");
    tb1s_test::set_env("TBSMB1S_TRACE", "1");
    tb1s_trace_reload();
    ::testing::internal::CaptureStderr();
    tbsmb1s_add_share("m", dir.c_str());
    tbsmb1s_add_share(nullptr, nullptr);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "[cfg] add_share('m', '" + dir + "')\n[cfg] share 'm' -> " + canonical(dir) +
                       " added (nshares=1)\n[cfg] add_share('(null)', '(null)')\n");
}

TEST_F(Shares, UserRules)
{
    const std::string u128(128, 'u'), u129(129, 'u'), p256(256, 'p'), p257(257, 'p');
    const char *domain = "add_user: the user name carries no domain (the domain is ignored)";
    const char *bad_user = "add_user: user must be 1..128 printable bytes";
    const char *bad_pass = "add_user: password must be 0..256 printable bytes";
    const call_case cases[] = {
        {nullptr, "x", -1, "add_user: NULL argument"},
        {"bob", nullptr, -1, "add_user: NULL argument"},
        {"", "x", -1, bad_user},
        {u129.c_str(), "x", -1, bad_user},
        {"bo\tb", "x", -1, bad_user},
        {"bob\x7f", "x", -1, bad_user},
        {"DOMAIN\\bob", "x", -1, domain},
        {"bob/x", "x", -1, domain},
        // The control byte is judged before the domain separator.
        {"a\\b\x01", "x", -1, bad_user},
        {"bob", p257.c_str(), -1, bad_pass},
        {"bob", "se\ncret", -1, bad_pass},
        {"bob", "\x7f", -1, bad_pass},
        {u128.c_str(), "x", 0, ""},
        {"bob", "", 0, ""},
        {"bob", p256.c_str(), 0, ""},
        {"J\xc3\xb6rg", "p\xc3\xa4ss word", 0, ""},
        // Both must have a UTF-16 form for the NTLM keys.
        {"J\xf6rg", "x", -1, "add_user: user and password must be UTF-8"},
        {"bob", "p\xe4ss", -1, "add_user: user and password must be UTF-8"},
        {"a\xc0\xaf" "b", "x", -1, "add_user: user and password must be UTF-8"},
    };
    for (const call_case &c : cases) {
        tb1s_set_error("untouched");
        std::string what = std::string("user '") + (c.name ? c.name : "(null)") + "'";
        EXPECT_EQ(tbsmb1s_add_user(c.name, c.value), c.want) << what;
        EXPECT_EQ(tbsmb1s_last_error(), c.want ? c.message : std::string("untouched")) << what;
    }
    EXPECT_EQ(g_nusers, 3);  // u128, bob (password replaced twice), Jörg
}

TEST_F(Shares, UsersReplaceRemoveAndWipe)
{
    ASSERT_EQ(tbsmb1s_add_user("bob", "a-long-first-password"), 0);
    ASSERT_EQ(tbsmb1s_add_user("Bob", "other"), 0);  // names are exact: a second account
    ASSERT_EQ(tbsmb1s_add_user("bob", "short"), 0);
    ASSERT_EQ(g_nusers, 2);
    char name[129], pass[257];
    ASSERT_EQ(tb1s_user_at(0, name, sizeof name, pass, sizeof pass), 0);
    EXPECT_STREQ(name, "bob");
    EXPECT_STREQ(pass, "short");
    // No tail of the longer old password behind the new one.
    EXPECT_TRUE(all_zero(g_users[0].password + 5, sizeof g_users[0].password - 5));

    EXPECT_EQ(tbsmb1s_remove_user(nullptr), -1);
    EXPECT_STREQ(tbsmb1s_last_error(), "remove_user: NULL user");
    EXPECT_EQ(tbsmb1s_remove_user("BOB"), -2);
    EXPECT_STREQ(tbsmb1s_last_error(), "remove_user: no such user");

    ASSERT_EQ(tbsmb1s_add_user("carol", "carols-secret"), 0);
    ASSERT_EQ(tbsmb1s_remove_user("bob"), 0);
    ASSERT_EQ(g_nusers, 2);
    EXPECT_STREQ(g_users[0].user, "Bob");
    EXPECT_STREQ(g_users[1].user, "carol");
    EXPECT_TRUE(all_zero(&g_users[2], sizeof g_users[2]));
    ASSERT_EQ(tbsmb1s_remove_user("carol"), 0);
    EXPECT_TRUE(all_zero(&g_users[1], sizeof g_users[1]));
    // Neither removed password is anywhere in the table.
    const std::string raw(reinterpret_cast<const char *>(g_users), sizeof g_users);
    EXPECT_EQ(raw.find("short"), std::string::npos);
    EXPECT_EQ(raw.find("carols-secret"), std::string::npos);
}

TEST_F(Shares, UserCapacityAndLookupByIndex)
{
    for (int i = 0; i < 256; i++)
        ASSERT_EQ(tbsmb1s_add_user(("user" + std::to_string(i)).c_str(), "pw"), 0);
    EXPECT_EQ(tbsmb1s_add_user("user256", "pw"), -6);
    EXPECT_STREQ(tbsmb1s_last_error(), "add_user: 256 users");
    EXPECT_EQ(tbsmb1s_add_user("user7", "new"), 0);  // replacing still works when full
    EXPECT_EQ(g_nusers, 256);

    char name[4], pass[257];
    EXPECT_EQ(tb1s_user_at(-1, name, sizeof name, pass, sizeof pass), 1);
    EXPECT_EQ(tb1s_user_at(256, name, sizeof name, pass, sizeof pass), 1);
    EXPECT_EQ(tb1s_user_at(0, nullptr, 0, pass, sizeof pass), 1);
    EXPECT_EQ(tb1s_user_at(0, name, sizeof name, nullptr, 0), 1);
    ASSERT_EQ(tb1s_user_at(7, name, sizeof name, pass, sizeof pass), 0);
    EXPECT_STREQ(name, "use");
    EXPECT_STREQ(pass, "new");
}

// Writer threads add and remove shares and users while reader threads walk
// the tables, all released together. Each round every writer also races for
// one common name: exactly one wins.
TEST_F(Shares, ConcurrentChanges)
{
    const std::string dir = canonical(tmp.mkdir("m"));
    constexpr int writers = 3, readers = 2, rounds = 60;
    std::vector<std::atomic<int>> wins(rounds);
    std::atomic<int> gate{0}, writing{writers};
    std::vector<std::thread> pool;
    auto wait_gate = [&] {
        gate++;
        while (gate.load() < writers + readers)
            std::this_thread::yield();
    };
    for (int t = 0; t < writers; t++)
        pool.emplace_back([&, t] {
            wait_gate();
            for (int r = 0; r < rounds; r++) {
                std::string own = tb1s_test::numbered("t", t) + "-" + std::to_string(r);
                EXPECT_EQ(tbsmb1s_add_share(own.c_str(), dir.c_str()), 0);
                EXPECT_EQ(tbsmb1s_add_user(own.c_str(), "pw"), 0);
                if (tbsmb1s_add_share(("common" + std::to_string(r)).c_str(), dir.c_str()) == 0)
                    wins[r]++;
                if (r % 2) {
                    EXPECT_EQ(tbsmb1s_remove_share(own.c_str()), 0);
                    EXPECT_EQ(tbsmb1s_remove_user(own.c_str()), 0);
                }
            }
            writing--;
        });
    for (int t = 0; t < readers; t++)
        pool.emplace_back([&] {
            wait_gate();
            while (writing.load() > 0) {
                tb1s_share s;
                if (tb1s_share_find("t0-0", &s) == 0) {
                    EXPECT_EQ(std::string(s.path), dir);
                }
                tb1s_share *v = nullptr;
                int32_t n = 0;
                EXPECT_EQ(tb1s_share_list(&v, &n), 0);
                for (int32_t i = 1; i < n; i++)
                    EXPECT_EQ(std::string(v[i].path), dir);
                std::free(v);
                char name[129], pass[257];
                for (int32_t i = 0; tb1s_user_at(i, name, sizeof name, pass, sizeof pass) == 0; i++)
                    EXPECT_STREQ(pass, "pw");
            }
        });
    for (std::thread &t : pool)
        t.join();
    for (int r = 0; r < rounds; r++)
        EXPECT_EQ(wins[r].load(), 1) << "round " << r;
    EXPECT_EQ(g_nshares, writers * rounds / 2 + rounds);
    EXPECT_EQ(g_nusers, writers * rounds / 2);
    std::vector<std::string> names = listed_names();
    EXPECT_EQ(names.size(), size_t(g_nshares + 1));
    for (size_t i = 2; i < names.size(); i++)
        EXPECT_LT(names[i - 1], names[i]);  // all names distinct (lower-case only here)
}

}  // namespace
