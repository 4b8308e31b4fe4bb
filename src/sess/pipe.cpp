// The "srvsvc" pipe: DCE/RPC connection-oriented packets carried in
// TRANSACTION requests or written with WRITE_ANDX. A bind is acknowledged,
// NetShareEnumAll (operation 15) is answered with the share list at
// information level 0, 1 or 2, and any other operation gets a fault; both ways
// give the same answers. No RPC state is kept between packets; a pipe holds
// only the start of a packet written in pieces and the answers the client
// has not read yet (the answer to a write, or the tail of an answer too long
// for its transaction), which it fetches with READ_ANDX.
#include <cstdlib>

#include "cfg/shares.h"
#include "cfg/stats.h"
#include "sess/handlers.h"
#include "util/text.h"

namespace tb1s {

namespace {

enum : uint8_t { PKT_REQUEST = 0, PKT_RESPONSE = 2, PKT_FAULT = 3, PKT_BIND = 11, PKT_BIND_ACK = 12 };

constexpr uint32_t k_op_share_enum_all = 15;
constexpr uint32_t k_op_rng_error = 0x1C00002E;  // nca_s_op_rng_error
constexpr uint16_t k_max_frag = 3344;  // the most this side sends in one fragment
constexpr uint32_t k_response_head = 24;  // common header, allocation hint, context, cancel count
constexpr uint32_t k_stub_at = 24;  // a request's stub follows header, allocation hint, context and operation
// Stub bytes per response fragment: what fits the announced fragment size,
// a multiple of 8 so that every fragment but the last keeps NDR alignment.
constexpr uint32_t k_frag_stub = (k_max_frag - k_response_head) / 8 * 8;
constexpr uint32_t k_assoc_group = 0x00009B5B;
constexpr char k_sec_addr[] = "\\PIPE\\srvsvc";
// NDR transfer syntax 8a885d04-1ceb-11c9-9fe8-08002b104860, in GUID byte order.
constexpr uint8_t k_ndr_syntax[16] = {0x04, 0x5d, 0x88, 0x8a, 0xeb, 0x1c, 0xc9, 0x11,
                                      0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60};
constexpr uint32_t k_ndr_version = 2;

// Share types of the enumeration.
constexpr uint32_t k_type_disk = 0;
constexpr uint32_t k_type_ipc = 3;

enum : uint8_t { FRAG_FIRST = 0x01, FRAG_LAST = 0x02 };

// The 16-byte common header; the fragment length is filled in by set_len.
void header(tb1s_buf *b, uint8_t type, uint32_t call_id, uint8_t frag_flags = FRAG_FIRST | FRAG_LAST)
{
    static constexpr uint8_t drep[4] = {0x10, 0, 0, 0};  // little-endian, ASCII, IEEE
    tb1s_buf_byte(b, 5);     // version
    tb1s_buf_byte(b, 0);     // minor version
    tb1s_buf_byte(b, type);
    tb1s_buf_byte(b, frag_flags);
    tb1s_buf_put(b, drep, sizeof drep);
    w16(b, 0);               // fragment length
    w16(b, 0);               // authentication length
    w32(b, call_id);
}

// Stores the length of the fragment that starts at `at` and ends the buffer.
void set_len(tb1s_buf *b, uint64_t at)
{
    if (!b->oom && b->len >= at + 10)
        st16le(b->data + at + 8, uint32_t(b->len - at));
}

// Sends the answer: whole when it fits the client's MaxDataCount (or there
// is no pipe record to keep a rest in), else its first max_data bytes with
// BUFFER_OVERFLOW, the rest kept in the pipe for READ_ANDX. Takes `out`.
void deliver(tb1s_session *s, tb1s_reply *rep, tb1s_file *pipe, uint32_t max_data, tb1s_buf *out)
{
    if (pipe) {  // a new answer replaces anything the client left unread
        tb1s_buf_free(&pipe->out);
        pipe->out_pos = 0;
    }
    if (!pipe || max_data == 0 || out->len <= max_data) {
        trans_reply(rep, out->data, uint32_t(out->len));
        tb1s_buf_free(out);
        return;
    }
    trans_reply(rep, out->data, max_data);
    rep_error(s, rep, NT_STATUS_BUFFER_OVERFLOW, TB1S_DOS_MORE_DATA);
    pipe->out = *out;
    pipe->out_pos = max_data;
    *out = tb1s_buf{};
}

// Accepts the one presentation context the bind offers, whatever it names,
// with the NDR transfer syntax.
void bind_ack(tb1s_buf *b, uint32_t call_id)
{
    header(b, PKT_BIND_ACK, call_id);
    w16(b, k_max_frag);  // max transmit fragment
    w16(b, k_max_frag);  // max receive fragment
    w32(b, k_assoc_group);
    w16(b, sizeof k_sec_addr);  // secondary address, NUL included
    tb1s_buf_put(b, k_sec_addr, sizeof k_sec_addr);
    while (b->len % 4 != 0 && !b->oom)
        tb1s_buf_byte(b, 0);
    tb1s_buf_byte(b, 1);  // one result
    tb1s_buf_byte(b, 0);  // reserved
    w16(b, 0);            // reserved
    w16(b, 0);            // result: acceptance
    w16(b, 0);            // reason
    tb1s_buf_put(b, k_ndr_syntax, sizeof k_ndr_syntax);
    w32(b, k_ndr_version);
    set_len(b, 0);
}

// The shares in the order of the share list, without its built-in "IPC$"
// (the one record without a path). *n is 0 when the list cannot be had.
tb1s_share *declared_shares(int32_t *n)
{
    tb1s_share *list = nullptr;
    int32_t count = 0;
    *n = 0;
    if (tb1s_share_list(&list, &count) != 0 || !list)
        return nullptr;
    for (int32_t i = 0; i < count; i++) {
        if (list[i].path[0] == 0)
            continue;
        if (i != *n)
            list[*n] = list[i];
        (*n)++;
    }
    return list;
}

// The information level a NetShareEnumAll request asks for: the first
// number after the optional server name. 1 when the stub cannot be read.
uint32_t requested_level(const uint8_t *data, uint32_t n)
{
    tb1s_rd r = rd_make(data + k_stub_at, n > k_stub_at ? n - k_stub_at : 0);
    if (rd_u32(&r) != 0) {  // server name: a unique pointer to a conformant varying string
        rd_skip(&r, 8);     // maximum count, offset
        rd_skip(&r, uint64_t(rd_u32(&r)) * 2);
        rd_skip(&r, (4 - r.pos % 4) % 4);
    }
    uint32_t level = rd_u32(&r);
    return r.err ? 1 : level;
}

// NetShareEnumAll: a container of the declared shares and "IPC$" at
// information level 0 (names alone) or 2 when the request asks for it
// (scanners ask for 0 and read no other level; rpcclient asks for 2 and
// reads a level-1 answer as level 2), else at level 1 whatever level was
// asked. Level 2 reports no host path and no password. An answer longer
// than one fragment is cut into several.
void share_enum(tb1s_buf *b, uint32_t call_id, uint32_t asked)
{
    int32_t n = 0;
    tb1s_share *shares = declared_shares(&n);
    uint32_t entries = uint32_t(n) + 1;
    uint32_t level = asked == 0 || asked == 2 ? asked : 1;

    tb1s_buf stub{};
    w32(&stub, level);       // information level
    w32(&stub, level);       // union discriminant
    w32(&stub, 0x00020004);  // container pointer
    w32(&stub, entries);     // entries read
    w32(&stub, 0x00020008);  // array pointer
    w32(&stub, entries);     // array maximum count
    for (uint32_t i = 0; i < entries; i++) {
        w32(&stub, 0x00020010 + 64 * i);  // name pointer
        if (level == 0)
            continue;  // level 0 is the name alone
        w32(&stub, i + 1 == entries ? k_type_ipc : k_type_disk);
        w32(&stub, 0x00020014 + 64 * i);  // comment pointer
        if (level == 2) {
            w32(&stub, 0);                    // permissions
            w32(&stub, 0xFFFFFFFF);           // maximum uses: unlimited
            w32(&stub, 0);                    // current uses
            w32(&stub, 0x00020018 + 64 * i);  // path pointer
            w32(&stub, 0);                    // password pointer: none
        }
    }
    for (uint32_t i = 0; i < entries; i++) {
        bool ipc = i + 1 == entries;
        ndr_w_str(&stub, ipc ? "IPC$" : shares[i].name);
        if (level == 0)
            continue;
        ndr_w_str(&stub, ipc ? "IPC Service" : "read-only share");
        if (level == 2)
            ndr_w_str(&stub, "");  // path: host paths stay private
    }
    w32(&stub, entries);  // total entries
    w32(&stub, 0);        // resume handle pointer: none
    w32(&stub, 0);        // return value: success
    std::free(shares);

    uint64_t done = 0;
    do {
        uint64_t piece = stub.len - done < k_frag_stub ? stub.len - done : k_frag_stub;
        uint8_t flags = uint8_t((done == 0 ? FRAG_FIRST : 0) | (done + piece == stub.len ? FRAG_LAST : 0));
        uint64_t at = b->len;
        header(b, PKT_RESPONSE, call_id, flags);
        w32(b, 0x00200000);   // allocation hint
        w16(b, 0);            // context id
        tb1s_buf_byte(b, 0);  // cancel count
        tb1s_buf_byte(b, 0);  // reserved
        if (piece > 0)
            tb1s_buf_put(b, stub.data + done, piece);
        set_len(b, at);
        done += piece;
    } while (done < stub.len && !b->oom);
    tb1s_buf_free(&stub);
}

void fault(tb1s_buf *b, uint32_t call_id)
{
    header(b, PKT_FAULT, call_id);
    w32(b, 32);          // allocation hint
    w16(b, 0);           // context id
    tb1s_buf_byte(b, 0); // cancel count
    tb1s_buf_byte(b, 0); // reserved
    w32(b, k_op_rng_error);
    w32(b, 0);           // reserved
    set_len(b, 0);
}

// The answer to one DCE/RPC packet, appended to out: a bind
// acknowledgement, the share list, or a fault for any other operation.
// false for a packet that is neither a bind nor a request.
bool answer(const uint8_t *data, uint32_t n, tb1s_buf *out)
{
    if (n >= 24 && data[2] == PKT_BIND) {
        bind_ack(out, ld32le(data + 12));
        return true;
    }
    if (n >= 26 && data[2] == PKT_REQUEST) {
        uint32_t call_id = ld32le(data + 12);
        if (ld16le(data + 22) == k_op_share_enum_all)
            share_enum(out, call_id, requested_level(data, n));
        else
            fault(out, call_id);
        return true;
    }
    return false;
}

}  // namespace

// Text as an NDR conformant varying string of UTF-16 characters, the
// terminator counted, padded to 4 bytes. UTF-8 text is converted, so a
// share named in any script is listed under the name that reaches it; a
// text that is not UTF-8 is written a byte per character.
void ndr_w_str(tb1s_buf *b, const char *text)
{
    uint8_t units[1024];
    int32_t written = 0;
    uint32_t count;  // characters with the terminator
    bool utf16 = tb1s_utf8_to_utf16le(text, units, sizeof units, &written) == 0;
    if (utf16) {
        count = uint32_t(written) / 2 + 1;
    } else {
        count = 1;
        for (const char *c = text; *c; c++)
            count++;
    }
    w32(b, count);  // maximum count
    w32(b, 0);      // offset
    w32(b, count);  // actual count
    if (utf16) {
        tb1s_buf_put(b, units, uint64_t(written));
    } else {
        for (const char *c = text; *c; c++)
            w16(b, uint8_t(*c));
    }
    w16(b, 0);
    if (count % 2 != 0)
        w16(b, 0);
}

void pipe_transact(tb1s_session *s, tb1s_reply *rep, tb1s_file *pipe, uint32_t max_data, const uint8_t *data,
                   uint32_t n)
{
    tb1s_buf out{};
    if (!answer(data, n, &out)) {
        rep_error(s, rep, NT_STATUS_NOT_SUPPORTED);
        return;
    }
    deliver(s, rep, pipe, max_data, &out);
}

uint32_t pipe_take(tb1s_file *pipe, uint32_t max, tb1s_buf *to, bool *more)
{
    *more = false;
    uint64_t len = pipe->out.len, pos = pipe->out_pos;
    if (pos >= len)
        return 0;
    // The answers are whole fragments one after another: find the one the
    // client is in. A length that cannot be a fragment makes the rest one.
    uint64_t end = len;
    for (uint64_t at = 0; at + 10 <= len;) {
        uint64_t frag = ld16le(pipe->out.data + at + 8);
        if (frag < 16 || at + frag > len)
            break;
        if (at + frag > pos) {
            end = at + frag;
            break;
        }
        at += frag;
    }
    uint64_t count = end - pos < max ? end - pos : max;
    tb1s_buf_put(to, pipe->out.data + pos, count);
    *more = pos + count < end;
    pipe->out_pos = pos + count;
    if (pipe->out_pos >= len) {  // everything read: the queue starts afresh
        tb1s_buf_free(&pipe->out);
        pipe->out_pos = 0;
    }
    return uint32_t(count);
}

void cmd_write_andx(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep)
{
    // Only the pipe takes writes; everything else is refused before more
    // than the FID is looked at.
    uint32_t wc = req->len ? req->data[0] : 0;
    tb1s_file *pipe = wc >= 12 && req->len >= 7 ? file_find(s, ld16le(req->data + 5)) : nullptr;
    if (!pipe || !pipe->pipe) {
        cmd_refused(s, req, rep);
        return;
    }
    rd_skip(req, 1 + 4 + 2);  // WordCount, AndX (chains are not followed), FID
    rd_u32(req);              // Offset: a pipe has none
    rd_u32(req);              // Timeout
    rd_u16(req);              // WriteMode: a packet may come in several writes either way
    rd_u16(req);              // Remaining
    rd_u16(req);              // DataLengthHigh: reserved, as large writes are not announced
    uint32_t count = rd_u16(req);
    uint32_t off = rd_u16(req);  // from the header start
    if (req->err || off < 32 || off - 32 > req->len || count > req->len - (off - 32)) {
        rep_error(s, rep, NT_STATUS_INVALID_PARAMETER);
        return;
    }
    const uint8_t *data = req->data + (off - 32);

    // The bytes join any start of a packet written before. A packet is
    // answered once its fragment length is in and met; a length that
    // cannot be met makes the bytes at hand the packet, as a transaction's
    // data block is.
    tb1s_buf_put(&pipe->in, data, count);
    if (pipe->in.oom) {
        tb1s_buf_free(&pipe->in);
        rep_error(s, rep, NT_STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    uint64_t have = pipe->in.len;
    uint64_t frag = have >= 10 ? ld16le(pipe->in.data + 8) : 0;
    bool waiting = have < 10 || (frag > have && frag >= 16);
    if (!waiting) {
        sess_stat(s, STAT_SRVSVC_QUERIES, 1);
        // Unread answers are kept; this one queues behind them.
        tb1s_buf out{};
        bool ok = answer(pipe->in.data, uint32_t(have), &out);
        tb1s_buf_free(&pipe->in);
        if (!ok) {
            rep_error(s, rep, NT_STATUS_NOT_SUPPORTED);
            return;
        }
        if (pipe->out_pos > 0 && pipe->out_pos < pipe->out.len) {
            tb1s_buf rest{};
            tb1s_buf_put(&rest, pipe->out.data + pipe->out_pos, pipe->out.len - pipe->out_pos);
            tb1s_buf_free(&pipe->out);
            pipe->out = rest;
        } else if (pipe->out_pos >= pipe->out.len) {
            tb1s_buf_free(&pipe->out);
        }
        pipe->out_pos = 0;
        tb1s_buf_put(&pipe->out, out.data, out.len);
        tb1s_buf_free(&out);
    }

    uint64_t unread = pipe->out.len - pipe->out_pos;
    rep->wc = 6;
    w32(&rep->buf, 0x000000FF);  // no further command
    w16(&rep->buf, count);
    w16(&rep->buf, unread < 0xFFFF ? uint32_t(unread) : 0xFFFF);  // Available: answer bytes to read
    w16(&rep->buf, 0);            // CountHigh
    w16(&rep->buf, 0);            // Reserved
    w16(&rep->buf, 0);            // ByteCount
}

}  // namespace tb1s
