// Share resolution: the one place where a client's share-relative path is
// joined to a host path. Whatever the path goes through on disk (links,
// junctions, mount points), the object is accepted only when its canonical
// path lies inside the share's canonical root.
#include <cstring>

#include "cfg/stats.h"
#include "util/buf.h"
#include "vfs/vfs.h"

namespace tb1s {

namespace {

// Every failure: nothing of a half-done resolution stays in the record, so a
// caller that ignored the result could not use a path outside the share.
int not_found(tb1s_vres *out)
{
    std::memset(out, 0, sizeof *out);
    return tb1s_fail(-1, "The file cannot be found.");
}

// Fills the status and kind of the canonical path in out->path.
int finish(tb1s_vres *out)
{
    if (tb1s_fs_stat(out->path, &out->st) != 0)
        return not_found(out);
    if (out->st.kind == FS_KIND_DIR)
        out->kind = VFS_DIR;
    else if (out->st.kind == FS_KIND_FILE)
        out->kind = VFS_FILE;
    else
        return not_found(out);
    return 0;
}

// The canonical form of `path` into out->path, which must lie inside the
// share. An escape (a link leading out of the share) is counted.
int contain(const char *path, tb1s_vres *out)
{
    if (tb1s_fs_realpath(path, out->path, sizeof out->path) != 0)
        return not_found(out);
    if (!inside(out->path, &out->share)) {
        tb1s_stat_add(STAT_PATH_REFUSED, 1);
        return not_found(out);
    }
    return 0;
}

}  // namespace

int inside(const char *path, const tb1s_share *share)
{
    const char *root = share->path;
    size_t n = std::strlen(root);
    if (n == 0)
        return 1;
    if (std::strncmp(path, root, n) != 0)
        return 0;
    if (path[n] == '\0')
        return 1;
    if (share->is_file)
        return 0;
    // A root that ends in the separator is a volume root ('/'); any other
    // root must be followed by a separator, so '/x/media' does not hold
    // '/x/media2'.
    char sep = tb1s_fs_sep();
    return root[n - 1] == sep || path[n] == sep ? 1 : 0;
}

bool join_path(const char *dir, const char *rel, char *out, size_t cap)
{
    char sep = tb1s_fs_sep();
    size_t dir_len = std::strlen(dir), rel_len = std::strlen(rel);
    bool add_sep = rel_len > 0 && dir_len > 0 && dir[dir_len - 1] != sep;
    if (dir_len + (add_sep ? 1 : 0) + rel_len + 1 > cap)
        return false;
    std::memcpy(out, dir, dir_len);
    size_t at = dir_len;
    if (add_sep)
        out[at++] = sep;
    for (size_t i = 0; i < rel_len; i++)
        out[at++] = rel[i] == '/' ? sep : rel[i];
    out[at] = '\0';
    return true;
}

int tb1s_vfs_resolve(const char *share, const char *rel, tb1s_vres *out)
{
    std::memset(out, 0, sizeof *out);
    if (!share || tb1s_share_find(share, &out->share) != 0)
        return not_found(out);
    if (out->share.path[0] == '\0') {
        out->kind = VFS_IPC;
        return 0;
    }
    if (!rel)
        rel = "";

    if (out->share.is_file) {
        if (*rel)
            return not_found(out);
        // The root was canonical when the share was added; canonicalising it
        // again refuses a file that has since been replaced by a link.
        if (contain(out->share.path, out) != 0)
            return -1;
        return finish(out);
    }

    char joined[sizeof out->path];
    if (!join_path(out->share.path, rel, joined, sizeof joined))
        return not_found(out);
    if (contain(joined, out) != 0)
        return -1;
    return finish(out);
}

}  // namespace tb1s
