// TREE_CONNECT_ANDX: connects a logged-on client to one share or to the
// built-in pipe share "IPC$" and hands out the TID of the new tree.
#include <cstring>

#include "cfg/stats.h"
#include "sess/handlers.h"
#include "util/text.h"

namespace tb1s {

namespace {

constexpr int32_t k_path_max = 1032;  // decoded path, NUL included

// Decodes the path field p[0..n): UTF-16LE up to the first NUL unit when the
// request is Unicode (no alignment byte precedes it), else bytes up to the
// first NUL, cut to fit. 0, or -1 when the UTF-16 cannot be converted.
int decode_path(const tb1s_session *s, const uint8_t *p, uint64_t n, char *out)
{
    out[0] = 0;
    if (s->unicode) {
        uint64_t units = 0;
        while (2 * units + 2 <= n && ld16le(p + 2 * units) != 0)
            units++;
        if (units == 0)
            return 0;
        return tb1s_utf16_to_utf8(p, 2 * units, out, k_path_max) < 0 ? -1 : 0;
    }
    uint64_t len = 0;
    while (len < n && len < uint64_t(k_path_max - 1) && p[len] != 0)
        len++;
    std::memcpy(out, p, len);
    out[len] = 0;
    return 0;
}

// The share part of a UNC path: what follows the last separator of either
// kind, or the whole text.
const char *leaf(const char *path)
{
    const char *name = path;
    for (const char *c = path; *c; c++) {
        if (*c == '\\' || *c == '/')
            name = c + 1;
    }
    return name;
}

// A TID that names no connected tree. The shared counter hands out the
// same value twice in a row (its low bit is forced on), and two trees under
// one TID would send the requests of the second to the first; such values
// are passed over. At most 256 trees are in use, so this ends quickly.
uint32_t unused_tid(tb1s_session *s)
{
    uint32_t tid = new_id(s);
    while (tree_find(s, tid))
        tid = new_id(s);
    return tid;
}

// Counts and reports a refused tree connect.
void refused(tb1s_session *s, const char *share)
{
    sess_stat(s, STAT_TREE_REFUSED, 1);
    sess_event(s, tb1s_event{.kind = tb1s_event_kind::tree_refused, .share = share});
}

tb1s_tree *free_tree(tb1s_session *s)
{
    for (tb1s_tree &t : s->trees) {
        if (!t.in_use)
            return &t;
    }
    return nullptr;
}

}  // namespace

// The request's password, server name and service are ignored: the tree
// is chosen by the last component of the path alone. The reply is always
// the extended form (WordCount 7) and carries the new TID in its header.
void cmd_tree_connect(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep)
{
    if (req->len == 0 || req->data[0] != 4) {
        rep_error(s, rep, NT_STATUS_INVALID_PARAMETER);
        static constexpr uint8_t empty_andx[6] = {0xFF, 0, 0, 0, 0, 0};
        tb1s_buf_put(&rep->buf, empty_andx, sizeof empty_andx);
        return;
    }
    rd_u8(req);    // WordCount
    rd_u32(req);   // AndXCommand, AndXReserved, AndXOffset: chains are not followed
    rd_u16(req);   // Flags: nothing to disconnect or extend
    uint32_t plen = rd_u16(req);
    if (req->err) {
        rep_error(s, rep, NT_STATUS_INVALID_PARAMETER);
        return;
    }
    if (!s->logged_on) {
        refused(s, "");
        rep_error(s, rep, NT_STATUS_USER_SESSION_DELETED);
        return;
    }
    // The path follows the password, after the 9 word bytes and the ByteCount.
    uint64_t at = 11 + uint64_t(plen);
    if (req->len < at + 2) {
        rep_error(s, rep, NT_STATUS_INVALID_PARAMETER);
        return;
    }
    char path[k_path_max];
    if (decode_path(s, req->data + at, req->len - at, path) != 0) {
        rep_error(s, rep, NT_STATUS_INVALID_PARAMETER);
        return;
    }

    const char *name = leaf(path);
    if (!*name) {
        rep_error(s, rep, NT_STATUS_OBJECT_NAME_INVALID);
        return;
    }
    int ipc = tb1s_casecmp(name, "IPC$") == 0;
    if (!ipc && tb1s_share_find(name, nullptr) != 0) {
        tb1s_trace("[tree] refused: no share '%s'\n", name);
        refused(s, name);
        rep_error(s, rep, NT_STATUS_BAD_NETWORK_NAME);
        return;
    }
    tb1s_tree *t = free_tree(s);
    if (!t) {
        refused(s, name);
        rep_error(s, rep, NT_STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    t->tid = unused_tid(s);
    t->in_use = 1;
    tb1s_strlcpy(t->share, ipc ? "IPC$" : name, sizeof t->share);
    t->ipc = ipc;
    sess_stat(s, STAT_TREES, 1);
    sess_event(s, tb1s_event{.kind = tb1s_event_kind::tree_ok, .share = name});
    s->tid = t->tid;

    rep->wc = 7;
    w32(&rep->buf, 0x000000FF);  // no further command
    w16(&rep->buf, ipc ? 0x0002 : 0x0000);  // OptionalSupport
    w32(&rep->buf, 0);                      // MaximalShareAccessRights
    w32(&rep->buf, ipc ? 0 : 5);            // GuestMaximalShareAccessRights
    w16(&rep->buf, 6);
    tb1s_buf_put(&rep->buf, "?????", 6);    // any service, NUL-terminated
}

}  // namespace tb1s
