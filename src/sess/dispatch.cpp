// The command table (dispatch and names), the refusal of state-changing
// commands, the commands answered without a handler file of their own, and
// the release of everything a session holds.
#include <array>
#include <cstdlib>
#include <cstring>

#include "cfg/stats.h"
#include "crypto/crypto.h"
#include "sess/handlers.h"
#include "sess/session.h"

namespace tb1s {

namespace {

// The AndX block of a reply that has nothing else to say: no further
// command, reserved byte, offset 0.
void andx_none(tb1s_reply *rep) { w32(&rep->buf, 0x000000FF); }

void unlink_file(tb1s_session *s, tb1s_file *f)
{
    for (tb1s_file **pp = &s->files; *pp; pp = &(*pp)->next) {
        if (*pp == f) {
            *pp = f->next;
            break;
        }
    }
    tb1s_buf_free(&f->in);
    tb1s_buf_free(&f->out);
    std::free(f);
    if (s->nfiles > 0)
        s->nfiles--;
}

// CLOSE: releases the open file of the FID; an unknown FID is no error.
void cmd_close(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep)
{
    rd_u8(req);  // WordCount
    uint32_t fid = rd_u16(req);
    rd_u32(req);  // LastTimeModified: nothing is written, so nothing to set
    if (req->err) {
        rep_error(s, rep, NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID);
        return;
    }
    if (tb1s_file *f = file_find(s, fid))
        unlink_file(s, f);
    rep->wc = 0;
    w16(&rep->buf, 0);  // ByteCount
}

// FLUSH: nothing is written, so there is nothing to flush. The reply has
// no words (WordCount 0, ByteCount 0).
void cmd_flush(tb1s_session *, tb1s_rd *, tb1s_reply *) {}

// FIND_CLOSE2: ends the search of the SID in its one word, whatever tree
// it was made on. The reply has no words.
void cmd_find_close2(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep)
{
    uint32_t wc = rd_u8(req);
    uint32_t sid = rd_u16(req);
    if (req->err || wc < 1) {
        rep_error(s, rep, NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID);
        return;
    }
    tb1s_search *e = search_find(s, sid);
    if (!e) {
        rep_error(s, rep, NT_STATUS_INVALID_HANDLE);
        return;
    }
    cursor_drop(e);
}

// ECHO: one reply, sequence number 1, carrying the bytes after the request's
// ByteCount field.
void cmd_echo(tb1s_session *, tb1s_rd *req, tb1s_reply *rep)
{
    uint64_t skip = req->len > 0 ? 2 * uint64_t(req->data[0]) + 3 : 0;
    uint64_t n = req->len > skip ? req->len - skip : 0;
    if (n > 0xFFFF)
        n = 0xFFFF;  // the ByteCount field holds 16 bits; echo no more than it can announce
    rep->wc = 1;
    w16(&rep->buf, 1);
    w16(&rep->buf, uint32_t(n));
    if (n > 0)
        tb1s_buf_put(&rep->buf, req->data + skip, n);
}

// TREE_DISCONNECT: the tree is forgotten; its files and searches stay open.
// The reply has no words.
void cmd_tree_disconnect(tb1s_session *s, tb1s_rd *, tb1s_reply *)
{
    if (tb1s_tree *t = tree_find(s, s->tid))
        t->in_use = 0;
}

// LOGOFF_ANDX: back to the state before logon, UID 0.
void cmd_logoff(tb1s_session *s, tb1s_rd *, tb1s_reply *rep)
{
    drop_all(s);
    s->uid = 0;
    andx_none(rep);
}

void cmd_nt_transact(tb1s_session *s, tb1s_rd *, tb1s_reply *rep)
{
    sess_stat(s, STAT_NT_TRANSACT_REFUSED, 1);
    rep_error(s, rep, NT_STATUS_NOT_SUPPORTED, TB1S_DOS_SRV_ERROR);
}


void cmd_unknown(tb1s_session *s, tb1s_rd *, tb1s_reply *rep)
{
    sess_stat(s, STAT_PROTOCOL_ERRORS, 1);
    rep_error(s, rep, NT_STATUS_NOT_SUPPORTED, TB1S_DOS_SRV_ERROR);
}

// Every command the server knows by name, and what it does with it: serve
// it, refuse it (it would change the disk), or answer it as unknown. A code
// not listed is unknown and named "?". Serving a new command is changing
// its row.
struct command {
    uint8_t code;
    const char *name;
    tb1s_handler fn;
};
constexpr command k_commands[] = {
    {0x00, "CREATE_DIRECTORY", cmd_refused},
    {0x01, "DELETE_DIRECTORY", cmd_refused},
    {0x02, "OPEN", cmd_refused},
    {0x03, "CREATE", cmd_unknown},
    {0x04, "CLOSE", cmd_close},
    {0x05, "FLUSH", cmd_flush},
    {0x06, "DELETE", cmd_refused},
    {0x07, "RENAME", cmd_refused},
    {0x08, "QUERY_INFORMATION", cmd_query_information},
    {0x09, "SET_INFORMATION", cmd_refused},
    {0x0B, "WRITE", cmd_refused},
    {0x0C, "LOCK_BYTE_RANGE", cmd_refused},
    {0x0D, "UNLOCK_BYTE_RANGE", cmd_refused},
    {0x10, "CHECK_DIRECTORY", cmd_check_directory},
    {0x13, "SET_INFORMATION2", cmd_refused},
    {0x1A, "READ_RAW", cmd_unknown},
    {0x24, "LOCK_ANDX", cmd_refused},
    {0x25, "TRANS", cmd_trans},
    {0x26, "TRANS_SECONDARY", cmd_unknown},
    {0x29, "COPY", cmd_refused},
    {0x2A, "MOVE", cmd_refused},
    {0x2B, "ECHO", cmd_echo},
    {0x2C, "WRITE_CLOSE", cmd_refused},
    {0x2D, "OPEN_ANDX", cmd_refused},
    {0x2E, "READ_ANDX", cmd_read_andx},
    {0x2F, "WRITE_ANDX", cmd_write_andx},
    {0x31, "WRITE_RAW", cmd_refused},
    {0x32, "TRANS2", cmd_trans2},
    {0x33, "TRANS2_SECONDARY", cmd_unknown},
    {0x34, "FIND_CLOSE2", cmd_find_close2},
    {0x71, "TREE_DISCONNECT", cmd_tree_disconnect},
    {0x72, "NEGOTIATE", cmd_negotiate},
    {0x73, "SESSION_SETUP_ANDX", cmd_session_setup},
    {0x74, "LOGOFF_ANDX", cmd_logoff},
    {0x75, "TREE_CONNECT_ANDX", cmd_tree_connect},
    {0xA0, "NT_TRANSACT", cmd_nt_transact},
    {0xA1, "NT_TRANSACT_SECONDARY", cmd_nt_transact},
    {0xA2, "NT_CREATE_ANDX", cmd_nt_create},
};

// The rows by command byte; the unnamed unknown command fills the rest.
constexpr command k_no_command = {0, "?", cmd_unknown};
constexpr std::array<const command *, 256> k_by_code = [] {
    std::array<const command *, 256> t{};
    for (const command *&c : t)
        c = &k_no_command;
    for (const command &c : k_commands)
        t[c.code] = &c;
    return t;
}();

}  // namespace

void cmd_refused(tb1s_session *s, tb1s_rd *, tb1s_reply *rep)
{
    sess_stat(s, STAT_MUTATING_REFUSED, 1);
    sess_write_refused(s, nullptr);
    rep_error(s, rep, NT_STATUS_ACCESS_DENIED, TB1S_DOS_SRV_ACCESS);
}

void dispatch(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep) { k_by_code[s->command]->fn(s, req, rep); }

const char *tb1s_cmd_name(uint8_t cmd) { return k_by_code[cmd]->name; }

const char *tb1s_frame_name(const uint8_t *p, uint64_t n)
{
    if (!p || n < 4)
        return "?";
    if (p[0] == 0xFE && p[1] == 'S' && p[2] == 'M' && p[3] == 'B')
        return "SMB2_NEGOTIATE";
    if (n == 4)
        return "?";
    if (p[0] == 0xFF && p[1] == 'S' && p[2] == 'M' && p[3] == 'B')
        return tb1s_cmd_name(p[4]);
    return "?";
}

void cursor_drop(tb1s_search *e)
{
    if (e->list)
        tb1s_vfs_free(e->list, e->count);
    *e = tb1s_search{};
}

void drop_all(tb1s_session *s)
{
    while (s->files)
        unlink_file(s, s->files);
    for (tb1s_search &e : s->searches) {
        if (e.in_use)
            cursor_drop(&e);
    }
    for (tb1s_tree &t : s->trees)
        t.in_use = 0;
    s->logged_on = 0;
    s->guest = 0;
    tb1s_wipe(s->sign_key, sizeof s->sign_key);
    tb1s_wipe(s->sign_resp, sizeof s->sign_resp);
    s->sign_resp_len = 0;
    s->sign_seq = 0;
}

uint32_t new_id(tb1s_session *s)
{
    for (;;) {
        uint32_t id = ++s->id_counter & 0xFFFF;
        if (id != 0 && id != 0xFFFF && !tree_find(s, id) && !search_find(s, id))
            return id;
    }
}

uint32_t new_uid(tb1s_session *s)
{
    for (;;) {
        uint32_t uid = ++s->uid_counter & 0xFFFF;
        if (uid != 0 && uid != 0xFFFF)
            return uid;
    }
}

uint16_t new_fid(tb1s_session *s)
{
    for (;;) {
        auto fid = uint16_t(++s->fid_counter * 16 + 1);  // never 0 or 0xFFFF: the low digit is 1
        if (!file_find(s, fid))
            return fid;
    }
}

tb1s_tree *tree_find(tb1s_session *s, uint32_t tid)
{
    for (tb1s_tree &t : s->trees) {
        if (t.in_use && t.tid == tid)
            return &t;
    }
    return nullptr;
}

tb1s_search *search_find(tb1s_session *s, uint32_t sid)
{
    tb1s_search *last = nullptr;
    for (tb1s_search &e : s->searches) {
        if (e.in_use && e.sid == sid)
            last = &e;
    }
    return last;
}

tb1s_file *file_find(tb1s_session *s, uint32_t fid)
{
    for (tb1s_file *f = s->files; f; f = f->next) {
        if (f->fid == uint16_t(fid))
            return f;
    }
    return nullptr;
}

}  // namespace tb1s
