// Directory search: TRANSACTION2 FIND_FIRST2 and FIND_NEXT2 at the level
// SMB_FIND_FILE_BOTH_DIRECTORY_INFO. FIND_FIRST2 takes one sorted snapshot
// of the folder into a search entry; FIND_NEXT2 only walks that snapshot.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "cfg/stats.h"
#include "sess/fileinfo.h"
#include "sess/handlers.h"
#include "util/text.h"
#include "util/vpath.h"

namespace tb1s {

namespace {

constexpr uint32_t k_level = 0x0104;     // the only information level served
constexpr int32_t k_per_reply = 200;     // entries in one reply at most
constexpr uint32_t k_fixed = 94;         // bytes of an entry before its name
constexpr int32_t k_rel_cap = 1026;      // validated folder path
// Flags of FIND_FIRST2 and FIND_NEXT2.
constexpr uint32_t k_close_now = 0x0001;     // release the search after this reply
constexpr uint32_t k_close_at_end = 0x0002;  // release it once a reply ends the listing
constexpr uint32_t k_resume_flag = 0x0004;   // FIND_NEXT2: continue from the resume key
// The reply's DataCount and ByteCount are 16-bit fields: with the 10
// FIND_FIRST2 parameter bytes padded to 12, ByteCount is the data plus 13.
// A reply stops before an entry that would push it past them; the client
// gets that entry in its next FIND_NEXT2.
constexpr uint64_t k_max_data = 0xFFFF - 13;

bool has_wild(const char *p) { return std::strpbrk(p, "*?") != nullptr; }

enum put_result { PUT_OK, PUT_BAD_NAME, PUT_NO_ROOM };

// Appends one entry (NextEntryOffset still 0). Nothing is appended when its
// name cannot be encoded or when the entry is longer than `room`.
put_result put_entry(tb1s_buf *b, const tb1s_vent &v, uint32_t index, bool unicode, uint64_t room)
{
    uint8_t wide[512];
    const uint8_t *name = reinterpret_cast<const uint8_t *>(v.name);
    int32_t nlen = int32_t(std::strlen(v.name));
    if (unicode) {
        if (tb1s_utf8_to_utf16le(v.name, wide, sizeof wide, &nlen) != 0)
            return PUT_BAD_NAME;
        name = wide;
    }
    // Zero bytes up to a multiple of 4. An 8-bit name always gets at least
    // one, its terminator: clients that read such names up to the NUL
    // (rather than by FileNameLength) find it.
    uint32_t pad = unicode ? (4 - uint32_t(nlen) % 4) % 4 : 4 - uint32_t(nlen) % 4;
    if (k_fixed + uint64_t(nlen) + pad > room)
        return PUT_NO_ROOM;
    uint8_t sn[24] = {};
    uint32_t snlen = tb1s_short_name(v.name, unicode, sn);
    w32(b, 0);  // NextEntryOffset, patched when another entry follows
    w32(b, index);
    wtime(b, v.btime);
    wtime(b, v.atime);
    wtime(b, v.mtime);
    wtime(b, v.btime);  // the change time is not kept apart from creation
    w64(b, v.size);
    w64(b, tb1s_alloc_size(v.size));
    w32(b, tb1s_attr(v.target_kind == FS_KIND_DIR));
    w32(b, uint32_t(nlen));
    w32(b, 0);  // EA size
    tb1s_buf_byte(b, int(snlen));
    tb1s_buf_byte(b, 0);
    tb1s_buf_put(b, sn, sizeof sn);
    tb1s_buf_put(b, name, uint64_t(nlen));
    static constexpr uint8_t zeros[4] = {};
    tb1s_buf_put(b, zeros, pad);
    return PUT_OK;
}

// Appends the matching entries from the search's position on: up to 200,
// and as many as the reply's 16-bit fields can carry. Moves the position
// and sets the end flag when the listing is exhausted. The number of
// entries; *eos is 1 when this reply exhausted the listing.
int32_t produce(tb1s_search *e, bool unicode, tb1s_buf *data, uint32_t *eos)
{
    int32_t count = 0;
    uint64_t prev = 0;
    while (e->pos < e->count) {
        const tb1s_vent &v = e->list[e->pos];
        if (tb1s_glob_match(e->pattern, v.name)) {
            uint64_t at = data->len;
            put_result r = put_entry(data, v, uint32_t(e->pos) + 1, unicode, k_max_data - at);
            if (r == PUT_NO_ROOM)
                break;  // the entry goes first in the next reply
            if (r == PUT_OK) {
                if (count > 0 && !data->oom)
                    st32le(data->data + prev, uint32_t(at - prev));
                prev = at;
                count++;
            }
        }
        e->pos++;
        if (count == k_per_reply)
            break;
    }
    *eos = e->pos >= e->count ? 1 : 0;
    return count;
}

// Copies a name into a fresh heap string, as the listing holds them.
char *dup_name(const char *n)
{
    size_t k = std::strlen(n) + 1;
    auto *p = static_cast<char *>(std::malloc(k));
    if (p)
        std::memcpy(p, n, k);
    return p;
}

// Puts "." and ".." in front of the listing, both carrying the searched
// folder's own times and file id. Without memory for the longer array the
// search goes on without them; false when a name cannot be copied.
bool add_dots(tb1s_search *e, const tb1s_vres &dir)
{
    char *dot = dup_name(".");
    char *dotdot = dup_name("..");
    if (!dot || !dotdot) {
        std::free(dot);
        std::free(dotdot);
        return false;
    }
    auto *grown = static_cast<tb1s_vent *>(std::realloc(e->list, (size_t(e->count) + 2) * sizeof(tb1s_vent)));
    if (!grown) {
        std::free(dot);
        std::free(dotdot);
        return true;
    }
    std::memmove(grown + 2, grown, size_t(e->count) * sizeof(tb1s_vent));
    tb1s_vent self{};
    self.kind = self.target_kind = FS_KIND_DIR;
    self.mtime = dir.st.mtime;
    self.atime = dir.st.atime;
    self.btime = dir.st.btime;
    self.dev = dir.st.dev;
    self.ino = dir.st.ino;
    grown[0] = self;
    grown[0].name = dot;
    grown[1] = self;
    grown[1].name = dotdot;
    e->list = grown;
    e->count += 2;
    return true;
}

// A search of one name (no wildcard) finds what an open of that name finds:
// the exact name, else the first case-insensitive match in byte order
// (pick_name). The listing is cut down to that entry, and the pattern that
// selects it from the snapshot becomes "*".
void keep_named(tb1s_search *e, const char *name)
{
    int32_t i = pick_name(e->list, e->count, name);
    if (i > 0)
        std::swap(e->list[0], e->list[i]);
    int32_t keep = i >= 0 ? 1 : 0;
    for (int32_t k = keep; k < e->count; k++)
        std::free(e->list[k].name);
    e->count = keep;
    if (keep == 0) {
        std::free(e->list);
        e->list = nullptr;
    } else if (void *p = std::realloc(e->list, sizeof(tb1s_vent))) {
        e->list = static_cast<tb1s_vent *>(p);
    }
    tb1s_strlcpy(e->pattern, "*", sizeof e->pattern);
}

// What the listings of the session's searches hold together.
uint64_t searches_held(const tb1s_session *s)
{
    uint64_t n = 0;
    for (const tb1s_search &x : s->searches)
        n += x.in_use ? x.bytes : 0;
    return n;
}

// Clients that ask the server to end a search when the listing is done
// (smbclient does for every listing it makes) never close it
// themselves; keeping it would use up the 256 entries after as many
// folders. Without either flag the search stays until it is closed.
void close_if_asked(tb1s_search *e, uint32_t flags, uint32_t eos)
{
    if ((flags & k_close_now) || ((flags & k_close_at_end) && eos))
        cursor_drop(e);
}

void reply_first(tb1s_session *s, tb1s_reply *rep, uint32_t sid, int32_t count, uint32_t eos, const tb1s_buf &data)
{
    uint8_t p[10] = {};
    st16le(p, sid);
    st16le(p + 2, uint32_t(count));
    st16le(p + 4, eos);
    trans2_reply(s, rep, p, sizeof p, data.data, uint32_t(data.len));
}

void reply_next(tb1s_session *s, tb1s_reply *rep, int32_t count, uint32_t eos, const tb1s_buf &data)
{
    uint8_t p[8] = {};
    st16le(p, uint32_t(count));
    st16le(p + 2, eos);
    trans2_reply(s, rep, p, sizeof p, data.data, uint32_t(data.len));
}

void find_first(tb1s_session *s, tb1s_reply *rep, tb1s_tree *tree, const uint8_t *params, uint32_t n)
{
    if (n < 10) {
        rep_error(s, rep, NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID);
        return;
    }
    if (ld16le(params + 6) != k_level) {
        rep_error(s, rep, NT_STATUS_INVALID_INFO_CLASS, TB1S_DOS_INVALID);
        return;
    }
    // The name field starts inside SearchStorageType; its zero upper half
    // (and any further zero pairs) is skipped.
    const uint8_t *field = params + 10;
    uint64_t flen = n - 10;
    while (flen >= 2 && field[0] == 0 && field[1] == 0) {
        field += 2;
        flen -= 2;
    }
    char name[TB1S_NAME_MAX];
    if (name_to_utf8(s, field, flen, name) != 0) {
        rep_error(s, rep, NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID);
        return;
    }
    // Folder path and pattern, split at the last separator of either kind.
    char *cut = nullptr;
    for (char *c = name; *c; c++) {
        if (*c == '\\' || *c == '/')
            cut = c;
    }
    const char *folder = "";
    const char *pattern = name;
    if (cut) {
        *cut = 0;
        folder = name;
        pattern = cut + 1;
    }
    if (!*pattern)
        pattern = "*";
    char rel[k_rel_cap];
    if (tb1s_pat_check(pattern) != 0) {
        rep_error(s, rep, NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID);
        return;
    }
    if (tb1s_vpath(folder, rel, k_rel_cap) != 0) {
        rep_error(s, rep, NT_STATUS_OBJECT_NAME_INVALID, TB1S_DOS_BAD_NAME);
        return;
    }
    if (tree->ipc) {
        rep_error(s, rep, NT_STATUS_NOT_SUPPORTED, TB1S_DOS_SRV_ERROR);
        return;
    }
    tb1s_search *e = nullptr;
    for (tb1s_search &x : s->searches) {
        if (!x.in_use) {
            e = &x;
            break;
        }
    }
    if (!e) {
        rep_error(s, rep, NT_STATUS_INSUFFICIENT_RESOURCES, TB1S_DOS_SRV_REFUSED);
        return;
    }
    uint32_t ids = s->id_counter;  // a search refused for its memory gives its SID back
    uint32_t sid = new_id(s);
    *e = tb1s_search{};
    e->in_use = 1;
    e->sid = sid;
    tb1s_strlcpy(e->pattern, pattern, sizeof e->pattern);

    tb1s_vres dir;
    if (tb1s_vfs_resolve(tree->share, rel, &dir) != 0 || dir.kind != VFS_DIR) {
        cursor_drop(e);
        rep_error(s, rep, NT_STATUS_OBJECT_PATH_NOT_FOUND, TB1S_DOS_BAD_NAME);
        return;
    }
    // The listings of all searches of the session share one budget. A
    // wildcard listing stops as soon as it would overrun it; a single name
    // keeps one entry at most, so its listing is only a passing cost.
    bool wild = has_wild(pattern);
    uint64_t held = searches_held(s);
    uint64_t budget = s->search_budget ? s->search_budget : TB1S_SEARCH_BUDGET;
    uint64_t room = held < budget ? budget - held : 0;
    int rc = tb1s_vfs_list(&dir, &e->list, &e->count, wild ? room : UINT64_MAX);
    if (rc != 0) {
        cursor_drop(e);
        if (rc == -2) {
            s->id_counter = ids;
            rep_error(s, rep, NT_STATUS_INSUFFICIENT_RESOURCES, TB1S_DOS_SRV_REFUSED);
        } else {
            rep_error(s, rep, NT_STATUS_ACCESS_DENIED, TB1S_DOS_NO_ACCESS);
        }
        return;
    }
    if (!wild)
        keep_named(e, pattern);
    if (wild && !add_dots(e, dir)) {
        cursor_drop(e);
        rep_error(s, rep, NT_STATUS_ACCESS_DENIED, TB1S_DOS_NO_ACCESS);
        return;
    }
    e->bytes = tb1s_vfs_bytes(e->list, e->count);
    if (held + e->bytes > budget) {
        // Refused whole: no SID spent, nothing counted, the other searches as they were.
        cursor_drop(e);
        s->id_counter = ids;
        rep_error(s, rep, NT_STATUS_INSUFFICIENT_RESOURCES, TB1S_DOS_SRV_REFUSED);
        return;
    }
    sess_stat(s, STAT_LISTINGS_SENT, 1);

    tb1s_buf data{};
    uint32_t eos = 0;
    int32_t count = produce(e, s->unicode != 0, &data, &eos);
    if (data.oom) {
        tb1s_buf_free(&data);
        cursor_drop(e);
        rep_error(s, rep, NT_STATUS_INSUFFICIENT_RESOURCES, TB1S_DOS_SRV_REFUSED);
        return;
    }
    // Nothing matched: NO_SUCH_FILE in NT form whatever the request's status
    // form, for a pattern with wildcards too: smbclient reads a success
    // without entries as an out-of-memory failure (it sizes its result
    // array by the count). The parameters still carry the SID, and the
    // search stays allocated unless the close flags release it.
    if (count == 0)
        rep_status(rep, NT_STATUS_NO_SUCH_FILE);
    reply_first(s, rep, e->sid, count, eos, data);
    tb1s_buf_free(&data);
    close_if_asked(e, ld16le(params + 4), eos);
}

void find_next(tb1s_session *s, tb1s_reply *rep, const uint8_t *params, uint32_t n)
{
    if (n < 12) {
        rep_error(s, rep, NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID);
        return;
    }
    if (ld16le(params + 4) != k_level) {
        rep_error(s, rep, NT_STATUS_INVALID_INFO_CLASS, TB1S_DOS_INVALID);
        return;
    }
    tb1s_search *e = search_find(s, ld16le(params));
    if (!e) {
        rep_error(s, rep, NT_STATUS_INVALID_HANDLE, TB1S_DOS_NOT_FOUND);
        return;
    }
    tb1s_buf data{};
    uint32_t flags = ld16le(params + 10);
    if (flags & k_resume_flag) {
        // The resume key is the FileIndex of the last entry the client
        // kept, which is the listing index of the entry after it.
        uint32_t r = ld32le(params + 6) & 0xFFFFFF;
        e->pos = r > uint32_t(e->count) ? e->count : int32_t(r);
    }
    if (e->pos >= e->count) {
        reply_next(s, rep, 0, 1, data);
        close_if_asked(e, flags, 1);
        return;
    }
    int32_t pos = e->pos;
    uint32_t eos = 0;
    int32_t count = produce(e, s->unicode != 0, &data, &eos);
    if (data.oom) {
        tb1s_buf_free(&data);
        e->pos = pos;  // the client may ask again for the same entries
        rep_error(s, rep, NT_STATUS_INSUFFICIENT_RESOURCES, TB1S_DOS_SRV_REFUSED);
        return;
    }
    reply_next(s, rep, count, eos, data);
    tb1s_buf_free(&data);
    close_if_asked(e, flags, eos);
}

}  // namespace

void find_cmd(tb1s_session *s, tb1s_reply *rep, tb1s_tree *tree, uint32_t sub, const uint8_t *params, uint32_t n)
{
    if (sub == 1)
        find_first(s, rep, tree, params, n);
    else
        find_next(s, rep, params, n);
}

}  // namespace tb1s
