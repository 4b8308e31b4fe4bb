// TRANSACTION and TRANSACTION2 requests as clients lay them out, and the
// blocks of a TRANSACTION2 reply.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "conn.h"
#include "smb1.h"
#include "util/bytes.h"

using namespace tb1s;

namespace tb1s_test {

// Parameter block offset of the requests below: 32 header bytes, WordCount,
// 15 words, ByteCount, then three pad bytes.
inline constexpr uint16_t k_t2_param_off = 68;

// A TRANSACTION2 request of 15 words with the parameter block at offset 68
// and no data block.
inline smb1_request trans2_req(uint16_t tid, uint16_t sub, const bytes &params)
{
    smb1_request r;
    r.cmd = 0x32;
    r.tid = tid;
    uint32_t n = uint32_t(params.size());
    r.words = le()
                  .u16(n)        // TotalParameterCount
                  .u16(0)        // TotalDataCount
                  .u16(10)       // MaxParameterCount
                  .u16(0xFFFF)   // MaxDataCount
                  .u8(0)
                  .u8(0)
                  .u16(0)        // Flags
                  .u32(0)        // Timeout
                  .u16(0)
                  .u16(n)        // ParameterCount
                  .u16(k_t2_param_off)
                  .u16(0)        // DataCount
                  .u16(uint32_t(k_t2_param_off + n))
                  .u8(1)         // SetupCount
                  .u8(0)
                  .u16(sub);
    r.data = le().zeros(3).raw(params);
    return r;
}

// A TRANSACTION request with the given setup words and a data block at
// offset 76 (after the words, ByteCount, a name "\PIPE\" and padding).
inline smb1_request trans_req(uint16_t tid, const std::vector<uint16_t> &setup, const bytes &data)
{
    smb1_request r;
    r.cmd = 0x25;
    r.tid = tid;
    uint32_t words = 14 + uint32_t(setup.size());
    uint32_t before = 32 + 1 + 2 * words + 2;  // first byte after ByteCount
    uint32_t doff = (before + 8 + 3) & ~3u;     // "\PIPE\\0" in ASCII, then pad
    le w;
    w.u16(0).u16(uint32_t(data.size())).u16(0).u16(1024).u8(0).u8(0).u16(0).u32(0).u16(0);
    w.u16(0).u16(doff).u16(uint32_t(data.size())).u16(doff).u8(uint32_t(setup.size())).u8(0);
    for (uint16_t v : setup)
        w.u16(v);
    r.words = w;
    le d;
    d.ascii("\\PIPE\\");
    d.zeros(doff - before - 7);
    d.raw(data);
    r.data = d;
    return r;
}

// The two blocks of a TRANSACTION2 reply, taken by its offsets.
struct t2_reply {
    uint32_t status = 0;
    bool framed = false;  // a TRANSACTION2 body (WordCount 10) was there
    bytes params, data;
};

inline t2_reply t2_parse(const smb1_reply &r)
{
    t2_reply t;
    t.status = r.status;
    if (r.wc != 10 || r.words.size() < 20)
        return t;
    t.framed = true;
    auto block = [&](size_t count_at, size_t off_at) {
        size_t n = ld16le(r.words.data() + count_at), o = ld16le(r.words.data() + off_at);
        if (n == 0 || o + n > r.raw.size())
            return bytes{};
        return bytes(r.raw.begin() + long(o), r.raw.begin() + long(o + n));
    };
    t.params = block(6, 8);
    t.data = block(12, 14);
    return t;
}

// A connected tree in the session record, as a tree connect leaves it.
inline void add_tree(tb1s_session *s, uint16_t tid, const char *share, bool ipc = false)
{
    for (tb1s_tree &t : s->trees) {
        if (!t.in_use) {
            t.in_use = 1;
            t.tid = tid;
            std::strncpy(t.share, share, sizeof t.share - 1);
            t.ipc = ipc ? 1 : 0;
            return;
        }
    }
}

}  // namespace tb1s_test
