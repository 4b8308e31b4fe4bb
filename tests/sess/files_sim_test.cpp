// Whole conversations through the simulation: a guest logon, then tree
// connects, opens and reads.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "cfg/stats.h"
#include "files.h"
#include "logon.h"

using namespace tb1s_test;

namespace {

// Runs the requests after a negotiate and a guest logon; the replies to the
// requests (the logon's own replies left out).
std::vector<smb1_reply> converse(const std::vector<smb1_request> &reqs)
{
    bytes stream = smb1_frame(negotiate_request());
    bytes setup = smb1_frame(setup_nonext_request({}, {}));
    stream.insert(stream.end(), setup.begin(), setup.end());
    for (const smb1_request &r : reqs) {
        bytes f = smb1_frame(r);
        stream.insert(stream.end(), f.begin(), f.end());
    }
    transcript t = parse_transcript(run_sim(raw_script(stream)));
    EXPECT_EQ(t.replies.size(), reqs.size() + 2) << t.result;
    if (t.replies.size() < 2)
        return {};
    EXPECT_EQ(t.replies[1].status, 0u) << "guest logon";
    return std::vector<smb1_reply>(t.replies.begin() + 2, t.replies.end());
}

TEST(FilesSim, GuestReadsAFile)
{
    setup_guard g;
    g.set("guest", "on");
    temp_dir d;
    share_set shares;
    std::string content(20000, 'q');
    d.write("films/big.bin", content);
    ASSERT_EQ(shares.add("films", d.path + "/films"), 0);

    // IPC$ is tree 1, films tree 3; the pipe is FID 0x11, the file 0x21.
    stat_watch w;
    std::vector<smb1_reply> p = converse({
        tree_req("\\\\HOST\\IPC$"),
        create_req(1, "\\srvsvc"),
        tree_req("\\\\HOST\\films"),
        create_req(3, "big.bin"),
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
    EXPECT_EQ(p[2].tid, 3);
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

}  // namespace
