// TRANSACTION and TRANSACTION2: the request words, the blocks they point
// at, and the hand-over to the subcommand handlers. Every transaction fits
// in one message; secondary requests are unknown commands.
#include "cfg/stats.h"
#include "sess/handlers.h"

namespace tb1s {

namespace {

constexpr uint32_t k_header = 32;  // SMB header bytes before the WordCount byte

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

// Subcommands that would change the disk: OPEN2 (it may create),
// SET_PATH_INFORMATION, SET_FILE_INFORMATION and CREATE_DIRECTORY. They are
// refused like the state-changing commands, before their blocks are read.
bool is_write(uint32_t sub) { return sub == 0x0000 || sub == 0x0006 || sub == 0x0008 || sub == 0x000D; }

}  // namespace

void cmd_trans2(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep)
{
    if (req->len == 0 || req->data[0] < 15) {
        rep_error(s, rep, NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID);
        return;
    }
    tb1s_rd w = rd_make(req->data + 1, req->len - 1);
    rd_skip(&w, 18);  // total and maximum counts, flags, timeout, reserved
    uint32_t pcount = rd_u16(&w);
    uint32_t poff = rd_u16(&w);
    rd_skip(&w, 6);  // data count and offset, setup count, reserved
    uint32_t sub = rd_u16(&w);
    if (w.err) {
        rep_error(s, rep, NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID);
        return;
    }
    if (is_write(sub)) {
        tb1s_trace("[trans2] refused: subcommand %04x would change the disk\n", unsigned(sub));
        sess_stat(s, STAT_MUTATING_REFUSED, 1);
        sess_write_refused(s, nullptr);
        rep_error(s, rep, NT_STATUS_ACCESS_DENIED, TB1S_DOS_SRV_ACCESS);
        return;
    }
    const uint8_t *params = block(req, poff, pcount);
    if (!params) {
        rep_error(s, rep, NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID);
        return;
    }
    tb1s_tree *tree = tree_find(s, s->tid);
    if (!tree) {
        rep_error(s, rep, NT_STATUS_BAD_NETWORK_NAME, TB1S_DOS_BAD_NAME);
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
    case 0x0007:
        query_file_cmd(s, rep, tree, params, pcount);
        break;
    default:
        rep_error(s, rep, NT_STATUS_INVALID_INFO_CLASS, TB1S_DOS_INVALID);
        break;
    }
}

void cmd_trans(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep)
{
    if (req->len == 0 || req->data[0] < 14) {
        rep_error(s, rep, NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID);
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
        rep_error(s, rep, NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID);
        return;
    }
    const uint8_t *data = block(req, doff, dcount);
    if (!data) {
        rep_error(s, rep, NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID);
        return;
    }
    if (setup[0] != 0x0026) {  // TransactNmPipe is the only transaction served
        rep_error(s, rep, NT_STATUS_NOT_SUPPORTED, TB1S_DOS_SRV_ERROR);
        return;
    }
    tb1s_file *f = file_find(s, setup[1]);
    if (!f || !f->pipe) {
        rep_error(s, rep, NT_STATUS_INVALID_HANDLE, TB1S_DOS_NOT_FOUND);
        return;
    }
    sess_stat(s, STAT_SRVSVC_QUERIES, 1);
    pipe_transact(s, rep, f, max_data, data, dcount);
}

}  // namespace tb1s
