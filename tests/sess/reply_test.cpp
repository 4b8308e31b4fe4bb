// Reply completion (word count, Unicode flag, signing, raw answers), the
// status helpers and the request-name conversion.
#include <gtest/gtest.h>

#include <cstring>

#include "conn.h"
#include "smb1.h"

using namespace tb1s_test;

namespace {

// Once signing is active each request uses one sequence number and its
// reply the next, refused commands included; the server continues from the
// number the logon left.
TEST(Reply, SignedRepliesCountInPairsAndRefusalsAreSigned)
{
    session_rig g;
    g.s->logged_on = 1;
    g.s->signing = 1;
    g.s->uid = 1;
    g.s->sign_seq = 2;  // as after the logon: request 0, its reply 1
    for (int i = 0; i < 16; i++)
        g.s->sign_key[i] = uint8_t(i * 7 + 1);
    bytes key(g.s->sign_key, g.s->sign_key + 16);

    smb1_reply first = g.serve(echo_request(1));
    EXPECT_EQ(to_hex(first.signature), to_hex(smb1_signature(key, first.raw, 3)));
    EXPECT_EQ(first.flags2 & 0x0004, 0x0004);

    smb1_request write = echo_request(2);
    write.cmd = 0x2F;  // WRITE_ANDX
    smb1_reply refused = g.serve(write);
    EXPECT_EQ(refused.status, 0xC0000022u);
    EXPECT_EQ(to_hex(refused.signature), to_hex(smb1_signature(key, refused.raw, 5)));
    EXPECT_EQ(refused.flags2 & 0x0004, 0x0004);

    smb1_reply second = g.serve(echo_request(3));
    EXPECT_EQ(to_hex(second.signature), to_hex(smb1_signature(key, second.raw, 7)));
    EXPECT_EQ(g.s->sign_seq, 8u);

    // A 13-word logon adds its NT response to the MAC key.
    const uint8_t resp[5] = {9, 8, 7, 6, 5};
    std::memcpy(g.s->sign_resp, resp, sizeof resp);
    g.s->sign_resp_len = sizeof resp;
    smb1_reply third = g.serve(echo_request(4));
    bytes mac_key = key;
    mac_key.insert(mac_key.end(), resp, resp + sizeof resp);
    EXPECT_EQ(to_hex(third.signature), to_hex(smb1_signature(mac_key, third.raw, 9)));
}

TEST(Reply, SigningNeedsBothLogonAndSigningActive)
{
    for (int logged_on : {0, 1}) {
        for (int signing : {0, 1}) {
            if (logged_on && signing)
                continue;
            session_rig g;
            g.s->logged_on = logged_on;
            g.s->signing = signing;
            smb1_reply p = g.serve(echo_request(1));
            EXPECT_EQ(to_hex(p.signature), "0000000000000000") << logged_on << signing;
            EXPECT_EQ(g.s->sign_seq, 0u);
        }
    }
}

// rep_end: the announced word count, the Unicode flag, identifiers set by
// the handler after the header was built, and the 4-byte NetBIOS header.
TEST(Reply, CompletionRules)
{
    session_rig g;
    g.s->command = 0x2B;
    g.s->mid = 0x0102;
    struct row {
        int32_t wc;
        size_t body;
        int32_t unicode;
        uint8_t want_wc;
        size_t want_len;  // the message as sent
    } rows[] = {
        // Nothing after the header: WordCount 0, ByteCount 0, also when the
        // handler had announced words it then cut away.
        {-1, 0, 0, 0, 35}, {7, 0, 0, 0, 35},
        // Words alone get their ByteCount 0.
        {-1, 4, 0, 2, 39}, {-1, 6, 1, 3, 41}, {2, 4, 0, 2, 39},
        // Words and bytes: the handler wrote the ByteCount.
        {-1, 5, 0, 2, 38}, {2, 6, 0, 2, 39}, {0, 10, 1, 0, 43},
    };
    for (const row &r : rows) {
        tb1s_reply rep;
        rep_begin(g.s, &rep);
        for (size_t i = 0; i < r.body; i++)
            tb1s_buf_byte(&rep.buf, int(i));
        rep.wc = r.wc;
        rep.unicode = r.unicode;
        g.s->tid = 0x0BCD;  // as a tree connect does
        g.s->uid = 0x0003;
        rep_end(g.s, &rep, 0);
        ASSERT_GE(g.c.writes.size(), 2u);
        const bytes &head = g.c.writes[g.c.writes.size() - 2];
        smb1_reply p;
        ASSERT_TRUE(parse_reply(g.c.writes.back(), &p));
        EXPECT_EQ(to_hex(head), to_hex(bytes{0, 0, 0, uint8_t(r.want_len)}));
        EXPECT_EQ(p.raw.size(), r.want_len) << "wc " << r.wc << ", body " << r.body;
        EXPECT_EQ(p.wc, r.want_wc) << "wc " << r.wc << ", body " << r.body;
        EXPECT_EQ((p.flags2 & 0x8000) != 0, r.unicode != 0);
        EXPECT_EQ(p.tid, 0x0BCD);
        EXPECT_EQ(p.uid, 0x0003);
        EXPECT_EQ(p.mid, 0x0102);
        EXPECT_EQ(rep.buf.data, nullptr) << "the reply buffer is freed";
    }
}

TEST(Reply, NonSmb1AnswerGoesOutAsBuilt)
{
    session_rig g;
    g.s->logged_on = 1;
    g.s->signing = 1;
    g.s->mid = 0x7777;
    tb1s_reply rep;
    rep_begin(g.s, &rep);
    tb1s_buf_free(&rep.buf);
    bytes smb2 = {0xFE, 'S', 'M', 'B', 64, 0};
    smb2.resize(130, 0);
    tb1s_buf_put(&rep.buf, smb2.data(), smb2.size());
    rep.unicode = 1;
    rep_end(g.s, &rep, 1);
    ASSERT_EQ(g.c.writes.size(), 2u);
    EXPECT_EQ(g.c.writes[1], smb2);
    EXPECT_EQ(g.s->sign_seq, 0u);
}

TEST(Reply, StatusFollowsTheRequestForm)
{
    session_rig g;
    for (uint32_t flags2 : {0xC001u, 0x0001u}) {
        g.s->flags2 = flags2;
        tb1s_reply rep;
        rep_begin(g.s, &rep);
        rep_error(g.s, &rep, 0xC00000CC, TB1S_DOS_BAD_NAME);
        EXPECT_EQ(to_hex(rep.buf.data + 5, 4), flags2 & 0x4000 ? "cc0000c0" : "01000600");
        tb1s_buf_free(&rep.buf);
    }
    tb1s_reply shorty{};  // fewer than 32 bytes: nothing to store into
    tb1s_buf_put(&shorty.buf, "\xff" "SMB", 4);
    rep_status(&shorty, 0xC0000022);
    EXPECT_EQ(shorty.buf.len, 4u);
    tb1s_buf_free(&shorty.buf);
}

TEST(Reply, NameToUtf8)
{
    struct row {
        int32_t unicode;
        bytes field;
        int want;
        const char *text;
    } rows[] = {
        {1, le().utf16("a\\b", true), 0, "a\\b"},
        {1, le().utf16("ab", false), 0, "ab"},
        {1, {'x'}, 0, ""},
        {1, {}, 0, ""},
        {1, {'a', 0, 'b'}, -1, ""},                 // odd length
        {1, le().u16(0xD800).u16('a'), -1, ""},     // lone surrogate
        {1, le().u16(0xE9).u16(0), 0, "\xc3\xa9"},
        {0, le().ascii("dir\\f.txt", true), 0, "dir\\f.txt"},
        {0, le().ascii("plain", false), 0, "plain"},
        {0, {}, 0, ""},
        {0, bytes(2055, 'n'), 0, nullptr},
        {0, bytes(2056, 'n'), -1, nullptr},
    };
    session_rig g;
    for (const row &r : rows) {
        g.s->unicode = r.unicode;
        char out[TB1S_NAME_MAX];
        int got = name_to_utf8(g.s, r.field.data(), r.field.size(), out);
        std::string what = to_hex(r.field).substr(0, 40) + (r.unicode ? " (UTF-16)" : " (8-bit)");
        EXPECT_EQ(got != 0 ? -1 : 0, r.want) << what;
        if (r.want != 0)
            continue;
        if (r.text) {
            EXPECT_STREQ(out, r.text) << what;
        } else {
            EXPECT_EQ(std::string(out).size(), r.field.size()) << what;
        }
    }
}

}  // namespace
