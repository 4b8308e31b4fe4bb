#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "util/buf.h"
#include "util/vpath.h"

using namespace tb1s;

namespace {

constexpr int32_t k_area = 1026;  // the output area callers pass

// n one-byte components "a/a/...".
std::string components(int n)
{
    std::string s;
    for (int i = 0; i < n; i++)
        s += i ? "/a" : "a";
    return s;
}

TEST(Vpath, Normalises)
{
    struct row {
        const char *name;
        const char *want;
    };
    const row rows[] = {
        {"", ""},
        {"/", ""},
        {"\\/\\//", ""},
        {"Music", "Music"},
        {"/Music//Albums/", "Music/Albums"},
        {"\\Music\\\\Albums\\", "Music/Albums"},
        {"\\Music/\\Albums/", "Music/Albums"},
        {".a/ a/a.b/...x", ".a/ a/a.b/...x"},
        {"caf\xc3\xa9/x:*?<>|\"", "caf\xc3\xa9/x:*?<>|\""},
    };
    for (const row &r : rows) {
        char out[k_area];
        std::memset(out, 'Z', sizeof out);
        EXPECT_EQ(tb1s_vpath(r.name, out, k_area), 0) << "'" << r.name << "'";
        EXPECT_STREQ(out, r.want) << "'" << r.name << "'";
    }
    char out[k_area] = "junk";
    EXPECT_EQ(tb1s_vpath(nullptr, out, k_area), 0);
    EXPECT_STREQ(out, "") << "no name is the share root";
}

TEST(Vpath, Refusals)
{
    const std::string c255(255, 'c'), c256(256, 'c');
    struct row {
        std::string name;
        const char *message;
    };
    const row rows[] = {
        {"Music/./x", "\".\" is not a valid name component"},
        {"Music/../x", "\"..\" is not a valid name component"},
        {"..", "\"..\" is not a valid name component"},
        {"x/...", "name component ends in a dot or a space"},
        {"a.", "name component ends in a dot or a space"},
        {"x/y ", "name component ends in a dot or a space"},
        {"x/a\tb", "control byte in a name component"},
        {"x/a\x7f", "control byte in a name component"},
        {"x/\x1f.", "control byte in a name component"},  // control byte is tested before the trailing dot
        {"x/" + c256, "name component longer than 255 bytes"},
        {c256 + ".", "name component longer than 255 bytes"},  // length before the trailing dot
        {components(65), "deeper than 64 components"},
        {std::string(2049, '/'), "name longer than 2048 bytes"},
        {std::string(3000, 'a'), "name longer than 2048 bytes"},
    };
    for (const row &r : rows) {
        char out[k_area] = "junk";
        tb1s_set_error("none");
        EXPECT_EQ(tb1s_vpath(r.name.c_str(), out, k_area), TB1S_VPATH_REFUSED) << r.name.substr(0, 40);
        EXPECT_STREQ(tb1s_error(), r.message) << r.name.substr(0, 40);
        EXPECT_STREQ(out, "") << "a refusal leaves an empty output";
    }
}

TEST(Vpath, Limits)
{
    char out[k_area];
    const std::string c255(255, 'c');
    EXPECT_EQ(tb1s_vpath(components(64).c_str(), out, k_area), 0);
    EXPECT_EQ(tb1s_vpath(c255.c_str(), out, k_area), 0);
    // Separators do not count towards the component limit or the path limit.
    std::string padded = std::string(2048 - 1, '/') + "a";
    EXPECT_EQ(tb1s_vpath(padded.c_str(), out, k_area), 0);
    EXPECT_STREQ(out, "a");

    // 255 + 255 + 255 + 254 + 1 bytes and four separators: 1024 bytes.
    const std::string c254(254, 'c');
    std::string exact = c255 + "/" + c255 + "/" + c255 + "/" + c254 + "/d";
    ASSERT_EQ(exact.size(), 1024u);
    EXPECT_EQ(tb1s_vpath(exact.c_str(), out, k_area), 0);
    EXPECT_EQ(std::string(out), exact);
    std::vector<char> tight(1025);
    EXPECT_EQ(tb1s_vpath(exact.c_str(), tight.data(), 1025), 0) << "1024 bytes and the NUL fit in 1025";

    tb1s_set_error("none");
    EXPECT_EQ(tb1s_vpath(exact.c_str(), out, 1024), TB1S_VPATH_NOROOM);
    EXPECT_STREQ(tb1s_error(), "the name needs 1025 bytes");
    EXPECT_EQ(tb1s_vpath("ab", nullptr, 0), TB1S_VPATH_NOROOM);
    EXPECT_STREQ(tb1s_error(), "the name needs 3 bytes");
    EXPECT_EQ(tb1s_vpath("", nullptr, 0), TB1S_VPATH_NOROOM);
    EXPECT_STREQ(tb1s_error(), "the name needs 1 bytes");

    // One byte more anywhere is refused, before the output area is looked at.
    std::string over = exact + "d";
    EXPECT_EQ(tb1s_vpath(over.c_str(), out, k_area), TB1S_VPATH_REFUSED);
    EXPECT_STREQ(tb1s_error(), "path longer than 1024 bytes");
    EXPECT_EQ(tb1s_vpath(over.c_str(), nullptr, 0), TB1S_VPATH_REFUSED);

    // A 2048-byte name is looked at, a 2049-byte one is not.
    std::string at_limit = std::string(2047, '/') + "\x01";
    EXPECT_EQ(tb1s_vpath(at_limit.c_str(), out, k_area), TB1S_VPATH_REFUSED);
    EXPECT_STREQ(tb1s_error(), "control byte in a name component");
}

TEST(PatCheck, Cases)
{
    struct row {
        std::string pattern;
        int32_t want;
        const char *message;
    };
    const row rows[] = {
        {"", 0, nullptr},
        {"*", 0, nullptr},
        {"*.mp3", 0, nullptr},
        {"a?b<>\"", 0, nullptr},
        {std::string(512, '*'), 0, nullptr},
        {"a/*", -1, "the pattern is a leaf name only"},
        {"a\\*", -1, "the pattern is a leaf name only"},
        {"a\tb", -1, "control byte in the pattern"},
        {"\x7f", -1, "control byte in the pattern"},
        {"\x01/", -1, "control byte in the pattern"},  // the first offending byte decides
        {"/\x01", -1, "the pattern is a leaf name only"},
        {std::string(513, 'a'), -1, "pattern longer than 512 bytes"},
        {std::string(513, '/'), -1, "pattern longer than 512 bytes"},
    };
    for (const row &r : rows) {
        tb1s_set_error("none");
        EXPECT_EQ(tb1s_pat_check(r.pattern.c_str()), r.want) << r.pattern.substr(0, 20);
        EXPECT_STREQ(tb1s_error(), r.message ? r.message : "none") << r.pattern.substr(0, 20);
    }
    EXPECT_EQ(tb1s_pat_check(nullptr), -1);
    EXPECT_STREQ(tb1s_error(), "NULL pattern");
}

}  // namespace
