// Folder listing: a sorted snapshot of the children a client may see.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "cfg/stats.h"
#include "util/buf.h"
#include "util/text.h"
#include "vfs/vfs.h"

namespace tb1s {

namespace {

constexpr int32_t k_max_entries = 100000;
constexpr size_t k_path_cap = 2050;  // joined host path with its NUL
constexpr int32_t k_link_cap = 1025;  // canonical link target with its NUL

// Names that are never listed: line breaks would break a client's display
// and every line-oriented log; the others cannot come from a sane
// enumeration and would not name a child of the folder.
bool listable(const char *name, size_t n, char sep)
{
    if (n == 0 || n > 255)
        return false;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return false;
    for (size_t i = 0; i < n; i++)
        if (name[i] == '\r' || name[i] == '\n' || name[i] == '/' || name[i] == sep)
            return false;
    return true;
}

void copy_times(const tb1s_fstat &st, tb1s_vent *e)
{
    e->size = st.size;
    e->mtime = st.mtime;
    e->atime = st.atime;
    e->btime = st.btime;
}

// Appends one more entry slot: 64 first, then twice the size. False when
// the array cannot grow.
bool grow(tb1s_vent **v, int32_t *cap)
{
    int32_t want = *cap ? *cap * 2 : 64;
    void *p = std::realloc(*v, sizeof(tb1s_vent) * size_t(want));
    if (!p)
        return false;
    *v = static_cast<tb1s_vent *>(p);
    *cap = want;
    return true;
}

}  // namespace

int vent_cmp(const tb1s_vent *a, const tb1s_vent *b) { return std::strcmp(a->name, b->name); }

int32_t pick_name(const tb1s_vent *v, int32_t count, const char *name)
{
    int32_t folded = -1;
    for (int32_t i = 0; i < count; i++) {
        if (std::strcmp(v[i].name, name) == 0)
            return i;
        if (folded < 0 && tb1s_ucasecmp(v[i].name, name) == 0)
            folded = i;  // the listing is sorted, so the first is the least
    }
    return folded;
}

namespace {

// A name the listing may hold: listable, and its host path fits, as every
// path the server hands on must (the child itself is looked up through the
// folder's handle).
bool acceptable(const char *dir, const char *name, size_t name_len)
{
    char full[k_path_cap];
    return listable(name, name_len, tb1s_fs_sep()) && join_path(dir, name, full, sizeof full);
}

// Fills everything of the entry but its name from the child `name` of the
// open folder. 0, or -1 when the child is not listed.
int describe(const tb1s_share *share, tb1s_fs_dir *d, const char *name, tb1s_vent *out)
{
    tb1s_fstat st{};
    if (tb1s_fs_dir_lstat(d, name, &st) != 0)
        return -1;
    if (st.kind == FS_KIND_FILE || st.kind == FS_KIND_DIR) {
        out->kind = out->target_kind = st.kind;
        copy_times(st, out);
    } else if (st.kind == FS_KIND_LINK) {
        // Listed only when the link leads to a file or folder inside the
        // share; one that leaves it is left out silently (not counted as a
        // refused path: the client did not ask for it).
        char target[k_link_cap];
        tb1s_fstat tst{};
        if (tb1s_fs_probe(d, name, &tst, target, k_link_cap) != 0 || !inside(target, share) ||
            (tst.kind != FS_KIND_FILE && tst.kind != FS_KIND_DIR))
            return -1;
        out->kind = FS_KIND_LINK;
        out->target_kind = tst.kind;
        copy_times(tst, out);
    } else {
        return -1;
    }
    out->dev = st.dev;
    out->ino = st.ino;
    return 0;
}

}  // namespace

int make_entry(const tb1s_share *share, tb1s_fs_dir *d, const char *dir, const char *name, tb1s_vent *out)
{
    std::memset(out, 0, sizeof *out);
    size_t name_len = std::strlen(name);
    if (!acceptable(dir, name, name_len) || describe(share, d, name, out) != 0)
        return -1;
    out->name = static_cast<char *>(std::malloc(name_len + 1));
    if (!out->name)
        return -1;
    std::memcpy(out->name, name, name_len + 1);
    return 0;
}

uint64_t tb1s_vfs_entry_bytes(size_t name_len)
{
    // A heap block carries a header and is rounded up to 16 bytes.
    return sizeof(tb1s_vent) + ((name_len + 1 + 8 + 15) & ~size_t(15));
}

uint64_t tb1s_vfs_bytes(const tb1s_vent *v, int32_t count)
{
    uint64_t n = 0;
    for (int32_t i = 0; v && i < count; i++)
        n += tb1s_vfs_entry_bytes(std::strlen(v[i].name));
    return n;
}

int tb1s_vfs_list(const tb1s_vres *dir, tb1s_vent **out, int32_t *count, uint64_t max_bytes)
{
    *out = nullptr;
    *count = 0;
    if (!dir || dir->kind != VFS_DIR)
        return tb1s_fail(-1, "Not a directory.");
    char real[k_path_cap];
    tb1s_fs_dir *d = tb1s_fs_opendir(dir->path, real, sizeof real);
    if (!d)
        return tb1s_fail(-1, "The file cannot be found.");
    if (!inside(real, &dir->share)) {
        tb1s_fs_closedir(d);
        tb1s_stat_add(STAT_PATH_REFUSED, 1);
        return tb1s_fail(-1, "The file cannot be found.");
    }

    // First the names, which cost no call per child: a listing over its
    // byte limit is refused before a single child is looked at. Then each
    // child is described; those that are not listed drop out.
    tb1s_vent *v = nullptr;
    int32_t n = 0, cap = 0;
    uint64_t bytes = 0;
    while (const char *name = tb1s_fs_readdir(d)) {
        // The cap bounds memory and the search's work; the rest of a larger
        // folder is not listed, and that is still a success.
        if (n >= k_max_entries)
            break;
        size_t len = std::strlen(name);
        if (!acceptable(dir->path, name, len))
            continue;
        bytes += tb1s_vfs_entry_bytes(len);
        if (bytes > max_bytes) {
            tb1s_fs_closedir(d);
            tb1s_vfs_free(v, n);
            return tb1s_fail(-2, "The listing would exceed the memory allowed.");
        }
        if (n == cap && !grow(&v, &cap))
            break;
        v[n] = tb1s_vent{};
        v[n].name = static_cast<char *>(std::malloc(len + 1));
        if (!v[n].name)
            break;
        std::memcpy(v[n].name, name, len + 1);
        n++;
    }
    int32_t kept = 0;
    for (int32_t i = 0; i < n; i++) {
        char *name = v[i].name;
        if (describe(&dir->share, d, name, &v[i]) != 0) {
            std::free(name);
            continue;
        }
        v[i].name = name;
        v[kept++] = v[i];
    }
    n = kept;
    tb1s_fs_closedir(d);

    if (n > 1)
        std::sort(v, v + n, [](const tb1s_vent &a, const tb1s_vent &b) { return vent_cmp(&a, &b) < 0; });
    if (n == 0) {
        std::free(v);
        v = nullptr;
    } else if (n < cap) {
        // The room the array grew by is given back: a search may keep its
        // listing for long.
        if (void *p = std::realloc(v, sizeof(tb1s_vent) * size_t(n)))
            v = static_cast<tb1s_vent *>(p);
    }
    *out = v;
    *count = n;
    return 0;
}

void tb1s_vfs_free(tb1s_vent *v, int32_t count)
{
    if (!v)
        return;
    for (int32_t i = 0; i < count; i++)
        std::free(v[i].name);
    std::free(v);
}

}  // namespace tb1s
