// Whole conversations as other SMB1 clients hold them: the srvsvc pipe
// written with WRITE_ANDX and read with READ_ANDX, and a sparse file larger
// than 4 GiB whose sizes and offsets need all 64 bits.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cfg/stats.h"
#include "files.h"
#include "logon.h"
#include "trans2.h"

using namespace tb1s;

using namespace tb1s_test;

namespace {

// WRITE_ANDX of 14 words with the data right after the ByteCount (offset 63).
smb1_request write_req(uint16_t tid, uint16_t fid, const bytes &data)
{
    smb1_request r;
    r.cmd = 0x2F;
    r.tid = tid;
    r.flags2 = 0x4001;  // ASCII, NT statuses
    r.words = le().u8(0xFF).u8(0).u16(0).u16(fid).u32(0).u32(0xFFFFFFFF).u16(0x0008).u16(uint32_t(data.size()))
                  .u16(0).u16(uint32_t(data.size())).u16(63).u32(0);
    r.data = data;
    return r;
}

uint16_t fid_of(const smb1_reply &p) { return uint16_t(p.words[5] | p.words[6] << 8); }
bytes read_data(const smb1_reply &p) { return p.data.empty() ? bytes{} : bytes(p.data.begin() + 1, p.data.end()); }

// The pipe as a scanner's RPC library uses it: opened with MAXIMUM_ALLOWED
// and supersede in an ASCII request, the bind written and its
// acknowledgement read, then NetShareEnumAll and another operation, a
// packet written in two pieces; the answers are those of the transaction.
TEST(ClientsSim, PipeThroughWriteAndRead)
{
    smb1_world g;
    g.set("guest", "on");
    temp_dir d;
    share_set shares;
    std::vector<std::string> names;
    for (int i = 0; i < 90; i++) {  // a list of several fragments
        names.push_back("share_number_" + std::to_string(100 + i));
        ASSERT_EQ(shares.add(names.back(), d.path), 0);
    }
    d.write("films/a.txt", "abc");
    ASSERT_EQ(shares.add("films", d.path + "/films"), 0);
    names.insert(names.begin(), "films");

    create_args supersede;
    supersede.access = 0x02000000;
    supersede.disposition = 0;
    bytes bind = rpc_packet(11, 0x41414141, 72);
    bytes list = rpc_packet(0, 0x41414142, 60, 15);
    bytes other = rpc_packet(0, 0x41414143, 40, 16);
    const uint16_t pipe = 0x0011, file = 0x0021;
    std::vector<smb1_request> reqs = {
        tree_req("\\\\HOST\\IPC$"),
        create_req(1, "\\srvsvc", supersede, 0x4001),
        write_req(1, pipe, bind),
        read_req(pipe, 0, 4280),
        write_req(1, pipe, list),
    };
    for (int i = 0; i < 8; i++)
        reqs.push_back(read_req(pipe, 0, 0x1001));
    reqs.push_back(write_req(1, pipe, bytes(other.begin(), other.begin() + 12)));
    reqs.push_back(write_req(1, pipe, bytes(other.begin() + 12, other.end())));
    reqs.push_back(read_req(pipe, 0, 0x1001));
    reqs.push_back(read_req(pipe, 0, 0x1001));
    reqs.push_back(tree_req("\\\\HOST\\films"));
    reqs.push_back(create_req(2, "a.txt"));
    reqs.push_back(write_req(2, file, {'x'}));

    stat_watch w;
    std::vector<smb1_reply> p = converse(g, reqs);
    ASSERT_EQ(p.size(), reqs.size());
    ASSERT_EQ(p[1].status, 0u);
    ASSERT_EQ(fid_of(p[1]), pipe);
    EXPECT_EQ(p[1].words[63], 2) << "message-mode pipe";

    // The bind: the write takes all 72 bytes, the read brings the
    // acknowledgement the transaction brings.
    EXPECT_EQ(p[2].status, 0u);
    EXPECT_EQ(p[2].wc, 6);
    EXPECT_EQ(p[2].word(2), 72) << "Count";
    EXPECT_TRUE(p[2].has_byte_count && p[2].byte_count == 0);
    EXPECT_EQ(p[3].status, 0u);
    logged_rig t;
    ASSERT_EQ(t.connect("IPC$"), 1);
    uint16_t tfid = t.open(1, "srvsvc");
    EXPECT_EQ(to_hex(read_data(p[3])), to_hex(t2_parse(t.serve(trans_req(1, {0x0026, tfid}, bind))).data));

    // The list: one read per fragment, each starting with its header.
    EXPECT_EQ(p[4].status, 0u);
    bytes stream;
    size_t i = 5;
    int frags = 0;
    for (; i < 13 && p[i].status == 0; i++) {
        bytes part = read_data(p[i]);
        ASSERT_GE(part.size(), 16u);
        EXPECT_EQ(ld16le(part.data() + 8), part.size()) << "read " << i << " is one whole fragment";
        stream.insert(stream.end(), part.begin(), part.end());
        frags++;
        if (part[3] & 0x02)
            break;
    }
    EXPECT_GT(frags, 1);
    bytes stub;
    EXPECT_EQ(rpc_stub(stream, 0x41414142, &stub), frags);
    EXPECT_TRUE(stub == enum_stub(names)) << "the stubs of the fragments joined";
    EXPECT_EQ(p[i + 1].status, NT_STATUS_NOT_SUPPORTED) << "nothing waits once the answer is read";

    // A packet in two writes: the first piece waits, the second completes it.
    EXPECT_EQ(p[13].status, 0u);
    EXPECT_EQ(p[14].status, 0u);
    bytes fault = read_data(p[15]);
    ASSERT_EQ(fault.size(), 32u);
    EXPECT_EQ(fault[2], 3) << "fault";
    EXPECT_EQ(ld32le(fault.data() + 12), 0x41414143u);
    EXPECT_EQ(p[16].status, NT_STATUS_NOT_SUPPORTED);

    // A file of a disk share takes no write.
    ASSERT_EQ(p[18].status, 0u);
    ASSERT_EQ(fid_of(p[18]), file);
    EXPECT_EQ(p[19].status, NT_STATUS_ACCESS_DENIED);
    EXPECT_EQ(p[19].raw.size(), 35u);
    EXPECT_EQ(w.delta(STAT_MUTATING_REFUSED), 1);
    EXPECT_EQ(w.delta(STAT_SRVSVC_QUERIES), 3 + 1) << "three packets written, one transaction of the check";
}

// A sparse file of 5 GiB + 12345 bytes: the open, a search, the path and
// file queries report its size and allocation in 64 bits, and a read with
// the high offset word reaches its tail.
TEST(ClientsSim, FileLargerThanFourGiB)
{
    const uint64_t size = (5ull << 30) + 12345;
    const uint64_t alloc = (size + 0xFFFF) & ~uint64_t(0xFFFF);
    smb1_world g;
    g.set("guest", "on");
    temp_dir d;
    share_set shares;
    std::string path = d.write("big/huge.bin", "");
    std::filesystem::resize_file(path, size);
    {
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(std::streamoff(size - 10));
        f.write("0123456789", 10);
    }
    ASSERT_EQ(shares.add("big", d.path + "/big"), 0);

    // NEGOTIATE announces large files, and challenge-response passwords
    // (user level and signatures enabled besides).
    conn c(g);
    c.feed(smb1_frame(negotiate_request()));
    c.run();
    std::vector<smb1_reply> nego = replies_of(c.writes);
    ASSERT_EQ(nego.size(), 1u);
    ASSERT_EQ(nego[0].wc, 17);
    EXPECT_EQ(ld32le(nego[0].words.data() + 19), 0x8000005Cu) << "capabilities with CAP_LARGE_FILES";
    EXPECT_EQ(nego[0].words[2], 0x07) << "SecurityMode";

    std::vector<smb1_reply> p = converse(g, {
        tree_req("\\\\HOST\\big"),
        create_req(1, "huge.bin"),
        trans2_req(1, 1, le().u16(0x16).u16(100).u16(0).u16(0x0104).u32(0).utf16("huge.bin")),
        trans2_req(1, 5, le().u16(0x0102).u32(0).utf16("huge.bin")),
        trans2_req(1, 5, le().u16(0x0107).u32(0).utf16("huge.bin")),
        trans2_req(1, 5, le().u16(0x0200).u32(0).utf16("huge.bin")),
        trans2_req(1, 7, le().u16(0x0011).u16(0x0102)),
        read_req(0x0011, uint32_t(size - 10), 100, int64_t((size - 10) >> 32)),
        read_req(0x0011, uint32_t(size), 100, int64_t(size >> 32)),
        read_req(0x0011, uint32_t(size - 10), 100),  // without the high word: 4 GiB lower
    });
    ASSERT_EQ(p.size(), 10u);
    ASSERT_EQ(p[1].status, 0u);
    EXPECT_EQ(ld64le(p[1].words.data() + 47), alloc) << "NT_CREATE AllocationSize";
    EXPECT_EQ(ld64le(p[1].words.data() + 55), size) << "NT_CREATE EndOfFile";
    t2_reply find = t2_parse(p[2]);
    ASSERT_GE(find.data.size(), 94u);
    EXPECT_EQ(ld64le(find.data.data() + 40), size) << "search EndOfFile";
    EXPECT_EQ(ld64le(find.data.data() + 48), alloc) << "search AllocationSize";
    t2_reply standard = t2_parse(p[3]);
    ASSERT_EQ(standard.data.size(), 24u);
    EXPECT_EQ(ld64le(standard.data.data()), alloc);
    EXPECT_EQ(ld64le(standard.data.data() + 8), size);
    t2_reply all = t2_parse(p[4]);
    ASSERT_GE(all.data.size(), 56u);
    EXPECT_EQ(ld64le(all.data.data() + 40), alloc);
    EXPECT_EQ(ld64le(all.data.data() + 48), size);
    t2_reply unix_info = t2_parse(p[5]);
    ASSERT_GE(unix_info.data.size(), 16u);
    EXPECT_EQ(ld64le(unix_info.data.data()), size);
    EXPECT_EQ(ld64le(unix_info.data.data() + 8), alloc);
    t2_reply by_fid = t2_parse(p[6]);
    ASSERT_EQ(by_fid.data.size(), 24u);
    EXPECT_EQ(ld64le(by_fid.data.data() + 8), size);
    EXPECT_EQ(p[7].status, 0u);
    EXPECT_EQ(std::string(p[7].data.begin() + 1, p[7].data.end()), "0123456789");
    EXPECT_EQ(p[8].status, NT_STATUS_END_OF_FILE);
    EXPECT_EQ(p[9].status, 0u);
    EXPECT_EQ(read_data(p[9]), bytes(100, 0)) << "the sparse part, 4 GiB before the tail";
}

}  // namespace
