// NEGOTIATE: the dialect list, the extended-security answer and its derived
// values, the refusals and the SMB2 answer.
#include <gtest/gtest.h>

#include <cstring>

#include "cfg/stats.h"
#include "conn.h"
#include "logon.h"
#include "smb1.h"

using namespace tb1s;

using namespace tb1s_test;

namespace {

const bytes k_id_a = from_hex("ec2202864cfc63af");    // server identifier for 'A'
const bytes k_chal_a = from_hex("2d58e831a660d52e");  // challenge for 'A' at 1000000000

// A NEGOTIATE with these bytes after the header (WordCount onwards).
smb1_request raw_negotiate(const bytes &body)
{
    smb1_request r;
    r.cmd = 0x72;
    r.wc = body.empty() ? 0 : body[0];
    r.words = body.empty() ? bytes{} : bytes(body.begin() + 1, body.end());
    r.omit_byte_count = true;
    return r;
}

// Every field of the SMB1 answer, with the values that do not depend on
// the options; the known answers for server_name 'A' at clock 1000000000.
TEST(Negotiate, AnswerWordsIdentifierAndChallenge)
{
    smb1_world g;
    g.set("server_name", "A");
    g.set("clock", "1000000000");
    for (const char *signing : {"enabled", "required"}) {
        g.set("signing", signing);
        session_rig rig(g);
        stat_watch w;
        smb1_reply p = rig.serve(negotiate_request({"PC NETWORK PROGRAM 1.0", "LANMAN1.0", "NT LM 0.12"}));
        ASSERT_EQ(p.status, 0u) << signing;
        ASSERT_EQ(p.wc, 17);
        le words;
        words.u16(2).u8(std::string(signing) == "required" ? 0x0F : 0x07).u16(2).u16(1).u32(65536).u32(65536);
        words.u32(0).u32(0x8000005C).u64(filetime_of(1000000000)).u16(0).u8(0);
        EXPECT_EQ(to_hex(p.words), to_hex(words)) << signing;
        bytes guid = k_id_a;
        guid.insert(guid.end(), k_id_a.begin(), k_id_a.end());
        ASSERT_GE(p.data.size(), 16u);
        EXPECT_EQ(to_hex(bytes(p.data.begin(), p.data.begin() + 16)), to_hex(guid));
        EXPECT_EQ(p.byte_count, p.data.size());

        bytes chal, info;
        ASSERT_TRUE(read_challenge(ntlm_in(reply_blob(p)), &chal, &info)) << "the blob carries a CHALLENGE_MESSAGE";
        EXPECT_EQ(to_hex(chal), to_hex(k_chal_a));
        EXPECT_EQ(to_hex(bytes(rig.s->challenge, rig.s->challenge + 8)), to_hex(k_chal_a));
        EXPECT_EQ(rig.s->ext_sec, 1);
        EXPECT_EQ(w.delta(STAT_NEGOTIATE), 0) << "only the SMB2 answer counts";
        EXPECT_EQ(w.delta(STAT_PROTOCOL_ERRORS), 0);

        // A second NEGOTIATE is answered alike and counts a protocol error.
        smb1_reply again = rig.serve(negotiate_request());
        EXPECT_EQ(again.status, 0u);
        EXPECT_EQ(to_hex(again.data), to_hex(p.data)) << "same name and time give the same values";
        EXPECT_EQ(again.word(0), 0) << "DialectIndex of the second list";
        EXPECT_EQ(w.delta(STAT_PROTOCOL_ERRORS), 1);
    }
}

// With the system clock the challenge is fresh random bytes for every
// NEGOTIATE, on one connection and across connections; the identifier
// stays that of the name.
TEST(Negotiate, ChallengeIsFreshWithTheSystemClock)
{
    smb1_world g;
    g.set("server_name", "A");
    auto challenge_of = [](const smb1_reply &p) {
        bytes chal, info;
        EXPECT_TRUE(read_challenge(ntlm_in(reply_blob(p)), &chal, &info));
        return to_hex(chal);
    };
    session_rig one(g), two(g);
    smb1_reply a = one.serve(negotiate_request());
    smb1_reply b = one.serve(negotiate_request());
    smb1_reply c = two.serve(negotiate_request());
    ASSERT_EQ(a.status, 0u);
    ASSERT_EQ(c.status, 0u);
    EXPECT_NE(challenge_of(a), challenge_of(b)) << "a second NEGOTIATE on the connection";
    EXPECT_NE(challenge_of(a), challenge_of(c)) << "another connection in the same second";
    EXPECT_NE(challenge_of(a), to_hex(k_chal_a)) << "not the derivation of the fixed clock";
    EXPECT_EQ(challenge_of(c), to_hex(bytes(two.s->challenge, two.s->challenge + 8)));
    EXPECT_EQ(to_hex(bytes(c.data.begin(), c.data.begin() + 8)), to_hex(k_id_a));
}

// The random source is asked for exactly the 8 bytes and its bytes are the
// challenge; when it fails, no challenge goes out and the connection ends.
TEST(Negotiate, FailingRandomSourceFailsTheNegotiate)
{
    smb1_world g;
    int calls = 0;
    g.random = [&calls](uint8_t *out, uint32_t n) {
        calls++;
        for (uint32_t i = 0; i < n; i++)
            out[i] = uint8_t(0xA0 + i);
        return n == 8 ? 0 : -1;
    };
    session_rig ok(g);
    smb1_reply p = ok.serve(negotiate_request());
    ASSERT_EQ(p.status, 0u);
    bytes chal, info;
    ASSERT_TRUE(read_challenge(ntlm_in(reply_blob(p)), &chal, &info));
    EXPECT_EQ(to_hex(chal), "a0a1a2a3a4a5a6a7");
    EXPECT_EQ(calls, 1);

    g.random = [](uint8_t *out, uint32_t n) {
        std::memset(out, 0x11, n);  // whatever a failing source left behind is not used
        return -1;
    };
    for (bool nt : {true, false}) {
        stat_watch w;
        conn c(g);
        smb1_request r = negotiate_request();
        r.flags2 = nt ? 0xC801 : 0x8801;
        c.feed(smb1_frame(r)).feed(smb1_frame(echo_request()));
        c.run();
        ASSERT_EQ(c.writes.size(), 2u) << "the refusal, then the end: the ECHO is not served";
        smb1_reply q;
        ASSERT_TRUE(parse_reply(c.writes[1], &q));
        EXPECT_EQ(q.status, nt ? NT_STATUS_INSUFFICIENT_RESOURCES : tb1s_dos_pair(NT_STATUS_INSUFFICIENT_RESOURCES));
        EXPECT_EQ(q.raw.size(), 35u) << "no words, no blob, no challenge";
        EXPECT_EQ(w.delta(STAT_PROTOCOL_ERRORS), 0);
    }
    // A fixed clock needs no random bytes.
    g.set("clock", "1000000000");
    g.set("server_name", "A");
    session_rig fixed(g);
    EXPECT_EQ(fixed.serve(negotiate_request()).status, 0u);
    EXPECT_EQ(to_hex(bytes(fixed.s->challenge, fixed.s->challenge + 8)), to_hex(k_chal_a));
}

TEST(Negotiate, DefaultNameGivesA215ByteBlob)
{
    smb1_world g;
    g.set("server_name", "TALVERNBEACON");
    smb1_reply p = session_rig(g).serve(negotiate_request());
    EXPECT_EQ(reply_blob(p).size(), 215u);
    EXPECT_EQ(p.byte_count, 231);
    // The time is the wall clock when the option is 0.
    EXPECT_NE(p.words[24] | p.words[25] << 8 | p.words[26] << 16, 0);
}

TEST(Negotiate, DialectLists)
{
    smb1_world g;
    std::vector<std::string> many(32, "LANMAN1.0");
    std::vector<std::string> last_of_32 = many;
    last_of_32[31] = "NT LM 0.12";
    std::vector<std::string> thirty_third = many;
    thirty_third.push_back("NT LM 0.12");
    struct row {
        const char *what;
        bytes body;      // from WordCount on
        int32_t index;   // -1: refused with NOT_SUPPORTED
    } rows[] = {
        {"third of three", smb1_message(negotiate_request({"PC NETWORK PROGRAM 1.0", "LANMAN1.0", "NT LM 0.12"})), 2},
        {"lower case", smb1_message(negotiate_request({"nt lm 0.12"})), 0},
        {"32nd", smb1_message(negotiate_request(last_of_32)), 31},
        {"33rd is not examined", smb1_message(negotiate_request(thirty_third)), -1},
        {"after a 65-byte string", smb1_message(negotiate_request({std::string(65, 'x'), "NT LM 0.12"})), 0},
        {"after a 64-byte string", smb1_message(negotiate_request({std::string(64, 'x'), "NT LM 0.12"})), 1},
        {"offered twice: the later index", smb1_message(negotiate_request({"NT LM 0.12", "X", "NT LM 0.12"})), 2},
        {"after an empty string", smb1_message(negotiate_request({"", "NT LM 0.12"})), -1},
        {"longer name", smb1_message(negotiate_request({"NT LM 0.123"})), -1},
        {"prefix", smb1_message(negotiate_request({"NT LM 0.1"})), -1},
        {"none", smb1_message(negotiate_request({})), -1},
    };
    for (row &r : rows)
        r.body.erase(r.body.begin(), r.body.begin() + 32);
    // Bytes that are not 0x02 are stepped over; the last string may end
    // with the message.
    rows[9] = {"junk, then a string without its NUL", le().raw(from_hex("000000ff02")).ascii("NT LM 0.12", false), 0};
    rows[10] = {"0x02 as the last byte", from_hex("0004 00 02 4e 54 02"), -1};
    for (const row &r : rows) {
        session_rig rig(g);
        stat_watch w;
        smb1_reply p = rig.serve(raw_negotiate(r.body));
        if (r.index < 0) {
            EXPECT_EQ(p.status, NT_STATUS_NOT_SUPPORTED) << r.what;
            EXPECT_EQ(p.raw.size(), 35u) << r.what;
            EXPECT_EQ(w.delta(STAT_PROTOCOL_ERRORS), 1) << r.what;
        } else {
            EXPECT_EQ(p.status, 0u) << r.what;
            EXPECT_EQ(p.word(0), r.index) << r.what;
        }
    }
}

// Refusals keep the connection; a body too short to hold a list ends it.
TEST(Negotiate, RefusalsAndShortBodies)
{
    smb1_world g;
    struct row {
        const char *what;
        const char *smb1;
        smb1_request r;
        bool nt;
        uint32_t status;
        bool closes;
    } rows[] = {
        {"SMB1 off, NT status", "0", negotiate_request(), true, NT_STATUS_REQUEST_NOT_SUPPORTED, false},
        {"SMB1 off, DOS error", "0", negotiate_request(), false, TB1S_DOS_SRV_ERROR, false},
        {"no NT LM 0.12, DOS error", "1", negotiate_request({"LANMAN1.0"}), false, TB1S_DOS_SRV_ERROR, false},
        {"body of the WordCount alone", "1", raw_negotiate({0}), true, 0, true},
    };
    for (row &r : rows) {
        g.set("allow_smb1", r.smb1);
        r.r.flags2 = r.nt ? 0xC801 : 0x8801;
        stat_watch w;
        conn c(g);
        c.feed(smb1_frame(r.r)).feed(smb1_frame(echo_request()));
        c.run();
        ASSERT_GE(c.writes.size(), 2u) << r.what;
        smb1_reply p;
        ASSERT_TRUE(parse_reply(c.writes[1], &p)) << r.what;
        EXPECT_EQ(p.status, r.status) << r.what;
        EXPECT_EQ(p.raw.size(), 35u) << r.what;
        EXPECT_EQ(c.writes.size(), r.closes ? 2u : 4u) << r.what << ": the ECHO after it";
        EXPECT_EQ(w.delta(STAT_PROTOCOL_ERRORS), 1) << r.what;
    }
}

// The SMB2 answer, byte for byte, whatever allow_smb1 says; the connection
// ends after it.
TEST(Negotiate, Smb2OfferGetsTheSmb2AnswerAndTheEnd)
{
    smb1_world g;
    g.set("server_name", "A");
    g.set("clock", "1000000000");
    struct row {
        std::vector<std::string> dialects;
        uint16_t revision;
    } rows[] = {
        {{"NT LM 0.12", "SMB 2.002", "SMB 2.???"}, 0x0210},
        {{"SMB 2.???"}, 0x0210},
        {{"NT LM 0.12", "SMB 2.002"}, 0x0202},
    };
    for (const row &r : rows) {
        for (const char *smb1 : {"0", "1"}) {
            g.set("allow_smb1", smb1);
            le want;
            want.u8(0xFE).ascii("SMB", false).u16(64).u16(0).u32(0).u16(0).u16(1).u32(1).u32(0).u64(0).u32(0).u32(0);
            want.u64(0).zeros(16).u16(65).u16(1).u16(r.revision).u16(0).raw(k_id_a).raw(k_id_a).u32(0);
            want.u32(65536).u32(65536).u32(65536).u64(filetime_of(1000000000)).u64(0).u16(128).u16(74).u32(0);
            want.raw(from_hex("604806062b0601050502a03e303ca00e300c060a2b06010401823702020a"
                              "a32a3028a0261b24"))
                .ascii("not_defined_in_RFC4178@please_ignore", false);
            ASSERT_EQ(want.b.size(), 202u);

            stat_watch w;
            conn c(g);
            c.feed(smb1_frame(negotiate_request(r.dialects))).feed(smb1_frame(echo_request()));
            c.run();
            ASSERT_EQ(c.writes.size(), 2u) << "one answer, then the end";
            EXPECT_EQ(to_hex(c.writes[0]), "000000ca");
            EXPECT_EQ(to_hex(c.writes[1]), to_hex(want)) << r.revision << " smb1=" << smb1;
            EXPECT_EQ(w.delta(STAT_NEGOTIATE), 1);
            EXPECT_EQ(w.delta(STAT_PROTOCOL_ERRORS), 0);
        }
    }
    std::vector<event_rec> away = g.events_of(tb1s_event_kind::smb2_turned_away);
    EXPECT_EQ(away.size(), 6u);
    EXPECT_EQ(away[0].peer, "127.0.0.1");
}

TEST(Negotiate, Smb2MarkerIsFoundAnywhereInTheBody)
{
    smb1_world g;
    // Not a dialect string at all: the bytes sit in the parameter words.
    smb1_request r = raw_negotiate(le().u8(5).ascii("SMB 2.002", false).u8(0).u16(0));
    session_rig rig(g);
    rig.serve(r);
    ASSERT_EQ(rig.c.writes.size(), 2u);
    EXPECT_EQ(rig.c.writes[1][0], 0xFE);
    EXPECT_EQ(rig.c.writes[1][68], 0x02);
    EXPECT_EQ(rig.s->stop, 1);
    // The WordCount byte is part of the search.
    session_rig whole(g);
    whole.serve(raw_negotiate(le().ascii("SMB 2.002", false)));
    ASSERT_EQ(whole.c.writes.size(), 2u);
    EXPECT_EQ(whole.c.writes[1][0], 0xFE);
}

}  // namespace
