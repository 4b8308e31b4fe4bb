#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support.h"
#include "util/text.h"

using namespace tb1s;

using tb1s_test::bytes;
using tb1s_test::from_hex;
using tb1s_test::to_hex;

namespace {

// Inputs with an explicit length are copied into a heap block of exactly that
// size, so AddressSanitizer reports any read past the given length.
std::vector<char> exact(const std::string &s) { return std::vector<char>(s.begin(), s.end()); }

TEST(HexDecode, Cases)
{
    struct row {
        std::string text;
        int rc;
        const char *want;  // decoded bytes as hex when rc == 0
    };
    const row rows[] = {
        {"", 0, ""},
        {"0a0B", 0, "0a0b"},
        {" 0a\r\n0b\t", 0, "0a0b"},
        {"4 1", 0, "41"},  // whitespace between the two digits of one byte
        {"0a0", -1, nullptr},
        {"0x0a", -1, nullptr},
        {"0g", -1, nullptr},
        {std::string("0a\0" "0b", 5), -1, nullptr},
        {"0a\v0b", -1, nullptr},  // vertical tab is not whitespace here
        {"0a\f0b", -1, nullptr},
    };
    for (const row &r : rows) {
        std::vector<char> text = exact(r.text);
        uint8_t out[16];
        uint64_t count = 99;
        int rc = tb1s_hex_decode(text.data(), text.size(), out, sizeof out, &count);
        EXPECT_EQ(rc, r.rc) << "text '" << r.text << "'";
        if (r.rc == 0) {
            EXPECT_EQ(to_hex(out, count), r.want) << "text '" << r.text << "'";
        } else {
            EXPECT_EQ(count, 0u) << "a failed decode leaves the count at 0";
        }
    }
}

TEST(HexDecode, CapacityAndCounting)
{
    std::vector<char> text = exact("0a0b");
    uint8_t one[1];
    uint64_t count = 7;
    EXPECT_EQ(tb1s_hex_decode(text.data(), text.size(), one, sizeof one, &count), -1);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(tb1s_hex_decode(text.data(), text.size(), nullptr, 0, &count), 0) << "counting has no limit";
    EXPECT_EQ(count, 2u);
    std::vector<uint8_t> two(2);
    EXPECT_EQ(tb1s_hex_decode(text.data(), text.size(), two.data(), two.size(), nullptr), 0);
    EXPECT_EQ(to_hex(two), "0a0b");
}

TEST(HexEncode, LowerCaseNoSeparators)
{
    tb1s_buf b{};
    tb1s_buf_str(&b, ">");
    const uint8_t in[] = {0x00, 0xAB, 0xFF};
    tb1s_hex_encode(in, sizeof in, &b);
    EXPECT_STREQ(reinterpret_cast<char *>(b.data), ">00abff");
    EXPECT_EQ(b.len, 7u);
    tb1s_buf_free(&b);
}

TEST(HexEncode, RoundTripsThroughDecode)
{
    bytes all(256);
    for (int i = 0; i < 256; i++)
        all[i] = uint8_t(i);
    tb1s_buf b{};
    tb1s_hex_encode(all.data(), all.size(), &b);
    ASSERT_EQ(b.oom, 0);
    std::vector<uint8_t> back(256);
    uint64_t count = 0;
    ASSERT_EQ(tb1s_hex_decode(reinterpret_cast<char *>(b.data), b.len, back.data(), back.size(), &count), 0);
    EXPECT_EQ(count, 256u);
    EXPECT_EQ(back, all);
    tb1s_buf_free(&b);
}

TEST(Utf16ToUtf8, Cases)
{
    struct row {
        const char *units;  // UTF-16LE source bytes as hex
        int32_t cap;
        int32_t rc;
        const char *want;  // UTF-8 result as hex when rc >= 0
    };
    const row rows[] = {
        {"4100 e900 ac20", 16, 6, "41c3a9e282ac"},
        {"3dd8 00de", 16, 4, "f09f9880"},
        {"", 1, 0, ""},
        {"ff07", 8, 2, "dfbf"},     // U+07FF, the last two-byte form
        {"0008", 8, 3, "e0a080"},   // U+0800, the first three-byte form
        {"ffdb ffdf", 8, 4, "f48fbfbf"},  // U+10FFFF
        {"00de", 16, -1, nullptr},        // lone low surrogate
        {"4100 3dd8", 16, -1, nullptr},   // high surrogate at the end
        {"3dd8 4100", 16, -1, nullptr},   // high surrogate followed by a non-surrogate
        {"3dd8 3dd8 00de", 16, -1, nullptr},
        {"4100 0000", 16, -1, nullptr},   // NUL unit inside the length
        {"410042", 16, -1, nullptr},      // odd length
        {"4100 4200", 2, -1, nullptr},    // no room for the NUL
        {"4100 4200", 3, 2, "4142"},
        {"e900", 2, -1, nullptr},         // two-byte sequence and NUL need 3
        {"3dd8 00de", 4, -1, nullptr},
        {"", 0, -1, nullptr},
    };
    for (const row &r : rows) {
        bytes src = from_hex(r.units);
        std::vector<char> out(size_t(r.cap > 0 ? r.cap : 1), 'Z');
        int32_t rc = tb1s_utf16_to_utf8(src.data(), src.size(), out.data(), r.cap);
        EXPECT_EQ(rc, r.rc) << "units " << r.units << " cap " << r.cap;
        if (r.rc >= 0 && rc == r.rc) {
            EXPECT_EQ(to_hex(reinterpret_cast<uint8_t *>(out.data()), size_t(rc)), r.want) << r.units;
            EXPECT_EQ(out[size_t(rc)], 0) << "terminated after the text";
        }
    }
}

TEST(Utf8ToUtf16, Cases)
{
    struct row {
        const char *utf8;  // source bytes as hex (the NUL is added)
        int32_t cap;
        int rc;
        const char *want;  // UTF-16LE as hex when rc == 0
    };
    const row rows[] = {
        {"41", 8, 0, "4100"},
        {"", 0, 0, ""},
        {"f09f9880", 8, 0, "3dd800de"},
        {"c3a9e282ac", 8, 0, "e900ac20"},
        {"c0af", 8, -1, nullptr},        // overlong '/'
        {"c080", 8, -1, nullptr},        // overlong NUL
        {"f4908080", 8, -1, nullptr},    // above U+10FFFF
        {"eda080", 8, -1, nullptr},      // encoded surrogate
        {"80", 8, -1, nullptr},          // lone continuation byte
        {"f8808080", 8, -1, nullptr},    // five-byte lead
        {"c3", 8, -1, nullptr},          // text ends inside a sequence
        {"e282", 8, -1, nullptr},
        {"c341", 8, -1, nullptr},        // continuation of the wrong form
        {"4142", 3, -1, nullptr},        // second unit does not fit
        {"f09f9880", 3, -1, nullptr},    // a pair needs four bytes
    };
    for (const row &r : rows) {
        bytes src = from_hex(r.utf8);
        std::vector<char> text(src.begin(), src.end());
        text.push_back(0);
        std::vector<uint8_t> out(size_t(r.cap > 0 ? r.cap : 1));
        int32_t written = 99;
        int rc = tb1s_utf8_to_utf16le(text.data(), out.data(), r.cap, &written);
        EXPECT_EQ(rc, r.rc) << "utf8 " << r.utf8;
        if (r.rc == 0 && rc == 0) {
            EXPECT_EQ(to_hex(out.data(), size_t(written)), r.want) << "utf8 " << r.utf8;
        }
        if (r.rc != 0) {
            EXPECT_EQ(written, 0) << "utf8 " << r.utf8;
        }
    }
}

TEST(Utf8ToUtf16, RoundTripsThroughUtf16ToUtf8)
{
    const char *text = "Caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 x";
    uint8_t units[64];
    int32_t n = 0;
    ASSERT_EQ(tb1s_utf8_to_utf16le(text, units, sizeof units, &n), 0);
    char back[64];
    ASSERT_EQ(tb1s_utf16_to_utf8(units, uint64_t(n), back, sizeof back), int32_t(std::string(text).size()));
    EXPECT_STREQ(back, text);
}

// The one UTF-8 decoder: each input sits at the very end of its heap block
// (with its NUL), so a read past the text is an AddressSanitizer error.
TEST(Utf8Decode, WellFormedBoundariesAndMalformedSequences)
{
    struct row {
        const char *utf8;  // bytes as hex
        int len;           // 0: malformed
        uint32_t cp;
    };
    const row rows[] = {
        {"00", 1, 0},
        {"7f", 1, 0x7F},
        {"c280", 2, 0x80},        // the first of each length
        {"e0a080", 3, 0x800},
        {"f0908080", 4, 0x10000},
        {"dfbf", 2, 0x7FF},       // the last of each length
        {"efbfbf", 3, 0xFFFF},
        {"f48fbfbf", 4, 0x10FFFF},
        {"ed9fbf", 3, 0xD7FF},    // around the surrogates
        {"ee8080", 3, 0xE000},
        {"c3a941", 2, 0xE9},      // what follows is not part of it
        {"c0af", 0, 0},           // overlong '/', two, three and four bytes
        {"e080af", 0, 0},
        {"f08080af", 0, 0},
        {"c080", 0, 0},           // overlong NUL
        {"c1bf", 0, 0},
        {"e09fbf", 0, 0},         // overlong U+07FF
        {"f08fbfbf", 0, 0},       // overlong U+FFFF
        {"eda080", 0, 0},         // U+D800
        {"edbfbf", 0, 0},         // U+DFFF
        {"f4908080", 0, 0},       // U+110000
        {"f5808080", 0, 0},
        {"f888808080", 0, 0},     // five- and six-byte forms
        {"fc8480808080", 0, 0},
        {"fe", 0, 0},
        {"ff", 0, 0},
        {"80", 0, 0},             // stray continuation bytes
        {"bf", 0, 0},
        {"c2", 0, 0},             // text ends inside the sequence
        {"e282", 0, 0},
        {"f09f98", 0, 0},
        {"c241", 0, 0},           // a continuation of the wrong form
        {"e28241", 0, 0},
        {"c2c280", 0, 0},
    };
    for (const row &r : rows) {
        bytes src = from_hex(r.utf8);
        if (src.back() != 0)
            src.push_back(0);
        std::vector<char> text(src.begin(), src.end());  // a block of exactly this size
        uint32_t cp = 0xDEAD;
        EXPECT_EQ(tb1s_utf8_next(text.data(), &cp), r.len) << "utf8 " << r.utf8;
        if (r.len > 0) {
            EXPECT_EQ(cp, r.cp) << "utf8 " << r.utf8;
        }
        EXPECT_EQ(tb1s_utf8_valid(text.data()), r.len > 0 ? 1 : 0) << "utf8 " << r.utf8;
    }
    EXPECT_EQ(tb1s_utf8_valid("a\xc0\xaf" "b"), 0);
    EXPECT_EQ(tb1s_utf8_valid("caf\xc3\xa9 \xf0\x9f\x98\x80"), 1);
    EXPECT_EQ(tb1s_utf8_valid(""), 1);
    EXPECT_EQ(tb1s_utf8_valid(nullptr), 0);
}

TEST(CaseMap, FoldingAndUpperCase)
{
    struct row {
        uint32_t cp, fold, upper;
    };
    const row rows[] = {
        {'A', 'a', 'A'},
        {'a', 'a', 'A'},
        {'[', '[', '['},
        {0xC9, 0xE9, 0xC9},      // É
        {0xE9, 0xE9, 0xC9},      // é
        {0xDF, 0xDF, 0xDF},      // ß: no simple mapping either way
        {0xFF, 0xFF, 0x178},     // ÿ, whose capital lies in another block
        {0x178, 0xFF, 0x178},
        {0xB5, 0x3BC, 0x39C},    // micro sign
        {0x3A3, 0x3C3, 0x3A3},   // Σ, σ and final ς fold together
        {0x3C2, 0x3C3, 0x3A3},
        {0x17F, 's', 'S'},       // long s
        {0x212A, 'k', 0x212A},   // Kelvin sign
        {0x130, 0x130, 0x130},   // İ folds only in the full and Turkic forms
        {0x131, 0x131, 'I'},     // ı
        {0x1C5, 0x1C6, 0x1C4},   // title-case ǅ
        {0x100, 0x101, 0x100},   // alternating capital and small letters
        {0x101, 0x101, 0x100},
        {0x10400, 0x10428, 0x10400},  // beyond the BMP
        {0x10428, 0x10428, 0x10400},
        {0x4E2D, 0x4E2D, 0x4E2D},
        {0x10FFFF, 0x10FFFF, 0x10FFFF},
    };
    for (const row &r : rows) {
        EXPECT_EQ(tb1s_ufold(r.cp), r.fold) << std::hex << "U+" << r.cp;
        EXPECT_EQ(tb1s_uupper(r.cp), r.upper) << std::hex << "U+" << r.cp;
    }
}

TEST(CaseMap, UnicodeCompareIsAsciiCompareOnAscii)
{
    for (int a = 1; a < 128; a++) {
        for (int b = 1; b < 128; b++) {
            char x[] = {char(a), 'q', 0}, y[] = {char(b), 0};
            ASSERT_EQ(tb1s_ucasecmp(x, y), tb1s_casecmp(x, y)) << a << " vs " << b;
            ASSERT_EQ(tb1s_ucasecmp(y, x), tb1s_casecmp(y, x)) << b << " vs " << a;
        }
    }
}

TEST(CaseMap, UnicodeCompare)
{
    struct row {
        const char *a, *b;
        int sign;
    };
    const row rows[] = {
        {"caf\xc3\xa9", "CAF\xc3\x89", 0},
        {"\xce\xa3\xce\x91\xce\xa3", "\xcf\x83\xce\xb1\xcf\x82", 0},  // ΣΑΣ, σας
        {"stra\xc3\x9f" "e", "STRASSE", 1},   // simple folding keeps ß one letter
        {"\xe2\x84\xaa", "K", 0},           // Kelvin sign
        {"caf\xc3\xa9", "cafe", 1},
        {"\xc3\xa9", "\xc3\xa9t\xc3\xa9", -1},
        {"a\xc0\xaf" "b", "a/b", 1},  // a malformed byte is not the character it spells
        {"\xff", "\xff", 0},
        {"\xff", "\xf4\x8f\xbf\xbf", 1},  // above every code point
        {"", nullptr, 0},
    };
    for (const row &r : rows) {
        int c = tb1s_ucasecmp(r.a, r.b);
        EXPECT_EQ((c > 0) - (c < 0), r.sign) << "'" << r.a << "' vs '" << (r.b ? r.b : "(null)") << "'";
        int back = tb1s_ucasecmp(r.b, r.a);
        EXPECT_EQ((back > 0) - (back < 0), -r.sign) << "reversed";
    }
}

TEST(CaseMap, Utf16UpperCase)
{
    // "jösé", a Deseret small letter as a surrogate pair, then a lone
    // trailing byte of an odd length.
    bytes units = from_hex("6a00 f600 7300 e900 01d8 28dc 61");
    tb1s_utf16_upper(units.data(), units.size());
    EXPECT_EQ(to_hex(units), "4a00d6005300c90001d828dc61") << "the pair and the odd byte stay";
}

TEST(CaseCompare, Cases)
{
    EXPECT_EQ(tb1s_casecmp("Music", "MUSIC"), 0);
    EXPECT_LT(tb1s_casecmp("a", "B"), 0);
    EXPECT_GT(tb1s_casecmp("b", "A"), 0);
    EXPECT_EQ(tb1s_casecmp("", ""), 0);
    EXPECT_LT(tb1s_casecmp("ab", "abc"), 0) << "a prefix sorts first";
    EXPECT_EQ(tb1s_casecmp("[", "{"), '[' - '{') << "only letters fold";
    EXPECT_NE(tb1s_casecmp("\xc4", "\xe4"), 0) << "no folding beyond ASCII";
    EXPECT_GT(tb1s_casecmp("\xe4", "a"), 0) << "bytes compare unsigned";

    EXPECT_EQ(tb1s_ncasecmp("IPC$x", "ipc$y", 4), 0);
    EXPECT_NE(tb1s_ncasecmp("IPC$x", "ipc$y", 5), 0);
    EXPECT_EQ(tb1s_ncasecmp("a", "b", 0), 0);
    EXPECT_EQ(tb1s_ncasecmp("ab", "AB", 100), 0) << "stops at the terminator";
}

TEST(GlobMatch, Cases)
{
    struct row {
        const char *pattern, *name;
        int want;
    };
    const row rows[] = {
        {"*", "", 1},
        {"*", "anything.at.all", 1},
        {"", "", 1},
        {"", "a", 0},
        {"*.MP3", "song.mp3", 1},
        {"*.MP3", "song.mp3x", 0},
        {"a?c", "ABC", 1},
        {"a?c", "ac", 0},
        {"*.*", "Music", 0},
        {"*.*", "a.b", 1},
        {"**", "xyz", 1},
        {"**", "", 1},
        {"a*b*c", "aXbYbZc", 1},
        {"a*b*c", "aXbYbZ", 0},
        {"*a", "aaaa", 1},
        {"*ab", "aab", 1},  // the star must give back what it took
        {"?", "", 0},
        {"??", "\xc3\xa9", 1},  // one '?' per byte
        {"<", "<", 1},
        {"a<", "ab", 0},
    };
    for (const row &r : rows)
        EXPECT_EQ(tb1s_glob_match(r.pattern, r.name), r.want) << "'" << r.pattern << "' vs '" << r.name << "'";
}

TEST(GlobMatch, PathologicalPatternStaysQuick)
{
    // Exponential backtracking would take ages here; one remembered star is
    // quadratic at worst.
    std::string name(2000, 'a');
    std::string pattern;
    for (int i = 0; i < 50; i++)
        pattern += "*a";
    pattern += "b";
    EXPECT_EQ(tb1s_glob_match(pattern.c_str(), name.c_str()), 0);
}

TEST(Fnv1a64, PublishedValuesAndContinuation)
{
    EXPECT_EQ(tb1s_fnv1a64("", 0, TB1S_FNV_BASIS), TB1S_FNV_BASIS);
    EXPECT_EQ(tb1s_fnv1a64("x", 0, 1234), 1234u);
    EXPECT_EQ(tb1s_fnv1a64("a", 1, TB1S_FNV_BASIS), 0xAF63DC4C8601EC8CULL);
    EXPECT_EQ(tb1s_fnv1a64("foobar", 6, TB1S_FNV_BASIS), 0x85944171F73967E8ULL);
    uint64_t split = tb1s_fnv1a64("bar", 3, tb1s_fnv1a64("foo", 3, TB1S_FNV_BASIS));
    EXPECT_EQ(split, 0x85944171F73967E8ULL);
}

}  // namespace
