// The simulation: script format and limits, transcript rules, refused
// peers and the transcript size limit, through the real session runner.
#include <gtest/gtest.h>

#include <cstring>

#include "cfg/stats.h"
#include "exports/simulate.h"
#include "smb1.h"
#include "tbsmb1s.h"
#include "util/buf.h"

using namespace tb1s;

using namespace tb1s_test;

namespace {

const std::string k_empty = "RESULT ok (0 frames)\n";

std::string echo_line() { return to_hex(smb1_frame(echo_request())); }

TEST(Simulate, ScriptsWithoutRepliesGiveOnlyTheResultLine)
{
    struct row {
        const char *what;
        std::string script;
    } rows[] = {
        {"empty", ""},
        {"blank and comment lines", "\n# a comment\n\r\n   \n#\n"},
        {"a keep-alive", "00000000"},
        {"a keep-alive with spaces inside", "00 00 00 00\n"},
        {"a keep-alive with trailing blanks", "00000000 \r \r\n"},
        {"a session request without body", "!81000000"},
        {"a bare '!' line", "!\n"},
        {"an SMB message without its NetBIOS header", to_hex(smb1_message(echo_request()))},
        {"an SMB2 message", to_hex(nbss(from_hex("fe534d42" + std::string(120, '0'))))},
    };
    for (const row &r : rows)
        EXPECT_EQ(run_sim(r.script), k_empty) << r.what;
}

TEST(Simulate, OneRequestGivesThreeLines)
{
    stat_watch w;
    smb1_request r = echo_request();
    r.flags2 = 0x0001;
    transcript t = parse_transcript(run_sim(script({smb1_frame(r)})));
    ASSERT_EQ(t.lines.size(), 3u);
    EXPECT_EQ(t.lines[0], ">> ECHO");
    EXPECT_EQ(t.lines[1].substr(0, 13), "<< ff534d422b");
    EXPECT_EQ(t.lines[2], "RESULT ok (1 frames)");
    EXPECT_TRUE(t.complete);
    ASSERT_EQ(t.replies.size(), 1u);
    EXPECT_EQ(t.lines[1], "<< " + to_hex(t.replies[0].raw)) << "lower-case hex without separators";
    EXPECT_EQ(w.delta(STAT_BYTES_SENT), int64_t(t.replies[0].raw.size()));
    EXPECT_EQ(w.delta(STAT_CONNECTIONS), 0);
}

TEST(Simulate, TranscriptNamesEveryAcceptedRequest)
{
    smb1_request neg;
    neg.cmd = 0x72;
    smb1_request odd;
    odd.cmd = 0x36;  // no command has this code
    transcript t = parse_transcript(run_sim(script({smb1_frame(neg), {0, 0, 0, 0}, smb1_frame(odd)})));
    EXPECT_EQ(t.requests, (std::vector<std::string>{"NEGOTIATE", "?"}));
    EXPECT_EQ(t.result, "RESULT ok (2 frames)");
}

// A packet may be split over raw lines, and several packets may share one line.
TEST(Simulate, LinesAreJustBytesOfOneStream)
{
    bytes f = smb1_frame(echo_request());
    std::string split = "!";
    split += to_hex(bytes(f.begin(), f.begin() + 4));
    split += "\n!";
    split += to_hex(bytes(f.begin() + 4, f.end()));
    EXPECT_EQ(parse_transcript(run_sim(split)).result, "RESULT ok (1 frames)");
    std::string two = to_hex(f) + to_hex(f) + "\r\n";
    EXPECT_EQ(parse_transcript(run_sim(two)).result, "RESULT ok (2 frames)");
}

TEST(Simulate, ScriptErrors)
{
    std::string raw_ok = std::string(1, '!').append(32768, 'a');
    std::string raw_over = std::string(1, '!').append(32770, 'a');
    std::string long_line(65536, '0');
    std::string longest(65535, ' ');  // a line of 65535 bytes is allowed (here it trims to nothing)
    struct row {
        const char *what;
        std::string script;
        const char *error;  // null: accepted
    } rows[] = {
        {"odd digit count", "0000000", "simulate: bad frame hex on a script line"},
        {"three bytes", "000000", "simulate: bad frame hex on a script line"},
        {"indented comment", "  # x", "simulate: bad frame hex on a script line"},
        {"not hex", echo_line() + "\nzz00zz00", "simulate: bad frame hex on a script line"},
        {"raw line not hex", "!0g", "simulate: bad !raw hex"},
        {"raw line odd", "!000", "simulate: bad !raw hex"},
        {"raw line of 16384 bytes", raw_ok, nullptr},
        {"raw line of 16385 bytes", raw_over, "simulate: bad !raw hex"},
        {"line of 65536 bytes", long_line, "simulate: script line too long"},
        {"line of 65535 bytes", longest, nullptr},
        {"long line after a good one", echo_line() + "\n" + long_line, "simulate: script line too long"},
    };
    for (const row &r : rows) {
        stat_watch w;
        std::string out = run_sim(r.script);
        if (r.error) {
            EXPECT_EQ(out, std::string("ERROR: ") + r.error) << r.what;
            EXPECT_EQ(w.delta(STAT_CONNECTIONS) + w.delta(STAT_BYTES_SENT), 0) << r.what << ": the runner never ran";
        } else {
            EXPECT_EQ(out.rfind("RESULT ok", 0) == 0 || out.find("\nRESULT ok") != std::string::npos, true)
                << r.what << ": " << out.substr(0, 80);
        }
    }
    EXPECT_EQ(tb1s_simulate(nullptr, nullptr), nullptr);
    EXPECT_STREQ(tb1s_error(), "simulate: NULL script");
}

TEST(Simulate, FailureKeepsThePreviousOutput)
{
    const char *first = tbsmb1s_simulate("", nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(tbsmb1s_simulate("000000", nullptr), nullptr);
    EXPECT_STREQ(first, k_empty.c_str());
}

TEST(Simulate, Peers)
{
    for (const char *peer : {"::1", "[::1]", "127.8.9.10", "", "127.0.0.1"})
        EXPECT_EQ(run_sim("", peer), k_empty) << "peer '" << peer << "'";
    EXPECT_EQ(run_sim("", "localhost"), "ERROR: simulate: localhost is not an IP address");
    std::string long_peer(100, 'x');
    EXPECT_EQ(run_sim("", long_peer.c_str()), "ERROR: simulate: " + std::string(64, 'x') + " is not an IP address");
}

// With an empty allow-list only loopback peers are admitted; the script of a
// refused peer is not even looked at.
TEST(Simulate, RefusedPeer)
{
    stat_watch w;
    EXPECT_EQ(run_sim("not hex at all", "192.0.2.10"), "refused: client address not allowed\n");
    EXPECT_EQ(run_sim(echo_line(), "2001:db8::5"), "refused: client address not allowed\n");
    EXPECT_EQ(w.delta(STAT_REFUSED_ALLOW), 2);
    EXPECT_EQ(w.delta(STAT_CONNECTIONS), 0);
}

// A simulation runs in the library's world: an anonymous logon is a guest
// logon exactly while the live option `guest` and the user table allow it
// ("auto": while no user exists).
TEST(Simulate, GuestLogonFollowsTheLiveOptionAndUsers)
{
    ASSERT_EQ(tbsmb1s_set_option("allow_smb1", "1"), 0);
    auto guest_logon = [] {
        transcript t = parse_transcript(
            run_sim(script({smb1_frame(negotiate_request()), smb1_frame(setup_nonext_request({}, {}))})));
        return t.replies.size() == 2 && t.replies[1].status == 0 && t.replies[1].word(2) == 1;
    };
    EXPECT_TRUE(guest_logon()) << "auto, no user";
    ASSERT_EQ(tbsmb1s_add_user("bob", "x"), 0);
    EXPECT_FALSE(guest_logon()) << "auto, a user";
    ASSERT_EQ(tbsmb1s_set_option("guest", "on"), 0);
    EXPECT_TRUE(guest_logon()) << "on, a user";
    ASSERT_EQ(tbsmb1s_remove_user("bob"), 0);
    ASSERT_EQ(tbsmb1s_set_option("guest", "off"), 0);
    EXPECT_FALSE(guest_logon()) << "off, no user";
    ASSERT_EQ(tbsmb1s_set_option("guest", "auto"), 0);
    EXPECT_TRUE(guest_logon()) << "auto, no user again";
    ASSERT_EQ(tbsmb1s_set_option("allow_smb1", "0"), 0);
}

// Replies past 2 MiB of transcript are replaced by one marker; the count
// still includes them.
TEST(Simulate, TranscriptIsCutAt2MiB)
{
    std::string s;
    bytes frame = smb1_frame(echo_request(1, bytes(30000, 0x41)));  // one line, about 60 KB of reply hex
    for (int i = 0; i < 40; i++)
        s += to_hex(frame) + "\n";
    std::string out = run_sim(s);
    transcript t = parse_transcript(out);
    EXPECT_EQ(t.result, "RESULT ok (40 frames)");
    ASSERT_GE(t.lines.size(), 2u);
    std::string before = t.lines[t.lines.size() - 2];
    EXPECT_TRUE(before == "[truncated]" || before == "<< [truncated]") << before.substr(0, 40);
    size_t marker = out.find("[truncated]\n");
    ASSERT_NE(marker, std::string::npos);
    EXPECT_LE(marker, 2097152u);
    EXPECT_EQ(out.substr(marker), "[truncated]\nRESULT ok (40 frames)\n") << "nothing is logged after the marker";
    for (const std::string &h : t.reply_hex) {
        if (h != "[truncated]") {
            EXPECT_EQ(h.size(), 2 * (frame.size() - 4)) << "a reply is either whole or missing";
        }
    }
}

}  // namespace
