// The srvsvc pipe: DCE/RPC packets in and out of pipe_transact, and the NDR
// strings of the share list.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "files.h"
#include "sess/handlers.h"
#include "util/bytes.h"

using namespace tb1s;

using namespace tb1s_test;

namespace {

// A reply record with its header, as the runner hands it to a handler, and
// a pipe record for the rest of a long answer.
struct pipe_fixture {
    tb1s_session *s = static_cast<tb1s_session *>(std::calloc(1, sizeof(tb1s_session)));
    tb1s_file *pipe = static_cast<tb1s_file *>(std::calloc(1, sizeof(tb1s_file)));
    tb1s_reply rep{{}, -1, 0};
    pipe_fixture()
    {
        uint8_t header[33] = {0xFF, 'S', 'M', 'B'};
        tb1s_buf_put(&rep.buf, header, sizeof header);
        s->flags2 = 0xC001;
        pipe->pipe = 1;
    }
    ~pipe_fixture()
    {
        tb1s_buf_free(&rep.buf);
        tb1s_buf_free(&pipe->out);
        std::free(pipe);
        std::free(s);
    }
    uint32_t status() const { return ld32le(rep.buf.data + 5); }
    // The TRANSACTION reply's data block, checked against its words.
    bytes transact(const bytes &pkt, uint32_t max_data = 4280)
    {
        pipe_transact(s, &rep, pipe, max_data, pkt.data(), uint32_t(pkt.size()));
        return trans_data(rep);
    }
    static bytes trans_data(const tb1s_reply &rep)
    {
        if (rep.buf.len < 56)
            return {};
        const uint8_t *w = rep.buf.data + 33;
        EXPECT_EQ(rep.wc, 10);
        EXPECT_EQ(ld16le(w + 14), 56) << "DataOffset";
        EXPECT_EQ(ld16le(w + 12), rep.buf.len - 56) << "DataCount";
        return bytes(rep.buf.data + 56, rep.buf.data + rep.buf.len);
    }
};

// Hex of n bytes at off, or of as many as there are.
std::string hex_at(const bytes &b, size_t off, size_t n)
{
    off = off < b.size() ? off : b.size();
    return to_hex(b.data() + off, n < b.size() - off ? n : b.size() - off);
}

// The common header sent with every answer.
void expect_header(const bytes &pkt, uint8_t type, uint32_t call_id, const char *what)
{
    ASSERT_GE(pkt.size(), 16u) << what;
    EXPECT_EQ(hex_at(pkt, 0, 8), "0500" + to_hex(bytes{type}) + "0310000000") << what;
    EXPECT_EQ(ld16le(pkt.data() + 8), pkt.size()) << what << ": fragment length";
    EXPECT_EQ(ld16le(pkt.data() + 10), 0) << what << ": authentication length";
    EXPECT_EQ(ld32le(pkt.data() + 12), call_id) << what << ": call id";
}

// Whether a stream of DCE/RPC fragments ends exactly at the end of one.
bool rpc_frag_end(const bytes &stream)
{
    size_t at = 0;
    while (at + 10 <= stream.size())
        at += ld16le(stream.data() + at + 8);
    return at == stream.size();
}

TEST(Pipe, BindAcknowledgement)
{
    pipe_fixture f;
    bytes ack = f.transact(rpc_packet(11, 0x01020304, 72));
    EXPECT_EQ(f.status(), 0u);
    ASSERT_EQ(ack.size(), 68u);
    expect_header(ack, 12, 0x01020304, "bind ack");
    EXPECT_EQ(hex_at(ack, 16, 8), "100d100d5b9b0000") << "fragment sizes 3344, association group 0x9B5B";
    EXPECT_EQ(hex_at(ack, 24, 2), "0d00") << "secondary address length";
    EXPECT_EQ(std::string(ack.begin() + 26, ack.begin() + 38), "\\PIPE\\srvsvc");
    EXPECT_EQ(hex_at(ack, 38, 2), "0000") << "its NUL and one pad byte";
    EXPECT_EQ(hex_at(ack, 40, 28),
              "01000000" "0000" "0000"                      // one result: acceptance, reason 0
              "045d888aeb1cc9119fe808002b104860" "02000000")  // NDR, version 2
        << "result list";
}

TEST(Pipe, FaultForOtherOperations)
{
    for (uint16_t op : {0, 14, 16, 0xFFFF}) {
        pipe_fixture f;
        bytes fault = f.transact(rpc_packet(0, 77 + op, 26, op));
        EXPECT_EQ(f.status(), 0u) << "op " << op;
        ASSERT_EQ(fault.size(), 32u) << "op " << op;
        expect_header(fault, 3, 77 + op, "fault");
        EXPECT_EQ(hex_at(fault, 16, 16), "20000000" "0000" "00" "00" "2e00001c" "00000000") << "op " << op;
    }
}

TEST(Pipe, UnsupportedPackets)
{
    struct row {
        const char *what;
        bytes pkt;
    } rows[] = {
        {"23 bytes", rpc_packet(11, 1, 23)},
        {"empty", {}},
        {"request of 25 bytes", rpc_packet(0, 1, 25)},
        {"alter context", rpc_packet(14, 1, 72)},
        {"response", rpc_packet(2, 1, 40)},
    };
    for (const row &r : rows) {
        for (bool nt : {true, false}) {
            pipe_fixture f;
            f.s->flags2 = nt ? 0xC001 : 0x8001;
            pipe_transact(f.s, &f.rep, f.pipe, 4280, r.pkt.data(), uint32_t(r.pkt.size()));
            EXPECT_EQ(f.status(), nt ? NT_STATUS_NOT_SUPPORTED : TB1S_DOS_SRV_ERROR) << r.what;
            EXPECT_EQ(f.rep.buf.len, 33u) << r.what;
        }
    }
}

// A one-fragment answer: the response header, then the stub.
void expect_enum(const bytes &pkt, uint32_t call_id, const std::vector<std::string> &names)
{
    expect_header(pkt, 2, call_id, "share enumeration");
    EXPECT_EQ(hex_at(pkt, 16, 8), "00002000" "0000" "00" "00") << "allocation hint, context, cancel count";
    EXPECT_EQ(hex_at(pkt, 24, pkt.size() - 24), to_hex(enum_stub(names)));
}

TEST(Pipe, ShareEnumerationWithoutDeclaredShares)
{
    pipe_fixture f;
    bytes pkt = f.transact(rpc_packet(0, 0xCAFE, 60, 15));
    EXPECT_EQ(f.status(), 0u);
    expect_enum(pkt, 0xCAFE, {});
    EXPECT_EQ(pkt.size(), 24u + 24 + 12 + 24 + 36 + 12) << "one entry, IPC$ and its comment";
}

TEST(Pipe, ShareEnumerationListsSharesByNameThenIpc)
{
    temp_dir d;
    share_set shares;
    ASSERT_EQ(shares.add("Music", d.mkdir("m")), 0);
    ASSERT_EQ(shares.add("films", d.mkdir("f")), 0);
    pipe_fixture f;
    bytes pkt = f.transact(rpc_packet(0, 9, 60, 15));
    EXPECT_EQ(f.status(), 0u);
    expect_enum(pkt, 9, {"films", "Music"});
}

// A NetShareEnumAll request for a level, with or without the server name
// rpcclient and smbclient put before it.
bytes enum_request(uint32_t call_id, const std::string &server, uint32_t level)
{
    le stub;
    if (server.empty()) {
        stub.u32(0);
    } else {
        uint32_t count = uint32_t(server.size()) + 1;
        stub.u32(0x00020000).u32(count).u32(0).u32(count).utf16(server);
        while (stub.b.size() % 4)
            stub.u8(0);
    }
    stub.u32(level).u32(level).u32(0x00020004).u32(0).u32(0);  // level, an empty container
    stub.u32(0xFFFFFFFF).u32(0);                                // preferred maximum, no resume handle
    bytes pkt = rpc_packet(0, call_id, 24 + stub.b.size(), 15);
    std::copy(stub.b.begin(), stub.b.end(), pkt.begin() + 24);
    return pkt;
}

// Level 2, which rpcclient asks for by default and reads whatever level the
// answer names: the same entries with permissions 0, unlimited uses, an
// empty path and no password.
bytes enum_stub2(const std::vector<std::string> &names)
{
    uint32_t n = uint32_t(names.size());
    le b;
    b.u32(2).u32(2).u32(0x00020004).u32(n + 1).u32(0x00020008).u32(n + 1);
    for (uint32_t i = 0; i <= n; i++) {
        b.u32(0x00020010 + 64 * i).u32(i == n ? 3 : 0).u32(0x00020014 + 64 * i);
        b.u32(0).u32(0xFFFFFFFF).u32(0).u32(0x00020018 + 64 * i).u32(0);
    }
    for (const std::string &name : names)
        b.raw(ndr(name)).raw(ndr("read-only share")).raw(ndr(""));
    return b.raw(ndr("IPC$")).raw(ndr("IPC Service")).raw(ndr("")).u32(n + 1).u32(0).u32(0);
}

// Level 0, which scanners ask for and read alone: the names.
bytes enum_stub0(const std::vector<std::string> &names)
{
    uint32_t n = uint32_t(names.size());
    le b;
    b.u32(0).u32(0).u32(0x00020004).u32(n + 1).u32(0x00020008).u32(n + 1);
    for (uint32_t i = 0; i <= n; i++)
        b.u32(0x00020010 + 64 * i);
    for (const std::string &name : names)
        b.raw(ndr(name));
    return b.raw(ndr("IPC$")).u32(n + 1).u32(0).u32(0);
}

TEST(Pipe, ShareEnumerationAtTheLevelAsked)
{
    temp_dir d;
    share_set shares;
    ASSERT_EQ(shares.add("Music", d.mkdir("m")), 0);
    ASSERT_EQ(shares.add("films", d.mkdir("f")), 0);
    struct row {
        const char *what;
        bytes pkt;
        int level;  // of the answer
    } rows[] = {
        {"level 2 with a server name", enum_request(5, "\\\\127.0.0.1", 2), 2},
        {"level 2 with an odd-length server name", enum_request(5, "\\\\ab", 2), 2},
        {"level 2 without a server name", enum_request(5, "", 2), 2},
        {"level 1", enum_request(5, "\\\\127.0.0.1", 1), 1},
        {"level 0", enum_request(5, "\\\\127.0.0.1", 0), 0},
        {"level 502 gets level 1", enum_request(5, "", 502), 1},
        {"a stub cut inside the server name gets level 1", enum_request(5, "\\\\127.0.0.1", 2), 1},
    };
    rows[6].pkt.resize(40);
    for (const row &r : rows) {
        pipe_fixture f;
        bytes pkt = f.transact(r.pkt, 0);
        EXPECT_EQ(f.status(), 0u) << r.what;
        expect_header(pkt, 2, 5, r.what);
        bytes want = r.level == 2   ? enum_stub2({"films", "Music"})
                     : r.level == 0 ? enum_stub0({"films", "Music"})
                                    : enum_stub({"films", "Music"});
        EXPECT_EQ(hex_at(pkt, 24, pkt.size() - 24), to_hex(want)) << r.what;
    }
}

// A declared share that the host happens to call 'ipc$' is a disk share
// like any other; only the built-in one is listed last as the IPC share.
TEST(Pipe, DeclaredIpcNamedShareIsADiskShare)
{
    temp_dir d;
    share_set shares;
    ASSERT_EQ(shares.add("ipc$", d.path), 0);
    pipe_fixture f;
    expect_enum(f.transact(rpc_packet(0, 9, 60, 15)), 9, {"ipc$"});
}

// An answer longer than the client's MaxDataCount: its first part comes
// with BUFFER_OVERFLOW and the rest through READ_ANDX on the pipe, in
// fragments no longer than the 3344 bytes announced at the bind.
TEST(Pipe, LongAnswerInFragmentsAndReads)
{
    temp_dir d;
    share_set shares;
    std::vector<std::string> names;
    for (int i = 100; i < 220; i++) {
        names.push_back("share_with_a_longer_name_" + std::to_string(i));
        ASSERT_EQ(shares.add(names.back(), d.path), 0);
    }
    for (bool nt : {true, false}) {
        logged_rig g;
        ASSERT_EQ(g.connect("IPC$"), 1);
        uint16_t fid = g.open(1, "srvsvc");
        tb1s_file *pipe = file_find(g.s, fid);
        ASSERT_NE(pipe, nullptr);

        g.s->flags2 = nt ? 0xC001 : 0x8001;
        tb1s_reply rep;
        rep_begin(g.s, &rep);
        bytes pkt = rpc_packet(0, 0x42, 60, 15);
        pipe_transact(g.s, &rep, pipe, 4280, pkt.data(), uint32_t(pkt.size()));
        EXPECT_EQ(ld32le(rep.buf.data + 5), nt ? 0x80000005 : TB1S_DOS_MORE_DATA) << "BUFFER_OVERFLOW";
        bytes stream = pipe_fixture::trans_data(rep);
        tb1s_buf_free(&rep.buf);
        EXPECT_EQ(stream.size(), 4280u);

        for (int reads = 0;; reads++) {
            ASSERT_LT(reads, 20);
            smb1_request r = read_req(fid, 0, 1000);
            r.flags2 = g.s->flags2;
            smb1_reply p = g.serve(r);
            ASSERT_EQ(p.wc, 12);
            ASSERT_EQ(p.word(5), p.data.size() - 1) << "DataLength";
            ASSERT_LE(p.word(5), 1000);
            stream.insert(stream.end(), p.data.begin() + 1, p.data.end());
            if (p.status == 0 && pipe->out.len == 0)
                break;
            // A read ends with its fragment: success there, BUFFER_OVERFLOW inside.
            bool at_end = rpc_frag_end(stream);
            ASSERT_EQ(p.status, at_end ? 0 : nt ? 0x80000005 : TB1S_DOS_MORE_DATA);
        }
        EXPECT_EQ(g.serve(read_req(fid, 0, 1000)).status, NT_STATUS_NOT_SUPPORTED) << "nothing more to read";

        bytes stub;
        int frags = rpc_stub(stream, 0x42, &stub);
        EXPECT_GT(frags, 4);
        EXPECT_TRUE(stub == enum_stub(names)) << "the stubs of the fragments joined";

        // A rest left unread goes with the pipe when it is closed.
        rep_begin(g.s, &rep);
        pipe_transact(g.s, &rep, pipe, 100, pkt.data(), uint32_t(pkt.size()));
        tb1s_buf_free(&rep.buf);
        smb1_request close;
        close.cmd = 0x04;
        close.words = le().u16(fid).u32(0);
        EXPECT_EQ(g.serve(close).status, 0u);
        EXPECT_EQ(g.s->nfiles, 0);
    }
}

// A new transaction drops what the client left unread of the last answer.
TEST(Pipe, NewTransactionReplacesTheUnreadRest)
{
    temp_dir d;
    share_set shares;
    for (int i = 0; i < 40; i++)
        ASSERT_EQ(shares.add(numbered("s", i), d.path), 0);
    pipe_fixture f;
    f.transact(rpc_packet(0, 1, 60, 15), 100);
    EXPECT_EQ(f.status(), 0x80000005u);
    EXPECT_GT(f.pipe->out.len, f.pipe->out_pos);
    pipe_fixture g;
    std::swap(g.pipe, f.pipe);
    g.transact(rpc_packet(11, 2, 72));
    EXPECT_EQ(g.status(), 0u);
    EXPECT_EQ(g.pipe->out.len, 0u) << "the bind acknowledgement fits; the old rest is gone";
    EXPECT_EQ(g.pipe->out_pos, 0u);

    pipe_fixture unlimited;  // MaxDataCount 0 sets no limit
    bytes all = unlimited.transact(rpc_packet(0, 3, 60, 15), 0);
    EXPECT_EQ(unlimited.status(), 0u);
    EXPECT_GT(all.size(), 1000u);
    EXPECT_EQ(unlimited.pipe->out.len, 0u);
}

TEST(Pipe, NdrStrings)
{
    struct row {
        const char *text;
        const char *hex;
    } rows[] = {
        {"IPC$", "05000000" "00000000" "05000000" "490050004300240000000000"},  // padded
        {"Music", "06000000" "00000000" "06000000" "4d0075007300690063000000"},  // not padded
        {"", "01000000" "00000000" "01000000" "00000000"},
        {"\xC3\x89T\xC3\x89", "04000000" "00000000" "04000000" "c9005400c9000000"},  // UTF-8 "ÉTÉ"
        {"\xE4\xB8\x80", "02000000" "00000000" "02000000" "004e0000"},                // U+4E00
        {"\xF0\x9F\x8E\xB5", "03000000" "00000000" "03000000" "3cd8b5df00000000"},  // a surrogate pair
        {"a\xFF", "03000000" "00000000" "03000000" "6100ff0000000000"},             // not UTF-8: bytes
    };
    for (const row &r : rows) {
        tb1s_buf b{};
        ndr_w_str(&b, r.text);
        EXPECT_EQ(to_hex(b.data, b.len), r.hex) << r.text;
        EXPECT_EQ(b.len % 4, 0u) << r.text;
        tb1s_buf_free(&b);
    }
}

}  // namespace
