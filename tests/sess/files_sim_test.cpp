// Whole conversations through the session runner: a guest logon, then tree
// connects, opens and reads, and the share list over the srvsvc pipe.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "cfg/stats.h"
#include "files.h"
#include "logon.h"
#include "trans2.h"

using namespace tb1s;

using namespace tb1s_test;

namespace {

TEST(FilesSim, GuestReadsAFile)
{
    smb1_world g;
    g.set("guest", "on");
    temp_dir d;
    share_set shares;
    std::string content(20000, 'q');
    d.write("films/big.bin", content);
    ASSERT_EQ(shares.add("films", d.path + "/films"), 0);

    // IPC$ is tree 1, films tree 2; the pipe is FID 0x11, the file 0x21.
    stat_watch w;
    std::vector<smb1_reply> p = converse(g, {
        tree_req("\\\\HOST\\IPC$"),
        create_req(1, "\\srvsvc"),
        tree_req("\\\\HOST\\films"),
        create_req(2, "big.bin"),
        read_req(0x21, 0, 0xFFFF),
        read_req(0x21, 19990, 100),
        read_req(0x21, 20000, 100),
        read_req(0x11, 0, 100),
    });
    ASSERT_EQ(p.size(), 8u);
    EXPECT_EQ(p[0].status, 0u);
    EXPECT_EQ(p[0].tid, 1);
    EXPECT_EQ(p[1].status, 0u);
    EXPECT_EQ(p[1].words[5] | p[1].words[6] << 8, 0x11) << "FID";
    EXPECT_EQ(p[2].status, 0u);
    EXPECT_EQ(p[2].tid, 2);
    EXPECT_EQ(p[3].status, 0u);
    EXPECT_EQ(p[4].status, 0u);
    EXPECT_EQ(p[4].word(5), 16644 - 64) << "the logon's MaxBufferSize 16644 limits the read";
    EXPECT_EQ(std::string(p[4].data.begin() + 1, p[4].data.end()), content.substr(0, 16580));
    EXPECT_EQ(p[5].word(5), 10);
    EXPECT_EQ(p[6].status, NT_STATUS_END_OF_FILE);
    EXPECT_EQ(p[7].status, NT_STATUS_NOT_SUPPORTED) << "nothing waits in the pipe";

    EXPECT_EQ(w.delta(STAT_TREES), 2);
    EXPECT_EQ(w.delta(STAT_OPENS), 2);
    EXPECT_EQ(w.delta(STAT_READS), 2);
}

TEST(FilesSim, GuestListsShares)
{
    smb1_world g;
    g.set("guest", "on");
    temp_dir d;
    share_set shares;
    ASSERT_EQ(shares.add("Music", d.mkdir("music")), 0);
    ASSERT_EQ(shares.add("films", d.mkdir("films")), 0);

    stat_watch w;
    std::vector<smb1_reply> p = converse(g, {
        tree_req("\\\\HOST\\IPC$"),
        create_req(1, "\\srvsvc"),
        trans_req(1, {0x0026, 0x11}, rpc_packet(11, 7, 72, 0)),
        trans_req(1, {0x0026, 0x11}, rpc_packet(0, 8, 60, 15)),
        trans_req(1, {0x0026, 0x11}, rpc_packet(0, 9, 26, 16)),
        read_req(0x11, 0, 100),
    });
    ASSERT_EQ(p.size(), 6u);
    EXPECT_EQ(p[1].status, 0u);

    bytes ack = t2_parse(p[2]).data;
    EXPECT_EQ(p[2].status, 0u);
    ASSERT_EQ(ack.size(), 68u);
    EXPECT_EQ(ack[2], 12) << "bind acknowledgement";
    EXPECT_EQ(ld16le(ack.data() + 8), 68);
    EXPECT_EQ(ld32le(ack.data() + 12), 7u);

    bytes list = t2_parse(p[3]).data;
    EXPECT_EQ(p[3].status, 0u);
    bytes stub;
    EXPECT_EQ(rpc_stub(list, 8, &stub), 1);
    EXPECT_EQ(to_hex(stub), to_hex(enum_stub({"films", "Music"})));

    bytes fault = t2_parse(p[4]).data;
    ASSERT_EQ(fault.size(), 32u);
    EXPECT_EQ(to_hex(bytes(fault.begin() + 24, fault.begin() + 28)), "2e00001c");
    EXPECT_EQ(ld32le(fault.data() + 12), 9u);

    EXPECT_EQ(p[5].status, NT_STATUS_NOT_SUPPORTED) << "nothing waits in the pipe";
    EXPECT_EQ(w.delta(STAT_SRVSVC_QUERIES), 3);
}

// A share list longer than the client's MaxDataCount: the transaction
// brings its first part, READ_ANDX on the pipe the rest, never reading past
// the end of a fragment (each is one message of the pipe).
TEST(FilesSim, LongShareListIsReadFromThePipe)
{
    smb1_world g;
    g.set("guest", "on");
    temp_dir d;
    share_set shares;
    std::vector<std::string> names;
    for (int i = 10; i < 70; i++) {
        names.push_back("share_number_" + std::to_string(i));
        ASSERT_EQ(shares.add(names.back(), d.path), 0);
    }
    std::vector<smb1_request> reqs = {tree_req("IPC$"), create_req(1, "srvsvc"),
                                      trans_req(1, {0x0026, 0x11}, rpc_packet(0, 5, 60, 15))};
    for (int i = 0; i < 12; i++)
        reqs.push_back(read_req(0x11, 0, 1024));
    std::vector<smb1_reply> p = converse(g, reqs);
    ASSERT_EQ(p.size(), reqs.size());
    EXPECT_EQ(p[2].status, NT_STATUS_BUFFER_OVERFLOW);
    bytes stream = t2_parse(p[2]).data;
    EXPECT_EQ(stream.size(), 1024u);
    size_t i = 3;
    size_t frag_end = ld16le(stream.data() + 8);  // where the first fragment ends in the stream
    for (; i < p.size() && p[i].status != NT_STATUS_NOT_SUPPORTED; i++) {
        bytes part(p[i].data.begin() + 1, p[i].data.end());
        ASSERT_FALSE(part.empty()) << "read " << i;
        if (stream.size() == frag_end) {  // a read that begins a fragment
            ASSERT_GE(part.size(), 10u);
            frag_end += ld16le(part.data() + 8);
        }
        stream.insert(stream.end(), part.begin(), part.end());
        EXPECT_LE(stream.size(), frag_end) << "read " << i << " runs into the next fragment";
        EXPECT_EQ(p[i].status, stream.size() < frag_end ? NT_STATUS_BUFFER_OVERFLOW : 0u) << "read " << i;
    }
    ASSERT_LT(i, p.size()) << "then nothing is left";

    bytes stub;
    EXPECT_GT(rpc_stub(stream, 5, &stub), 1);
    EXPECT_TRUE(stub == enum_stub(names)) << "the stubs of the fragments joined";
}

}  // namespace
