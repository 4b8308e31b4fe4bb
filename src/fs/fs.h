// The platform file layer: the only code that touches the host file system.
// Paths are NUL-terminated UTF-8 in the platform's syntax. Nothing here
// writes, creates, renames or deletes. No operation records an error message.
#pragma once

#include <cstdint>

namespace tb1s {

enum : int32_t { FS_KIND_FILE = 0, FS_KIND_DIR = 1, FS_KIND_LINK = 2, FS_KIND_OTHER = 3 };

struct tb1s_fstat {
    int32_t kind;    // FS_KIND_*
    uint64_t size;   // bytes of data
    int64_t mtime;   // Unix seconds
    int64_t atime;
    int64_t btime;   // birth time where the file system has one, else the status-change time
    uint64_t dev;    // volume identifier
    uint64_t ino;    // file identifier within the volume
};

struct tb1s_fs_dir;   // an open directory enumeration
struct tb1s_fs_file;  // an open read-only file

int tb1s_fs_stat(const char *path, tb1s_fstat *st);   // follows links; 0 or -1
int tb1s_fs_lstat(const char *path, tb1s_fstat *st);  // a final link is FS_KIND_LINK
// Volume size in units of 1 MiB (reported as 2048 sectors of 512 bytes).
int tb1s_fs_space(const char *path, uint64_t *total_units, uint64_t *free_units, uint32_t *sectors_per_unit,
                  uint32_t *bytes_per_sector);
int tb1s_fs_realpath(const char *path, char *out, int32_t cap);  // 0 or -1
char tb1s_fs_sep();
// 1 when the host file system tells names apart by letter case, so share
// resolution must look for other spellings of a name itself (POSIX); 0
// where opening a name finds it in any case already (Windows).
int tb1s_fs_case_sensitive();

// Containment is checked on what was opened, never on a path alone: a path
// checked and then opened by name may have been changed in between (a folder
// swapped for a link that leads elsewhere), the object behind an open handle
// cannot. So the operations that open something also report the final path
// of the object they opened: its canonical path as tb1s_fs_realpath would
// give it, every link resolved, learned from the open handle itself (on
// Windows, GetFinalPathNameByHandleW of the handle CreateFileW returned).
// `real` receives it with its NUL; an operation fails when it does not fit
// `cap` bytes or cannot be learned.

// Opens a folder for enumeration; its final path goes to real[cap] when
// real is given (callers that only pick names may pass none).
tb1s_fs_dir *tb1s_fs_opendir(const char *path, char *real, int32_t cap);
// The next entry name (never "." or ".."; names that are not UTF-8 are
// skipped), valid until the next call; null at the end or on error.
const char *tb1s_fs_readdir(tb1s_fs_dir *d);
void tb1s_fs_closedir(tb1s_fs_dir *d);
// Status of the child `name` (one component) of the folder the handle
// opened, a final link reported as itself (FS_KIND_LINK): tb1s_fs_lstat of
// the folder's final path joined with the name, taken in the folder that
// was opened even if its path has been changed since. 0 or -1.
int tb1s_fs_dir_lstat(tb1s_fs_dir *d, const char *name, tb1s_fstat *st);
// Status (following links) and final path of an object, both from one
// handle opened on it with no access to its data: an absolute path when
// `at` is null, else a path relative to the folder of that handle (a link
// child of a listing). 0 or -1.
int tb1s_fs_probe(tb1s_fs_dir *at, const char *path, tb1s_fstat *st, char *real, int32_t cap);

// Opens a regular file for reading without blocking other programs; fills
// *st (when given) from the open handle, following links, and the final
// path into real[cap]. Null for anything but a regular file; opening a
// FIFO or a terminal never blocks and never takes it as controlling one.
tb1s_fs_file *tb1s_fs_open_ro(const char *path, tb1s_fstat *st, char *real, int32_t cap);
// Bytes read (maybe fewer than asked), 0 at or past the end, -1 on error.
int32_t tb1s_fs_pread(tb1s_fs_file *f, uint64_t offset, void *buf, int32_t n);
void tb1s_fs_close(tb1s_fs_file *f);

}  // namespace tb1s
