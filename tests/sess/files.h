// Requests of the file commands (tree connect, open, read) for the session
// tests, a logged-on session record to serve them, the expected share list
// of the srvsvc pipe, and shares declared for the length of a test.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cfg/shares.h"
#include "conn.h"
#include "util/bytes.h"
#include "smb1.h"

using namespace tb1s;

namespace tb1s_test {

// Statuses are the library's own constants (sess/status.h), DOS pairs
// included.

// TREE_CONNECT_ANDX with a one-byte password. The path is UTF-16 when the
// request's FLAGS2 says Unicode (it does by default), else ASCII.
inline smb1_request tree_req(const std::string &path, uint16_t flags2 = 0xC001)
{
    smb1_request r;
    r.cmd = 0x75;
    r.flags2 = flags2;
    r.words = le().u8(0xFF).u8(0).u16(0).u16(0x0008).u16(1);
    le d;
    d.u8(0);
    if (flags2 & FLAGS2_UNICODE)
        d.utf16(path);
    else
        d.ascii(path);
    r.data = d.ascii("?????");
    return r;
}

struct create_args {
    uint32_t access = 0x80000000;  // GENERIC_READ
    uint32_t disposition = 1;      // open an existing object
    uint32_t options = 0;
    bool align = true;             // an alignment byte before a Unicode name
    int name_len = -1;             // NameLength to announce; -1: the name's bytes
};

// NT_CREATE_ANDX for a name field given as bytes, on the tree tid.
inline smb1_request create_req_raw(uint16_t tid, const bytes &field, create_args a = {}, uint16_t flags2 = 0xC001)
{
    smb1_request r;
    r.cmd = 0xA2;
    r.tid = tid;
    r.flags2 = flags2;
    uint32_t n = a.name_len >= 0 ? uint32_t(a.name_len) : uint32_t(field.size());
    r.words = le().u8(0xFF).u8(0).u16(0).u8(0).u16(n).u32(0).u32(0).u32(a.access).u64(0).u32(0).u32(7)
                  .u32(a.disposition).u32(a.options).u32(2).u8(0);
    le d;
    if (a.align && (flags2 & FLAGS2_UNICODE))
        d.u8(0);
    r.data = d.raw(field);
    return r;
}

// The same for a name given as text: the name is UTF-16 with its
// terminator when the request is Unicode, else ASCII with a NUL.
inline smb1_request create_req(uint16_t tid, const std::string &name, create_args a = {},
                               uint16_t flags2 = 0xC001)
{
    bytes field = (flags2 & FLAGS2_UNICODE) ? bytes(le().utf16(name)) : bytes(le().ascii(name));
    return create_req_raw(tid, field, a, flags2);
}

// READ_ANDX; WordCount 12 with the high offset word when high >= 0.
inline smb1_request read_req(uint16_t fid, uint32_t offset, uint16_t max, int64_t high = -1)
{
    smb1_request r;
    r.cmd = 0x2E;
    le w;
    w.u8(0xFF).u8(0).u16(0).u16(fid).u32(offset).u16(max).u16(0).u32(0).u16(0);
    if (high >= 0)
        w.u32(uint32_t(high));
    r.words = w;
    return r;
}

// Runs the requests through the session runner in the world w after a
// negotiate and a guest logon (w must allow guests); the replies to the
// requests, the logon's own replies left out.
inline std::vector<smb1_reply> converse(test_world &w, const std::vector<smb1_request> &reqs)
{
    conn c(w);
    c.feed(smb1_frame(negotiate_request())).feed(smb1_frame(setup_nonext_request({}, {})));
    for (const smb1_request &r : reqs)
        c.feed(smb1_frame(r));
    c.run();
    std::vector<smb1_reply> replies = replies_of(c.writes);
    EXPECT_EQ(replies.size(), reqs.size() + 2);
    if (replies.size() < 2)
        return {};
    EXPECT_EQ(replies[1].status, 0u) << "guest logon";
    return std::vector<smb1_reply>(replies.begin() + 2, replies.end());
}

// A session record logged on as guest, with the option snapshot of the moment.
struct logged_rig : session_rig {
    logged_rig()
    {
        s->logged_on = 1;
        s->guest = 1;
        s->uid = 1;
    }
    // Connects a tree and returns its TID (0 when the connect failed).
    uint16_t connect(const std::string &path)
    {
        smb1_reply p = serve(tree_req(path));
        return p.status == 0 ? p.tid : 0;
    }
    // Opens a name on a tree and returns the FID (0 when the open failed).
    uint16_t open(uint16_t tid, const std::string &name, create_args a = {})
    {
        smb1_reply p = serve(create_req(tid, name, a));
        return p.status == 0 ? uint16_t(p.words[5] | p.words[6] << 8) : 0;
    }
};

// A DCE/RPC packet of the given type and call id, zero-filled to size, with
// the operation number in bytes 22-23. A request for operation 15
// (NetShareEnumAll) with room for it asks for information level 1 (no
// server name, then the level).
inline bytes rpc_packet(uint8_t type, uint32_t call_id, size_t size, uint16_t opnum = 0)
{
    bytes p(size, 0);
    p[0] = 5;
    p[2] = type;
    p[3] = 3;
    p[4] = 0x10;
    st16le(p.data() + 8, uint32_t(size));
    st32le(p.data() + 12, call_id);
    if (size >= 24)
        st16le(p.data() + 22, opnum);
    if (type == 0 && opnum == 15 && size >= 32)
        st32le(p.data() + 28, 1);
    return p;
}

// The strings written by ndr_w_str, each as (maximum count, offset, actual
// count, UTF-16 with terminator, padding).
inline bytes ndr(const std::string &s)
{
    uint32_t count = uint32_t(s.size()) + 1;
    le b;
    b.u32(count).u32(0).u32(count).utf16(s);
    if (count % 2)
        b.u16(0);
    return b;
}

// The stub of a NetShareEnumAll answer listing these disk shares and IPC$.
inline bytes enum_stub(const std::vector<std::string> &names)
{
    uint32_t n = uint32_t(names.size());
    le b;
    b.u32(1).u32(1).u32(0x00020004).u32(n + 1).u32(0x00020008).u32(n + 1);
    for (uint32_t i = 0; i <= n; i++)
        b.u32(0x00020010 + 64 * i).u32(i == n ? 3 : 0).u32(0x00020014 + 64 * i);
    for (const std::string &name : names)
        b.raw(ndr(name)).raw(ndr("read-only share"));
    return b.raw(ndr("IPC$")).raw(ndr("IPC Service")).u32(n + 1).u32(0).u32(0);
}

// Takes a stream of DCE/RPC response fragments apart, checking each one's
// header, size (at most the 3344 bytes announced at the bind) and flags;
// their stubs joined go to *stub. The number of fragments.
inline int rpc_stub(const bytes &stream, uint32_t call_id, bytes *stub)
{
    size_t at = 0;
    int frags = 0;
    while (at < stream.size()) {
        EXPECT_GE(stream.size() - at, 24u);
        if (stream.size() - at < 24)
            break;
        uint16_t len = ld16le(stream.data() + at + 8);
        EXPECT_LE(len, 3344);
        EXPECT_GE(len, 24);
        EXPECT_LE(at + len, stream.size());
        if (len < 24 || at + len > stream.size())
            break;
        bool last = at + len == stream.size();
        EXPECT_EQ(stream[at + 2], 2) << "response";
        EXPECT_EQ(stream[at + 3], (frags == 0 ? 1 : 0) | (last ? 2 : 0)) << "fragment " << frags << " flags";
        EXPECT_EQ(ld32le(stream.data() + at + 12), call_id) << "call id";
        if (!last) {
            EXPECT_EQ((len - 24) % 8, 0) << "fragment " << frags << " keeps NDR alignment";
        }
        stub->insert(stub->end(), stream.begin() + long(at) + 24, stream.begin() + long(at) + len);
        at += len;
        frags++;
    }
    return frags;
}

// Shares declared for one test and removed again at its end.
struct share_set {
    std::vector<std::string> names;
    share_set() = default;
    share_set(const share_set &) = delete;
    share_set &operator=(const share_set &) = delete;
    ~share_set()
    {
        for (const std::string &n : names)
            tb1s_share_remove(n.c_str());
    }
    // 0, or the result code of the addition.
    int32_t add(const std::string &name, const std::string &path)
    {
        int32_t rc = tb1s_share_add(name.c_str(), path.c_str());
        if (rc == 0)
            names.push_back(name);
        return rc;
    }
};

}  // namespace tb1s_test
