// Names as Windows clients send them, through whole conversations: share
// and user names with letters beyond ASCII, and file names in another letter
// case than the host's, which a POSIX host must find as a Windows one does.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cfg/stats.h"
#include "files.h"
#include "logon.h"
#include "trans2.h"

using namespace tb1s;

using namespace tb1s_test;

namespace {

smb1_request legacy(uint8_t cmd, uint16_t tid, const std::string &name)
{
    smb1_request r;
    r.cmd = cmd;
    r.tid = tid;
    r.data = le().u8(4).utf16(name);
    return r;
}

smb1_request find_first(uint16_t tid, const std::string &name)
{
    return trans2_req(tid, 1, le().u16(0x16).u16(100).u16(0x0002).u16(0x0104).u32(0).utf16(name));
}

// The names of the entries of a FIND_FIRST2 reply, as UTF-16LE.
std::vector<bytes> found_names(const smb1_reply &p)
{
    t2_reply t = t2_parse(p);
    std::vector<bytes> names;
    size_t at = 0;
    while (at + 94 <= t.data.size()) {
        uint32_t len = ld32le(t.data.data() + at + 60);
        if (at + 94 + len > t.data.size())
            break;
        names.emplace_back(t.data.begin() + long(at) + 94, t.data.begin() + long(at + 94 + len));
        uint32_t next = ld32le(t.data.data() + at);
        if (next == 0)
            break;
        at += next;
    }
    return names;
}

bytes u16(const std::string &s) { return le().utf16(s, false); }

std::string read_text(const smb1_reply &p) { return std::string(p.data.begin() + 1, p.data.end()); }

uint16_t fid_of(const smb1_reply &p) { return uint16_t(p.words[5] | p.words[6] << 8); }

// A share "café" (reached as "CAFÉ") whose files the client names in other
// cases: the open, the path query, CHECK_DIRECTORY and the search of one
// name find what a Windows server would find; wildcards list as before.
TEST(NamesSim, ShareAndFileNamesInAnyCase)
{
    smb1_world g;
    g.set("guest", "on");
    temp_dir d;
    share_set shares;
    d.write("caf\xc3\xa9/readme.txt", "lower");
    d.write("caf\xc3\xa9/Docs/Stra\xc3\x9f" "e/Ma\xc3\x9f.txt", "measure");
    d.write("caf\xc3\xa9/dup/ABC", "upper");
    d.write("caf\xc3\xa9/dup/Abc", "mixed");
    d.write("caf\xc3\xa9/dup/abc", "lower");
    d.write("caf\xc3\xa9/\xc3\x9cn\xc3\xafk\xc3\xb6" "d.txt", "12345678");  // Ünïköd.txt
    d.write("outside/secret.txt", "secret");
    std::filesystem::create_directory_symlink("../outside", d.path + "/caf\xc3\xa9/Outside");
    ASSERT_EQ(shares.add("caf\xc3\xa9", d.path + "/caf\xc3\xa9"), 0);

    const uint16_t tid = 1;
    stat_watch w;
    std::vector<smb1_reply> p = converse(g, {
        tree_req("\\\\HOST\\CAF\xc3\x89"),
        create_req(tid, "README.TXT"),
        read_req(0x11, 0, 100),
        create_req(tid, "docs\\STRA\xc3\x9f" "E\\ma\xc3\x9f.TXT"),
        read_req(0x21, 0, 100),
        create_req(tid, "dup\\aBC"),  // no exact name: the first in byte order
        read_req(0x31, 0, 100),
        create_req(tid, "dup\\abc"),  // the exact name
        read_req(0x41, 0, 100),
        trans2_req(tid, 5, le().u16(0x0107).u32(0).utf16("\\\xc3\xbcN\xc3\x8fK\xc3\x96" "D.TXT")),
        legacy(0x10, tid, "\\DOCS\\stra\xc3\x9f" "e"),
        find_first(tid, "\\DUP\\aBc"),
        find_first(tid, "\\dup\\Abc"),
        find_first(tid, "\\dup\\*"),
        create_req(tid, "nothing.txt"),
        create_req(tid, "OUTSIDE\\SECRET.TXT"),
        legacy(0x10, tid, "\\dup\\abcd"),
    });
    ASSERT_EQ(p.size(), 17u);
    ASSERT_EQ(p[0].status, 0u) << "the share name folds beyond ASCII";
    ASSERT_EQ(p[0].tid, tid);
    const char *reads[] = {"lower", "measure", "upper", "lower"};
    for (size_t i = 0; i < 4; i++) {
        ASSERT_EQ(p[1 + 2 * i].status, 0u) << "open " << i;
        EXPECT_EQ(fid_of(p[1 + 2 * i]), 0x11 + 0x10 * i) << "open " << i;
        EXPECT_EQ(read_text(p[2 + 2 * i]), reads[i]) << "read " << i;
    }
    t2_reply info = t2_parse(p[9]);
    ASSERT_EQ(info.status, 0u);
    ASSERT_GE(info.data.size(), 56u);
    EXPECT_EQ(ld64le(info.data.data() + 48), 8u) << "size of \xc3\x9cn\xc3\xafk\xc3\xb6" "d.txt";
    EXPECT_EQ(p[10].status, 0u) << "CHECK_DIRECTORY";

    EXPECT_EQ(t2_parse(p[11]).status, 0u);
    EXPECT_EQ(found_names(p[11]), std::vector<bytes>{u16("ABC")}) << "one entry for one name";
    EXPECT_EQ(found_names(p[12]), std::vector<bytes>{u16("Abc")});
    EXPECT_EQ(found_names(p[13]), (std::vector<bytes>{u16("."), u16(".."), u16("ABC"), u16("Abc"), u16("abc")}));

    EXPECT_EQ(p[14].status, NT_STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_NE(p[15].status, 0u) << "a link out of the share stays refused in any case";
    EXPECT_EQ(w.delta(STAT_PATH_REFUSED), 1);
    EXPECT_EQ(p[16].status, NT_STATUS_OBJECT_PATH_NOT_FOUND);
}

// A declared user whose name has letters beyond ASCII logs on with the name
// in any case: the client keys NTLMv2 on the name upper-cased by Unicode
// (here the C library's mapping), then reads from the share "café".
TEST(NamesSim, NonAsciiUserLogsOnAndReads)
{
    temp_dir d;
    share_set shares;
    d.write("caf\xc3\xa9/menu.txt", "espresso");
    ASSERT_EQ(shares.add("caf\xc3\xa9", d.path + "/caf\xc3\xa9"), 0);
    for (const char *sent : {"Jos\xc3\xa9", "JOS\xc3\x89", "jos\xc3\xa9", "jOs\xc3\x89"}) {
        for (bool spnego : {true, false}) {
            smb1_world g;
            g.set("guest", "off");
            g.user("Jos\xc3\xa9", "p\xc3\xa4ss");
            ext_client client;
            client.spnego = spnego;
            client.creds.user = sent;
            client.creds.password = "p\xc3\xa4ss";
            client.creds.domain = "WORKGROUP";
            dialogue dl(g);
            int leg = 0;
            uint16_t uid = 0, tid = 0;
            dl.next = [&](const bytes &msg) -> bytes {
                smb1_reply r;
                if (!parse_reply(msg, &r))
                    return {};
                smb1_request q;
                switch (leg++) {
                case 0:
                    return smb1_frame(client.negotiate_leg());
                case 1:
                    return smb1_frame(client.authenticate_leg(reply_blob(r)));
                case 2:
                    uid = r.uid;
                    q = tree_req("\\\\HOST\\CAF\xc3\x89");
                    break;
                case 3:
                    tid = r.tid;
                    q = create_req(tid, "MENU.TXT");
                    break;
                case 4:
                    q = read_req(fid_of(r), 0, 100);
                    break;
                default:
                    return {};
                }
                q.uid = uid;
                q.tid = tid;
                return smb1_frame(q);
            };
            dl.run(smb1_frame(negotiate_request()));
            std::vector<smb1_reply> p = replies_of(dl.sent);
            std::string what = std::string(sent) + (spnego ? " (SPNEGO)" : " (bare NTLMSSP)");
            ASSERT_EQ(p.size(), 6u) << what;
            EXPECT_EQ(p[2].status, 0u) << what << ": logon";
            EXPECT_EQ(p[2].word(2), 0) << what << ": not as guest";
            EXPECT_EQ(p[3].status, 0u) << what << ": tree connect";
            EXPECT_EQ(p[4].status, 0u) << what << ": open";
            EXPECT_EQ(read_text(p[5]), "espresso") << what;
        }
    }
}

// The form without extended security: LMv2 and NTLMv2 keyed on the
// upper-cased name, no name compared.
TEST(NamesSim, NonAsciiUserWithoutExtendedSecurity)
{
    smb1_world g;
    g.set("guest", "off");
    g.user("\xc3\x98ystein", "pw");  // Øystein
    session_rig rig(g);
    smb1_reply nego = rig.serve(negotiate_request());
    bytes chal, info;
    ASSERT_TRUE(read_challenge(ntlm_in(reply_blob(nego)), &chal, &info));
    bytes owf = ntowfv2("\xc3\xb8YSTEIN", "", "pw");
    const bytes client_chal(8, 0x5A);
    bytes nt = ntlmv2_response(owf, chal, client_chal, filetime_of(1700000000), info);
    smb1_reply p = rig.serve(setup_nonext_request(lmv2_response(owf, chal, client_chal), nt, "\xc3\xb8YSTEIN"));
    EXPECT_EQ(p.status, 0u);
    EXPECT_EQ(rig.s->guest, 0);
}

}  // namespace
