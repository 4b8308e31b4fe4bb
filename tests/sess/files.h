// Requests of the file commands (tree connect, open, read) for the session
// tests, and a logged-on session record to serve them.
#pragma once

#include <string>
#include <vector>

#include "cfg/shares.h"
#include "conn.h"
#include "smb1.h"

namespace tb1s_test {

constexpr uint32_t ST_INVALID_HANDLE = 0xC0000008, ST_INVALID_PARAMETER = 0xC000000D,
                   ST_END_OF_FILE = 0xC0000011, ST_ACCESS_DENIED = 0xC0000022, ST_NAME_INVALID = 0xC0000033,
                   ST_NAME_NOT_FOUND = 0xC0000034, ST_INSUFFICIENT_RESOURCES = 0xC000009A,
                   ST_IS_A_DIRECTORY = 0xC00000BA, ST_NOT_SUPPORTED = 0xC00000BB, ST_BAD_NETWORK_NAME = 0xC00000CC,
                   ST_NOT_A_DIRECTORY = 0xC0000103, ST_SESSION_DELETED = 0xC0000203;
constexpr uint32_t dos_pair(uint32_t cls, uint32_t code) { return cls | code << 16; }

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

// The body of a reply: everything after the 32-byte header.
inline bytes body(const smb1_reply &p) { return bytes(p.raw.begin() + 32, p.raw.end()); }

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
