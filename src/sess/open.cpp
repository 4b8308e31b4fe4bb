// NT_CREATE_ANDX: opens an existing file or folder of a share for reading,
// or the "srvsvc" pipe of IPC$. Anything that could create, write or delete
// is refused before the name is looked up. No host file stays open: the
// record keeps the canonical path and a status snapshot.
#include <cstdlib>
#include <cstring>

#include "cfg/stats.h"
#include "sess/fileinfo.h"
#include "sess/handlers.h"
#include "util/text.h"
#include "util/vpath.h"

namespace tb1s {

namespace {

constexpr uint32_t k_generic_read = 0x80000000;
constexpr uint32_t k_generic_write = 0x40000000;
constexpr uint32_t k_read_rights = 0x001200A9;   // what GENERIC_READ stands for
constexpr uint32_t k_write_rights = 0x00120116;  // what GENERIC_WRITE stands for
constexpr uint32_t k_open_existing = 1;
constexpr uint32_t k_opt_directory = 0x0001;
constexpr uint32_t k_opt_write_through = 0x0002;
constexpr uint32_t k_opt_delete_on_close = 0x1000;

// What RPC clients ask for when they open a pipe: supersede (0), open (1)
// or open-if (3). The pipe exists already, so each of them opens it and
// none creates anything.
bool pipe_disposition(uint32_t d) { return d == 0 || d == k_open_existing || d == 3; }

// Every refusal counts once, whatever the step that refused.
void refuse(tb1s_session *s, tb1s_reply *rep, uint32_t nt, uint32_t dos)
{
    sess_stat(s, STAT_OPEN_REFUSED, 1);
    rep_error(s, rep, nt, dos);
}
void refuse(tb1s_session *s, tb1s_reply *rep, uint32_t nt) { refuse(s, rep, nt, tb1s_dos_pair(nt)); }

// The generic rights replaced by the specific rights they stand for.
uint32_t map_generic(uint32_t access)
{
    if (access & k_generic_read)
        access = (access & ~k_generic_read) | k_read_rights;
    if (access & k_generic_write)
        access = (access & ~k_generic_write) | k_write_rights;
    return access;
}

// The fields of the request that decide the open.
struct create_req {
    uint32_t name_len;
    uint32_t access;
    uint32_t disposition;
    uint32_t options;
};

// Reads the 24 request words. false when they are not all there.
bool read_words(tb1s_rd *req, create_req *c)
{
    rd_u8(req);         // WordCount
    rd_u32(req);        // AndX: chains are not followed
    rd_u8(req);         // Reserved
    c->name_len = rd_u16(req);
    rd_u32(req);        // Flags: no oplocks are granted
    rd_u32(req);        // RootDirectoryFID
    c->access = rd_u32(req);
    rd_u64(req);        // AllocationSize
    rd_u32(req);        // ExtFileAttributes
    rd_u32(req);        // ShareAccess: the server never blocks other openers
    c->disposition = rd_u32(req);
    c->options = rd_u32(req);
    rd_u32(req);        // ImpersonationLevel
    rd_u8(req);         // SecurityFlags
    return !req->err;
}

// An empty name: a first character of 0. In a Unicode name that is a whole
// 16-bit unit, so a name that begins with a character such as U+4E00 (low
// byte 0) is not mistaken for an empty one.
bool empty_name(const tb1s_session *s, const uint8_t *p, uint64_t n)
{
    if (p[0] != 0)
        return false;
    return !s->unicode || n < 2 || p[1] == 0;
}

void reply_open(tb1s_reply *rep, const tb1s_file *f)
{
    const tb1s_fstat &st = f->st;
    rep->wc = 34;
    tb1s_buf *b = &rep->buf;
    w32(b, 0x000000FF);      // no further command
    tb1s_buf_byte(b, 0);     // OplockLevel: none
    w16(b, f->fid);
    w32(b, 1);               // CreateAction: opened
    wtime(b, st.btime);      // CreationTime
    wtime(b, st.atime);      // LastAccessTime
    wtime(b, st.mtime);      // LastWriteTime
    wtime(b, st.btime);      // ChangeTime: the creation time again
    w32(b, tb1s_attr(f->dir != 0));
    if (f->pipe) {
        w64(b, 0);           // AllocationSize
        w64(b, 0x1C00);      // EndOfFile
        w16(b, 2);           // ResourceType: message-mode pipe
    } else {
        w64(b, tb1s_alloc_size(st.size));
        w64(b, st.size);
        w16(b, 0);           // ResourceType: disk file or folder
    }
    w16(b, 0);               // NMPipeStatus
    tb1s_buf_byte(b, 0);     // Directory: a folder shows in the attributes
    w16(b, 0);               // ByteCount
}

}  // namespace

void cmd_nt_create(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep)
{
    create_req c{};
    if (req->len == 0 || req->data[0] < 24 || !read_words(req, &c)) {
        refuse(s, rep, NT_STATUS_INVALID_PARAMETER);
        return;
    }
    uint64_t block = 2 * uint64_t(req->data[0]) + 3;
    if (c.name_len == 0 || req->len < block || req->len - block < c.name_len) {
        refuse(s, rep, NT_STATUS_INVALID_PARAMETER);
        return;
    }
    // Unicode names are aligned to an even offset of the message; the
    // alignment byte comes in front of the name field.
    if (s->unicode && c.name_len > 2 && req->data[block] == 0) {
        block++;
        if (req->len - block < c.name_len) {
            refuse(s, rep, NT_STATUS_INVALID_PARAMETER);
            return;
        }
    }
    const uint8_t *field = req->data + block;
    if (empty_name(s, field, c.name_len)) {
        refuse(s, rep, NT_STATUS_OBJECT_NAME_NOT_FOUND);
        return;
    }
    tb1s_tree *tree = tree_find(s, s->tid);
    if (!tree) {
        refuse(s, rep, NT_STATUS_BAD_NETWORK_NAME);
        return;
    }

    // An open that could change the disk is refused before the name is
    // looked up; the name is decoded first only to report the refusal.
    char name[TB1S_NAME_MAX];
    bool name_ok = name_to_utf8(s, field, c.name_len, name) == 0;
    uint32_t access = map_generic(c.access);
    bool change = true;
    if (c.disposition != k_open_existing && !(tree->ipc && pipe_disposition(c.disposition)))
        tb1s_trace("[open] refused: disposition %u would create or replace\n", c.disposition);
    else if (!tree->ipc && (access & ~k_read_rights) != 0)
        tb1s_trace("[open] refused: access mask %08x asks for more than reading\n", unsigned(access));
    else if (c.options & k_opt_write_through)
        tb1s_trace("[open] refused: create options %08x ask for write-through\n", c.options);
    else if (c.options & k_opt_delete_on_close)
        tb1s_trace("[open] refused: create options %08x ask for delete-on-close\n", c.options);
    else
        change = false;
    if (change) {
        sess_write_refused(s, name_ok ? name : "");
        refuse(s, rep, NT_STATUS_ACCESS_DENIED);
        return;
    }
    if (!name_ok) {
        tb1s_trace("[open] refused: a %u-byte name that does not convert to UTF-8\n", c.name_len);
        refuse(s, rep, NT_STATUS_INVALID_PARAMETER);
        return;
    }

    tb1s_vres res{};
    char rel[1026];
    if (tree->ipc) {
        // Windows clients and smbclient name the pipe with a leading backslash.
        const char *pipe = name[0] == '\\' ? name + 1 : name;
        if (tb1s_casecmp(pipe, "srvsvc") != 0) {
            refuse(s, rep, NT_STATUS_OBJECT_NAME_NOT_FOUND);
            return;
        }
    } else {
        if (tb1s_vpath(name, rel, sizeof rel) != 0) {
            sess_stat(s, STAT_PATH_REFUSED, 1);
            refuse(s, rep, NT_STATUS_OBJECT_NAME_INVALID);
            return;
        }
        if (tb1s_vfs_resolve(tree->share, rel, &res) != 0) {
            // Without the empty path the share's root itself is gone.
            if (rel[0] == 0)
                refuse(s, rep, NT_STATUS_BAD_NETWORK_NAME, TB1S_DOS_NOT_FOUND);
            else
                refuse(s, rep, NT_STATUS_OBJECT_NAME_NOT_FOUND);
            return;
        }
        if ((c.options & k_opt_directory) && res.kind != VFS_DIR) {
            refuse(s, rep, NT_STATUS_NOT_A_DIRECTORY);
            return;
        }
    }

    if (s->nfiles >= s->opts.max_handles) {
        refuse(s, rep, NT_STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    auto *f = static_cast<tb1s_file *>(std::calloc(1, sizeof(tb1s_file)));
    if (!f) {
        refuse(s, rep, NT_STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    f->fid = new_fid(s);
    f->pipe = tree->ipc;
    if (!tree->ipc) {
        f->dir = res.kind == VFS_DIR;
        tb1s_strlcpy(f->path, res.path, sizeof f->path);
        f->share = res.share;
        f->st = res.st;
    }
    f->next = s->files;
    s->files = f;
    s->nfiles++;
    sess_stat(s, STAT_OPENS, 1);
    reply_open(rep, f);
}

}  // namespace tb1s
