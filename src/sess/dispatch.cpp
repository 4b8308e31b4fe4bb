// Command dispatch, the refusal of state-changing commands, the commands
// answered without a handler file of their own, and the release of
// everything a session holds.
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "cfg/stats.h"
#include "crypto/crypto.h"
#include "sess/handlers.h"
#include "sess/session.h"

namespace tb1s {

namespace {

// Commands that would change the disk, tested in this order before any
// handler runs. Every one gets ACCESS_DENIED.
struct refused {
    uint8_t code;
    const char *name;
};
constexpr refused k_mutating[] = {
    {0x00, "CREATE_DIRECTORY"}, {0x01, "DELETE_DIRECTORY"}, {0x06, "DELETE"},   {0x07, "RENAME"},
    {0x09, "SET_INFORMATION"},  {0x13, "SET_INFORMATION2"}, {0x0B, "WRITE"},    {0x2F, "WRITE_ANDX"},
    {0x31, "WRITE_RAW"},        {0x2C, "WRITE_CLOSE"},      {0x0C, "LOCK_BYTE_RANGE"},
    {0x0D, "UNLOCK_BYTE_RANGE"}, {0x24, "LOCK_ANDX"},       {0x29, "COPY"},     {0x2A, "MOVE"},
    {0x02, "OPEN"},             {0x2D, "OPEN_ANDX"},
};
static_assert(std::size(k_mutating) == 17);

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
    if (f->fh)
        tb1s_fs_close(f->fh);
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
        rep_error(s, rep, NT_STATUS_INVALID_PARAMETER, tb1s_dos(1, 8));
        return;
    }
    if (tb1s_file *f = file_find(s, fid))
        unlink_file(s, f);
    rep->wc = 0;
    w16(&rep->buf, 0);  // ByteCount
}

// FLUSH and 0x36: nothing is written, so there is nothing to flush or close.
void cmd_flush(tb1s_session *, tb1s_rd *, tb1s_reply *rep) { andx_none(rep); }

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
void cmd_tree_disconnect(tb1s_session *s, tb1s_rd *, tb1s_reply *rep)
{
    if (tb1s_tree *t = tree_find(s, s->tid))
        t->in_use = 0;
    andx_none(rep);
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
    rep_error(s, rep, NT_STATUS_NOT_SUPPORTED, tb1s_dos(2, 1));
    andx_none(rep);
}

void cmd_unknown(tb1s_session *s, tb1s_rd *, tb1s_reply *rep)
{
    sess_stat(s, STAT_PROTOCOL_ERRORS, 1);
    rep_error(s, rep, NT_STATUS_NOT_SUPPORTED, tb1s_dos(2, 1));
    andx_none(rep);
}

// Every command with a handler. A command not listed here (and not refused
// above) is unknown; serving a new command is adding its row.
struct command {
    uint8_t code;
    tb1s_handler fn;
};
constexpr command k_commands[] = {
    {0x04, cmd_close},
    {0x05, cmd_flush},
    {0x08, cmd_query_information},
    {0x10, cmd_check_directory},
    {0x25, cmd_trans},
    {0x2B, cmd_echo},
    {0x2E, cmd_read_andx},
    {0x32, cmd_trans2},
    {0x36, cmd_flush},
    {0x71, cmd_tree_disconnect},
    {0x72, cmd_negotiate},
    {0x73, cmd_session_setup},
    {0x74, cmd_logoff},
    {0x75, cmd_tree_connect},
    {0xA0, cmd_nt_transact},
    {0xA1, cmd_nt_transact},
    {0xA2, cmd_nt_create},
};

}  // namespace

void dispatch(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep)
{
    for (const refused &m : k_mutating) {
        if (m.code == s->command) {
            sess_stat(s, STAT_MUTATING_REFUSED, 1);
            rep_error(s, rep, NT_STATUS_ACCESS_DENIED, tb1s_dos(2, 4));
            return;
        }
    }
    tb1s_handler fn = cmd_unknown;
    for (const command &c : k_commands) {
        if (c.code == s->command) {
            fn = c.fn;
            break;
        }
    }
    fn(s, req, rep);
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
