// TRANSACTION and TRANSACTION2: the request words, the blocks they point
// at, and the hand-over to the subcommand handlers. Every transaction fits
// in one message; secondary requests are unknown commands.
#include "cfg/stats.h"
#include "sess/handlers.h"

namespace tb1s {

namespace {

constexpr uint32_t k_header = 32;  // SMB header bytes before the WordCount byte

// The first bytes of a block as hex for a trace line: "%02x" each, or
// " %02x" each when `spaced`. out must hold 3 * max + 1 bytes.
void hex_prefix(const uint8_t *p, uint32_t n, uint32_t max, bool spaced, char *out)
{
    out[0] = 0;
    uint32_t k = n < max ? n : max;
    char *o = out;
    for (uint32_t i = 0; i < k; i++)
        o += tb1s_snprintf(o, 4, spaced ? " %02x" : "%02x", p[i]);
}

// Places a block given by its offset and count inside the bytes after the
// header (req). Offsets above 32 count from the header start, as clients
// send them; smaller ones are taken as counting from the WordCount byte.
// The block, or null when any part of it lies outside the message.
const uint8_t *block(const tb1s_rd *req, uint32_t off, uint32_t count)
{
    uint64_t o = off > k_header ? off - k_header : off;
    uint64_t len = req->len;
    if (o > len || count > len || o + count > len)
        return nullptr;
    return req->data + o;
}

// Subcommand 0x0006: ends a search by its id. The tree is not compared, and
// an id that names no search still succeeds.
void search_close(tb1s_session *s, tb1s_reply *rep, const uint8_t *params, uint32_t n)
{
    if (tb1s_search *e = search_find(s, n >= 2 ? ld16le(params) : 0))
        cursor_drop(e);
    trans2_reply(s, rep, nullptr, 0, nullptr, 0);
}

}  // namespace

void cmd_trans2(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep)
{
    if (req->len == 0 || req->data[0] < 15) {
        rep_error(s, rep, NT_STATUS_INVALID_PARAMETER, tb1s_dos(1, 8));
        return;
    }
    tb1s_rd w = rd_make(req->data + 1, req->len - 1);
    rd_skip(&w, 18);  // total and maximum counts, flags, timeout, reserved
    uint32_t pcount = rd_u16(&w);
    uint32_t poff = rd_u16(&w);
    rd_skip(&w, 6);  // data count and offset, setup count, reserved
    uint32_t sub = rd_u16(&w);
    if (w.err) {
        rep_error(s, rep, NT_STATUS_INVALID_PARAMETER, tb1s_dos(1, 8));
        return;
    }
    const uint8_t *params = block(req, poff, pcount);
    if (tb1s_trace_on()) {
        char hex[24 * 3 + 1];
        hex_prefix(params, params ? pcount : 0, 24, false, hex);
        tb1s_trace("[t2] sub=%04x pcnt=%u poff=%u params=%s\n", sub, pcount, poff, hex);
    }
    if (!params) {
        rep_error(s, rep, NT_STATUS_INVALID_PARAMETER, tb1s_dos(1, 8));
        return;
    }
    tb1s_tree *tree = tree_find(s, s->tid);
    if (!tree) {
        rep_error(s, rep, NT_STATUS_BAD_NETWORK_NAME, tb1s_dos(1, 6));
        return;
    }
    switch (sub) {
    case 0x0001:
    case 0x0002:
        find_cmd(s, rep, tree, sub, params, pcount);
        break;
    case 0x0003:
        query_fs_cmd(s, rep, tree, params, pcount);
        break;
    case 0x0005:
        query_path_cmd(s, rep, tree, params, pcount);
        break;
    case 0x0006:
        search_close(s, rep, params, pcount);
        break;
    case 0x0007:
        query_file_cmd(s, rep, tree, params, pcount);
        break;
    default:
        rep_error(s, rep, NT_STATUS_INVALID_INFO_CLASS, tb1s_dos(1, 8));
        break;
    }
}

void cmd_trans(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep)
{
    if (req->len == 0 || req->data[0] < 14) {
        rep_error(s, rep, NT_STATUS_INVALID_PARAMETER, tb1s_dos(1, 8));
        return;
    }
    tb1s_rd w = rd_make(req->data + 1, req->len - 1);
    rd_skip(&w, 6);  // total counts, MaxParameterCount
    uint32_t max_data = rd_u16(&w);
    rd_skip(&w, 14);  // MaxSetupCount, flags, timeout, reserved, parameter count and offset
    uint32_t dcount = rd_u16(&w);
    uint32_t doff = rd_u16(&w);
    uint32_t nsetup = rd_u8(&w);
    rd_u8(&w);  // reserved
    uint32_t setup[2] = {0, 0};
    for (uint32_t i = 0; i < nsetup && i < 2; i++)
        setup[i] = rd_u16(&w);
    if (w.err) {
        rep_error(s, rep, NT_STATUS_INVALID_PARAMETER, tb1s_dos(1, 8));
        return;
    }
    const uint8_t *data = block(req, doff, dcount);
    if (!data) {
        rep_error(s, rep, NT_STATUS_INVALID_PARAMETER, tb1s_dos(1, 8));
        return;
    }
    if (tb1s_trace_on()) {
        char hex[12 * 3 + 1];
        hex_prefix(data, dcount, 12, true, hex);
        tb1s_trace("[trans] setup0=%04x setup1=%u dcnt=%u doff=%u data:%s\n", setup[0], setup[1], dcount, doff,
                   hex);
    }
    if (setup[0] != 0x0026) {  // TransactNmPipe is the only transaction served
        rep_error(s, rep, NT_STATUS_NOT_SUPPORTED, tb1s_dos(2, 1));
        return;
    }
    tb1s_file *f = file_find(s, setup[1]);
    if (!f || !f->pipe) {
        rep_error(s, rep, NT_STATUS_INVALID_HANDLE, tb1s_dos(1, 2));
        return;
    }
    sess_stat(s, STAT_SRVSVC_QUERIES, 1);
    pipe_transact(s, rep, f, max_data, data, dcount);
}

}  // namespace tb1s
