// Share resolution: the one place where a client's share-relative path is
// joined to a host path. Names are found as a Windows server finds them,
// whatever the letter case (map_names). Whatever the path goes through on
// disk (links, junctions, mount points), the object is accepted only when
// its canonical path lies inside the share's canonical root.
#include <cstring>

#include "cfg/stats.h"
#include "util/buf.h"
#include "util/text.h"
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

// The canonical path and status of what `path` leads to, both taken from
// one handle on the object, into out; the object must lie inside the share
// and be a folder or a regular file. An escape (a link leading out of the
// share) is counted.
int contain(const char *path, tb1s_vres *out)
{
    if (tb1s_fs_probe(nullptr, path, &out->st, out->path, sizeof out->path) != 0)
        return not_found(out);
    if (!inside(out->path, &out->share)) {
        tb1s_stat_add(STAT_PATH_REFUSED, 1);
        return not_found(out);
    }
    if (out->st.kind == FS_KIND_DIR)
        out->kind = VFS_DIR;
    else if (out->st.kind == FS_KIND_FILE)
        out->kind = VFS_FILE;
    else
        return not_found(out);
    return 0;
}

// Appends sep (unless `at` already ends in one) and the n bytes of name to
// the host path out[*at]; false when it and a NUL do not fit cap.
bool append(char *out, size_t cap, size_t *at, const char *name, size_t n)
{
    char sep = tb1s_fs_sep();
    bool add_sep = *at > 0 && out[*at - 1] != sep;
    if (*at + (add_sep ? 1 : 0) + n + 1 > cap)
        return false;
    if (add_sep)
        out[(*at)++] = sep;
    std::memcpy(out + *at, name, n);
    *at += n;
    out[*at] = '\0';
    return true;
}

// The child of the host folder `dir` whose name equals `name` under simple
// case folding, the first in byte order when several do, into best[cap].
// False when none does (or the folder cannot be read).
bool match_folded(const char *dir, const char *name, char *best, size_t cap)
{
    tb1s_fs_dir *d = tb1s_fs_opendir(dir, nullptr, 0);
    if (!d)
        return false;
    best[0] = '\0';
    while (const char *n = tb1s_fs_readdir(d)) {
        if (tb1s_ucasecmp(n, name) != 0)
            continue;
        if ((best[0] == '\0' || std::strcmp(n, best) < 0) && std::strlen(n) < cap)
            tb1s_strlcpy(best, n, cap);
    }
    tb1s_fs_closedir(d);
    return best[0] != '\0';
}

}  // namespace

bool map_names(const char *root, const char *rel, char *out, size_t cap)
{
    if (!join_path(root, rel, out, cap))
        return false;
    tb1s_fstat st;
    if (!*rel || !tb1s_fs_case_sensitive() || tb1s_fs_lstat(out, &st) == 0)
        return true;  // no path, a host that finds any case itself, or the exact spelling exists

    // Rebuild the path one component at a time from the root.
    size_t at = std::strlen(root);
    if (at + 1 > cap)
        return false;
    std::memcpy(out, root, at + 1);
    bool searching = true;  // until a component matches nothing at all
    char found[1024];
    for (const char *c = rel; *c;) {
        size_t n = std::strcspn(c, "/");
        char comp[256];
        if (n >= sizeof comp)
            return false;
        std::memcpy(comp, c, n);
        comp[n] = '\0';
        size_t before = at;
        if (!append(out, cap, &at, comp, n))
            return false;
        if (searching && tb1s_fs_lstat(out, &st) != 0) {
            out[before] = '\0';
            if (match_folded(out, comp, found, sizeof found)) {
                at = before;
                if (!append(out, cap, &at, found, std::strlen(found)))
                    return false;
            } else {
                // Nothing below a missing folder can exist: the rest is
                // joined as given and the resolution fails on it.
                searching = false;
                at = before;
                append(out, cap, &at, comp, n);
            }
        }
        c += n;
        if (*c == '/')
            c++;
    }
    return true;
}

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
        // The root was canonical when the share was added; the final path
        // of what it leads to now refuses a file since replaced by a link.
        return contain(out->share.path, out);
    }

    char joined[sizeof out->path];
    if (!map_names(out->share.path, rel, joined, sizeof joined))
        return not_found(out);
    return contain(joined, out);
}

tb1s_fs_file *tb1s_vfs_open(const tb1s_share *share, const char *path, tb1s_fstat *st)
{
    // The pipe share has no root and holds no files.
    if (!share || !share->path[0] || !path)
        return nullptr;
    char real[2050];
    tb1s_fs_file *f = tb1s_fs_open_ro(path, st, real, sizeof real);
    if (!f)
        return nullptr;
    if (!inside(real, share)) {
        tb1s_fs_close(f);
        tb1s_stat_add(STAT_PATH_REFUSED, 1);
        return nullptr;
    }
    return f;
}

}  // namespace tb1s
