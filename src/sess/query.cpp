// The information queries: TRANSACTION2 QUERY_PATH_INFORMATION,
// QUERY_FILE_INFORMATION and QUERY_FS_INFORMATION, and the legacy
// QUERY_INFORMATION and CHECK_DIRECTORY. None of them opens anything on
// disk or changes the session.
#include <cstring>

#include "sess/fileinfo.h"
#include "sess/handlers.h"
#include "util/text.h"
#include "util/vpath.h"

namespace tb1s {

namespace {

constexpr int32_t k_rel_cap = 1026;  // validated share-relative path

// A fixed area for the data block of one answer (the largest is 104 bytes).
struct out {
    uint8_t b[128];
    uint32_t n = 0;
    void u16(uint32_t v) { st16le(put(2), v); }
    void u32(uint32_t v) { st32le(put(4), v); }
    void u64(uint64_t v) { st64le(put(8), v); }
    void time(int64_t t) { u64(tb1s_filetime(t)); }
    void zeros(uint32_t k) { std::memset(put(k), 0, k); }
    void raw(const void *p, uint32_t k) { std::memcpy(put(k), p, k); }
    uint8_t *put(uint32_t k)
    {
        uint8_t *p = b + n;
        n += k;
        return p;
    }
};

// The name of a file's unnamed data stream, "::$DATA" in UTF-16LE.
constexpr uint8_t k_data_stream[14] = {':', 0, ':', 0, '$', 0, 'D', 0, 'A', 0, 'T', 0, 'A', 0};

// What the file levels report, from a resolution or an open-file snapshot.
struct info {
    bool dir;
    uint64_t size;
    int64_t mtime, atime, btime;
    uint64_t ino;
    const char *leaf;  // last component of the name ("" for a share's root); null when unknown
};

info from_stat(const tb1s_fstat &st, bool dir, const char *leaf)
{
    return info{dir, st.size, st.mtime, st.atime, st.btime, st.ino, leaf};
}

// The last component of a share-relative path ('/'-separated).
const char *leaf_of(const char *rel)
{
    const char *slash = std::strrchr(rel, '/');
    return slash ? slash + 1 : rel;
}

// The creation, access, write and change times; the creation time stands
// in for the change time, which the host does not keep apart.
void times(out *o, const info &x)
{
    o->time(x.btime);
    o->time(x.atime);
    o->time(x.mtime);
    o->time(x.btime);
}

// Lays out a file information level; false for a level not served.
// `unicode` picks the encoding of the alternate name.
bool file_level(uint32_t level, const info &x, bool unicode, out *o)
{
    switch (level) {
    case 0x0101:  // basic
        times(o, x);
        o->u32(tb1s_attr(x.dir));
        o->u32(0);
        return true;
    case 0x0102:  // standard
        o->u64(tb1s_alloc_size(x.size));
        o->u64(x.size);
        o->u32(1);  // links
        o->raw("\0", 1);  // delete pending
        o->raw(x.dir ? "\1" : "\0", 1);
        // Two reserved bytes close the record at 24 bytes: smbclient
        // refuses a shorter answer as an invalid network response.
        o->zeros(2);
        return true;
    case 0x0107:  // all, without the name
        times(o, x);
        o->u32(tb1s_attr(x.dir));
        o->u32(0);
        o->u64(tb1s_alloc_size(x.size));
        o->u64(x.size);
        o->u32(1);
        o->raw("\0", 1);
        o->raw(x.dir ? "\1" : "\0", 1);
        o->u64(x.ino);
        o->u32(0);           // EA size
        o->u32(0x001200A9);  // access: read data, attributes, EAs, control and synchronise
        o->zeros(16);        // byte offset, mode, alignment
        return true;
    case 0x0108: {  // alternate name: the short name a search reports, or none
        if (!x.leaf)
            return false;
        uint8_t sn[24];
        uint32_t k = tb1s_short_name(x.leaf, unicode, sn);
        o->u32(k);
        o->raw(sn, k);
        return true;
    }
    case 0x03FE:  // streams: a file has its one unnamed data stream, a folder none
        if (x.dir)
            return true;
        o->u32(0);  // no next entry
        o->u32(sizeof k_data_stream);
        o->u64(x.size);
        o->u64(tb1s_alloc_size(x.size));
        o->raw(k_data_stream, sizeof k_data_stream);
        return true;
    case 0x0200:  // Unix-style: raw seconds and a file type mode
        o->u64(x.size);
        o->u64(tb1s_alloc_size(x.size));
        o->u64(uint64_t(x.mtime));
        o->u64(uint64_t(x.atime));
        o->u64(uint64_t(x.btime));
        o->zeros(40);
        o->u32(x.dir ? 0x4000 : 0x8000);
        o->zeros(20);
        return true;
    default:
        return false;
    }
}

// Decodes and validates a path name. 0, or the status to answer with
// (the caller picks the DOS pair).
uint32_t path_of(const tb1s_session *s, const uint8_t *p, uint64_t n, char *rel)
{
    char name[TB1S_NAME_MAX];
    if (name_to_utf8(s, p, n, name) != 0)
        return NT_STATUS_INVALID_PARAMETER;
    if (tb1s_vpath(name, rel, k_rel_cap) != 0)
        return NT_STATUS_OBJECT_NAME_INVALID;
    return 0;
}

// Volume label and file system name, in UTF-16LE.
constexpr uint8_t k_label[14] = {'T', 0, 'A', 0, 'L', 0, 'V', 0, 'E', 0, 'R', 0, 'N', 0};
constexpr uint8_t k_fs_name[10] = {'N', 0, 'T', 0, 'F', 0, 'S', 0, 0, 0};

// Space of the tree's share in 1 MiB units: total and free. A share that is
// gone, a root whose space cannot be read and the pipe share get a fixed
// 1 TiB volume with 512 GiB free.
void space_of(const tb1s_tree *tree, uint64_t *total, uint64_t *avail)
{
    *total = 1048576;
    *avail = 524288;
    tb1s_share sh;
    if (tree->ipc || tb1s_share_find(tree->share, &sh) != 0)
        return;
    uint64_t t = 0, f = 0;
    uint32_t spu = 0, bps = 0;
    if (tb1s_fs_space(sh.path, &t, &f, &spu, &bps) != 0)
        return;
    *total = t;
    *avail = f;
}

// The request of QUERY_INFORMATION and CHECK_DIRECTORY: words, ByteCount,
// a buffer-format byte and the name up to the end of the message. Finds the
// tree and validates the name into rel. false after setting the error.
bool legacy_request(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep, tb1s_tree **tree, char *rel)
{
    uint64_t after_bcc = req->len > 0 ? 2 * uint64_t(req->data[0]) + 3 : 1;
    if (req->len < after_bcc) {
        rep_error(s, rep, NT_STATUS_INVALID_PARAMETER, TB1S_DOS_BAD_NAME);
        return false;
    }
    uint64_t name_at = after_bcc + 1;  // past the buffer-format byte
    const uint8_t *name = req->data + (name_at < req->len ? name_at : req->len);
    uint64_t nlen = name_at < req->len ? req->len - name_at : 0;
    *tree = tree_find(s, s->tid);
    if (!*tree) {
        rep_error(s, rep, NT_STATUS_BAD_NETWORK_NAME, TB1S_DOS_BAD_NAME);
        return false;
    }
    // Both refusals take the same DOS pair in these two commands.
    if (uint32_t st = path_of(s, name, nlen, rel)) {
        rep_error(s, rep, st, TB1S_DOS_BAD_NAME);
        return false;
    }
    return true;
}

}  // namespace

void query_path_cmd(tb1s_session *s, tb1s_reply *rep, tb1s_tree *tree, const uint8_t *params, uint32_t n)
{
    if (n < 6) {
        rep_error(s, rep, NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID);
        return;
    }
    uint32_t level = ld16le(params);
    char rel[k_rel_cap];
    if (uint32_t st = path_of(s, params + 6, n - 6, rel)) {
        rep_error(s, rep, st, st == NT_STATUS_INVALID_PARAMETER ? TB1S_DOS_INVALID : TB1S_DOS_BAD_NAME);
        return;
    }
    tb1s_vres r;
    if (tree->ipc || tb1s_vfs_resolve(tree->share, rel, &r) != 0) {
        rep_error(s, rep, NT_STATUS_OBJECT_NAME_NOT_FOUND, TB1S_DOS_NOT_FOUND);
        return;
    }
    out o;
    if (!file_level(level, from_stat(r.st, r.kind == VFS_DIR, leaf_of(rel)), s->unicode != 0, &o)) {
        rep_error(s, rep, NT_STATUS_INVALID_INFO_CLASS, TB1S_DOS_INVALID);
        return;
    }
    trans2_reply(s, rep, nullptr, 0, o.b, o.n);
}

void query_file_cmd(tb1s_session *s, tb1s_reply *rep, tb1s_tree *, const uint8_t *params, uint32_t n)
{
    if (n < 4) {
        rep_error(s, rep, NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID);
        return;
    }
    uint32_t fid = ld16le(params), level = ld16le(params + 2);
    tb1s_file *f = file_find(s, fid);
    if (!f) {
        rep_error(s, rep, NT_STATUS_INVALID_HANDLE, TB1S_DOS_NOT_FOUND);
        return;
    }
    if (f->pipe) {
        rep_error(s, rep, NT_STATUS_NOT_SUPPORTED, TB1S_DOS_SRV_ERROR);
        return;
    }
    out o;
    // An open file keeps its host path only, not the name the client opened,
    // so it has no alternate name to report.
    if (!file_level(level, from_stat(f->st, f->dir != 0, nullptr), s->unicode != 0, &o)) {
        rep_error(s, rep, NT_STATUS_INVALID_INFO_CLASS, TB1S_DOS_INVALID);
        return;
    }
    trans2_reply(s, rep, nullptr, 0, o.b, o.n);
}

void query_fs_cmd(tb1s_session *s, tb1s_reply *rep, tb1s_tree *tree, const uint8_t *params, uint32_t n)
{
    if (n < 2) {
        rep_error(s, rep, NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID);
        return;
    }
    out o;
    switch (ld16le(params)) {
    case 0x0102: {  // volume: the serial number follows the share name as the client wrote it
        uint64_t h = tb1s_fnv1a64(tree->share, std::strlen(tree->share), TB1S_FNV_BASIS);
        o.u64(0);
        o.u32(uint32_t(h));
        o.u32(sizeof k_label);
        o.u16(0);
        o.raw(k_label, sizeof k_label);
        break;
    }
    case 0x0103:  // size: nothing is ever reported as allocated
        o.u64(0);
        o.u64(0);
        o.u32(1);
        o.u32(512);
        break;
    case 0x0105:  // attribute
        o.u32(0x00040007);
        o.u32(255);
        o.u32(sizeof k_fs_name);
        o.raw(k_fs_name, sizeof k_fs_name);
        break;
    case 0x03EF: {  // full size, in 1 MiB units of 2048 sectors
        uint64_t total, avail;
        space_of(tree, &total, &avail);
        o.u64(total);
        o.u64(avail);
        o.u64(avail);
        o.u32(2048);
        o.u32(512);
        break;
    }
    default:
        rep_error(s, rep, NT_STATUS_INVALID_INFO_CLASS, TB1S_DOS_INVALID);
        return;
    }
    trans2_reply(s, rep, nullptr, 0, o.b, o.n);
}

void cmd_query_information(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep)
{
    tb1s_tree *tree;
    char rel[k_rel_cap];
    if (!legacy_request(s, req, rep, &tree, rel))
        return;
    tb1s_vres r;
    if (tree->ipc || tb1s_vfs_resolve(tree->share, rel, &r) != 0) {
        rep_error(s, rep, NT_STATUS_OBJECT_NAME_NOT_FOUND, TB1S_DOS_NOT_FOUND);
        return;
    }
    rep->wc = 10;
    w16(&rep->buf, tb1s_attr(r.kind == VFS_DIR));
    w32(&rep->buf, tb1s_dos_datetime(r.st.mtime));
    w32(&rep->buf, uint32_t(r.st.size));
    static constexpr uint8_t reserved[10] = {};
    tb1s_buf_put(&rep->buf, reserved, sizeof reserved);
    w16(&rep->buf, 0);  // ByteCount
}

void cmd_check_directory(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep)
{
    tb1s_tree *tree;
    char rel[k_rel_cap];
    if (!legacy_request(s, req, rep, &tree, rel))
        return;
    tb1s_vres r;
    if (tree->ipc || tb1s_vfs_resolve(tree->share, rel, &r) != 0 || r.kind != VFS_DIR) {
        rep_error(s, rep, NT_STATUS_OBJECT_PATH_NOT_FOUND, TB1S_DOS_BAD_NAME);
        return;
    }
    // Success has no words: WordCount 0, ByteCount 0.
}

}  // namespace tb1s
