// The platform file layer on POSIX systems (Linux: statx for birth times).
//
// Every path must be strict UTF-8 (tb1s_utf8_valid, the decoder the whole
// library uses); anything else fails before the system sees it, and
// directory entries whose names are not UTF-8 are skipped, so the layers
// above only ever see UTF-8. Every descriptor is opened with
// close-on-exec so a host that starts programs does not leak them.
//
// Final paths of open objects (what containment is checked on): a path in
// canonical form is opened with openat2 and every link refused; when that
// succeeds no link was followed, so the path is the object's canonical path
// and learning it costs no call. A path through a link (links inside a share
// are served), or a kernel without openat2, opens the object and reads the
// final path of its descriptor from /proc/self/fd.
#include "fs/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "util/text.h"

namespace tb1s {

struct tb1s_fs_dir {
    DIR *dir;         // the enumeration, owned
    int fd;           // its descriptor (owned by dir), for lookups in the folder opened
    char name[1024];  // the last returned name
};

struct tb1s_fs_file {
    int fd;  // read-only descriptor, owned
};

namespace {

constexpr uint64_t k_unit = 1048576;  // reported allocation unit: 2048 sectors of 512 bytes

int32_t kind_of(mode_t mode, bool nofollow)
{
    if (nofollow && S_ISLNK(mode))
        return FS_KIND_LINK;
    if (S_ISDIR(mode))
        return FS_KIND_DIR;
    if (S_ISREG(mode))
        return FS_KIND_FILE;
    return FS_KIND_OTHER;  // FIFO, socket, device
}

// Fills st from a statx result. Only regular files carry a size: a folder's
// or a link's st_size means nothing to a client, which expects 0 there.
void fill_statx(const struct statx &x, bool nofollow, tb1s_fstat *st)
{
    *st = tb1s_fstat{};
    st->kind = kind_of(x.stx_mode, nofollow);
    st->size = st->kind == FS_KIND_FILE ? x.stx_size : 0;
    st->mtime = x.stx_mtime.tv_sec;
    st->atime = x.stx_atime.tv_sec;
    st->btime = (x.stx_mask & STATX_BTIME) ? x.stx_btime.tv_sec : x.stx_ctime.tv_sec;
    st->dev = uint64_t(x.stx_dev_major) << 32 | x.stx_dev_minor;
    st->ino = x.stx_ino;
}

// The same from a classic status, for kernels without statx.
void fill_stat(const struct stat &s, bool nofollow, tb1s_fstat *st)
{
    *st = tb1s_fstat{};
    st->kind = kind_of(s.st_mode, nofollow);
    st->size = st->kind == FS_KIND_FILE ? uint64_t(s.st_size) : 0;
    st->mtime = s.st_mtim.tv_sec;
    st->atime = s.st_atim.tv_sec;
    st->btime = s.st_ctim.tv_sec;
    // Same layout as the statx form so the identifier does not depend on the call used.
    st->dev = uint64_t(major(s.st_dev)) << 32 | minor(s.st_dev);
    st->ino = s.st_ino;
}

// Status of a path (dirfd AT_FDCWD) or of a descriptor (path "" with
// AT_EMPTY_PATH). Falls back to stat/fstat where statx is missing.
int status(int dirfd, const char *path, int flags, bool nofollow, tb1s_fstat *st)
{
    struct statx x;
    if (statx(dirfd, path, flags | AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME, &x) == 0) {
        fill_statx(x, nofollow, st);
        return 0;
    }
    if (errno != ENOSYS)
        return -1;
    struct stat s;
    int r = (flags & AT_EMPTY_PATH) ? fstat(dirfd, &s) : fstatat(dirfd, path, &s, flags);
    if (r != 0)
        return -1;
    fill_stat(s, nofollow, st);
    return 0;
}

int path_status(const char *path, bool nofollow, tb1s_fstat *st)
{
    if (!path || !st || !tb1s_utf8_valid(path))
        return -1;
    return status(AT_FDCWD, path, nofollow ? AT_SYMLINK_NOFOLLOW : 0, nofollow, st);
}

// Set once openat2 turned out to be missing (an older kernel, or a sandbox
// that filters it), so later opens go straight to the /proc check.
std::atomic<bool> no_openat2{false};

// True for an absolute path in the form of a canonical one: no empty, "."
// or ".." component and no separator at the end. Such a path, resolved
// without following any link, names its object by its canonical path.
bool canonical_form(const char *path)
{
    if (path[0] != '/')
        return false;
    for (const char *c = path; *c;) {
        c++;  // past the separator
        const char *end = std::strchr(c, '/');
        size_t n = end ? size_t(end - c) : std::strlen(c);
        if ((n == 0 && (end || c != path + 1)) || (n == 1 && c[0] == '.') || (n == 2 && c[0] == '.' && c[1] == '.'))
            return false;
        c += n;
    }
    return true;
}

// Opens a canonical-form path with `flags` and no link followed anywhere on
// the way. The descriptor; -1 when the object cannot be opened; -2 when the
// path holds a link or openat2 is not there, so the caller must learn the
// final path itself.
int open_nolinks(const char *path, int flags)
{
    if (no_openat2.load(std::memory_order_relaxed) || !canonical_form(path))
        return -2;
    open_how how{};
    how.flags = uint64_t(flags | O_CLOEXEC);
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    for (;;) {
        long fd = syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
        if (fd >= 0)
            return int(fd);
        if (errno == EINTR)
            continue;
        if (errno == ENOSYS || errno == E2BIG)
            no_openat2.store(true, std::memory_order_relaxed);
        // A link on the way (ELOOP), or a refusal that may be openat2's own
        // (a sandbox answering EPERM, an unknown flag): the plain open decides.
        if (errno == ENOSYS || errno == E2BIG || errno == ELOOP || errno == EPERM || errno == EINVAL ||
            errno == EXDEV || errno == EAGAIN)
            return -2;
        return -1;
    }
}

// The final path of what fd refers to, from /proc/self/fd: the kernel's own
// path of the object now, every link resolved. Fails when /proc is not
// there, or the path does not fit, is not absolute or is not UTF-8 (an
// object outside the process's root has no such path).
int fd_path(int fd, char *out, int32_t cap)
{
    if (!out || cap <= 1)
        return -1;
    char link[40];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, out, size_t(cap));
    if (n <= 0 || n >= cap)
        return -1;  // n == cap: cut short
    out[n] = '\0';
    return out[0] == '/' && tb1s_utf8_valid(out) ? 0 : -1;
}

// Copies a path that names itself as its final path.
int copy_path(const char *path, char *out, int32_t cap)
{
    size_t n = std::strlen(path);
    if (!out || cap <= 0 || n >= size_t(cap))
        return -1;
    std::memcpy(out, path, n + 1);
    return 0;
}

// Opens `path` (relative to dirfd) with no access to the object's data,
// which has no effect on any kind of object, and reads its final path and
// status (following links) from the descriptor. `nolinks` tries the
// link-free open first. The descriptor, or -1.
int open_probe(int dirfd, const char *path, bool nolinks, tb1s_fstat *st, char *real, int32_t cap)
{
    int fd = nolinks ? open_nolinks(path, O_PATH) : -2;
    if (fd == -1)
        return -1;
    if (fd >= 0 && copy_path(path, real, cap) != 0) {
        close(fd);
        return -1;
    }
    if (fd == -2) {
        fd = openat(dirfd, path, O_PATH | O_CLOEXEC);
        if (fd < 0)
            return -1;
        if (fd_path(fd, real, cap) != 0) {
            close(fd);
            return -1;
        }
    }
    if (status(fd, "", AT_EMPTY_PATH, false, st) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// blocks * size / 1 MiB without overflowing 64 bits for any realistic block size.
uint64_t to_units(uint64_t blocks, uint64_t size)
{
    return (blocks >> 20) * size + ((blocks & (k_unit - 1)) * size >> 20);
}

}  // namespace

int tb1s_fs_stat(const char *path, tb1s_fstat *st) { return path_status(path, false, st); }

int tb1s_fs_lstat(const char *path, tb1s_fstat *st) { return path_status(path, true, st); }

// Whole 1 MiB units of the volume's size and of all its free space (not the
// unprivileged user's share of it), rounded down.
int tb1s_fs_space(const char *path, uint64_t *total_units, uint64_t *free_units, uint32_t *sectors_per_unit,
                  uint32_t *bytes_per_sector)
{
    if (!path || !tb1s_utf8_valid(path))
        return -1;
    struct statvfs v;
    if (statvfs(path, &v) != 0)
        return -1;
    uint64_t block = v.f_frsize ? v.f_frsize : v.f_bsize;
    if (block == 0)
        return -1;
    if (total_units)
        *total_units = to_units(v.f_blocks, block);
    if (free_units)
        *free_units = to_units(v.f_bfree, block);
    if (sectors_per_unit)
        *sectors_per_unit = 2048;
    if (bytes_per_sector)
        *bytes_per_sector = 512;
    return 0;
}

// The canonical absolute path of an existing object, every link resolved.
// Fails when the result (with its NUL) does not fit cap bytes or is not UTF-8
// (a link may point at a name that is not).
int tb1s_fs_realpath(const char *path, char *out, int32_t cap)
{
    if (!path || !out || cap <= 0 || !tb1s_utf8_valid(path))
        return -1;
    char *r = realpath(path, nullptr);
    if (!r)
        return -1;
    size_t n = std::strlen(r);
    int rc = -1;
    if (n < size_t(cap) && tb1s_utf8_valid(r)) {
        std::memcpy(out, r, n + 1);
        rc = 0;
    }
    std::free(r);
    return rc;
}

char tb1s_fs_sep() { return '/'; }

// POSIX file systems hold 'readme.txt' and 'README.TXT' as two names. (The
// few that fold case find either spelling by its exact name, so the
// resolution's own search never runs there.)
int tb1s_fs_case_sensitive() { return 1; }

tb1s_fs_dir *tb1s_fs_opendir(const char *path, char *real, int32_t cap)
{
    if (!path || !tb1s_utf8_valid(path))
        return nullptr;
    // O_NONBLOCK: a FIFO that replaced the folder must not hang the open;
    // O_DIRECTORY refuses anything else before it is opened.
    const int flags = O_RDONLY | O_DIRECTORY | O_NONBLOCK;
    int fd = real ? open_nolinks(path, flags) : -2;
    if (fd == -1)
        return nullptr;
    if (fd >= 0 && copy_path(path, real, cap) != 0) {
        close(fd);
        return nullptr;
    }
    if (fd == -2) {
        fd = open(path, flags | O_CLOEXEC);
        if (fd < 0)
            return nullptr;
        if (real && fd_path(fd, real, cap) != 0) {
            close(fd);
            return nullptr;
        }
    }
    auto *d = new (std::nothrow) tb1s_fs_dir;
    if (!d) {
        close(fd);
        return nullptr;
    }
    d->dir = fdopendir(fd);  // owns fd from here on
    if (!d->dir) {
        close(fd);
        delete d;
        return nullptr;
    }
    d->fd = fd;
    d->name[0] = 0;
    return d;
}

// readdir on a handle of our own is safe while other threads enumerate
// other handles; only sharing one DIR between threads is not.
const char *tb1s_fs_readdir(tb1s_fs_dir *d)
{
    if (!d)
        return nullptr;
    for (;;) {
        const dirent *e = readdir(d->dir);
        if (!e)
            return nullptr;  // end, or an error: the caller sees the same
        const char *n = e->d_name;
        if (std::strcmp(n, ".") == 0 || std::strcmp(n, "..") == 0 || !tb1s_utf8_valid(n))
            continue;
        size_t len = std::strlen(n);
        if (len >= sizeof d->name)
            continue;
        std::memcpy(d->name, n, len + 1);
        return d->name;
    }
}

void tb1s_fs_closedir(tb1s_fs_dir *d)
{
    if (!d)
        return;
    closedir(d->dir);
    delete d;
}

int tb1s_fs_dir_lstat(tb1s_fs_dir *d, const char *name, tb1s_fstat *st)
{
    if (!d || !name || !st || !*name || std::strchr(name, '/') || !tb1s_utf8_valid(name))
        return -1;
    return status(d->fd, name, AT_SYMLINK_NOFOLLOW, true, st);
}

int tb1s_fs_probe(tb1s_fs_dir *at, const char *path, tb1s_fstat *st, char *real, int32_t cap)
{
    if (!path || !st || !real || !tb1s_utf8_valid(path) || (at ? path[0] == '/' : path[0] != '/'))
        return -1;
    int fd = open_probe(at ? at->fd : AT_FDCWD, path, !at, st, real, cap);
    if (fd < 0)
        return -1;
    close(fd);
    return 0;
}

// A path without links is opened for reading at once: the descriptor's
// status says what it is (the object was a regular file when the client
// resolved it, and only the administrator could put a device under its
// name). Through a link, the object is first opened with no access to its
// data, and only a regular file is then opened for reading (through its
// descriptor, so it is the same object), since a link may lead anywhere
// and opening a device can have effects of its own. O_NONBLOCK keeps a
// FIFO from hanging the thread and has no effect on reads of a file.
tb1s_fs_file *tb1s_fs_open_ro(const char *path, tb1s_fstat *st, char *real, int32_t cap)
{
    tb1s_fstat own;
    if (!st)
        st = &own;
    if (!path || !tb1s_utf8_valid(path))
        return nullptr;
    const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY;
    int fd = open_nolinks(path, flags);
    if (fd == -1)
        return nullptr;
    if (fd >= 0 && (copy_path(path, real, cap) != 0 || status(fd, "", AT_EMPTY_PATH, false, st) != 0)) {
        close(fd);
        return nullptr;
    }
    if (fd == -2) {
        int probe = open_probe(AT_FDCWD, path, false, st, real, cap);
        if (probe < 0)
            return nullptr;
        fd = -1;
        if (st->kind == FS_KIND_FILE) {
            char self[40];
            std::snprintf(self, sizeof self, "/proc/self/fd/%d", probe);
            fd = open(self, flags | O_CLOEXEC);
        }
        close(probe);
        if (fd < 0)
            return nullptr;
    }
    if (st->kind != FS_KIND_FILE) {
        close(fd);
        return nullptr;
    }
    auto *f = new (std::nothrow) tb1s_fs_file;
    if (!f) {
        close(fd);
        return nullptr;
    }
    f->fd = fd;
    return f;
}

int32_t tb1s_fs_pread(tb1s_fs_file *f, uint64_t offset, void *buf, int32_t n)
{
    if (!f || n < 0 || (n > 0 && !buf))
        return -1;
    // Offsets beyond what off_t can hold lie past the end of any file; the
    // count is cut so that offset + count stays representable too.
    if (offset > uint64_t(INT64_MAX))
        return 0;
    if (uint64_t(n) > uint64_t(INT64_MAX) - offset)
        n = int32_t(uint64_t(INT64_MAX) - offset);
    if (n == 0)
        return 0;
    for (;;) {
        ssize_t r = pread(f->fd, buf, size_t(n), off_t(offset));
        if (r >= 0)
            return int32_t(r);
        if (errno != EINTR)
            return -1;
    }
}

void tb1s_fs_close(tb1s_fs_file *f)
{
    if (!f)
        return;
    close(f->fd);
    delete f;
}

}  // namespace tb1s
