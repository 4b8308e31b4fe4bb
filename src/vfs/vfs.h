// Share resolution and folder listing: turns a share name and a validated
// share-relative path into a host object inside the share's root, and lists
// folders into sorted snapshots.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cfg/shares.h"
#include "fs/fs.h"

namespace tb1s {

enum : int32_t { VFS_NONE = 0, VFS_DIR = 1, VFS_FILE = 2, VFS_IPC = 3 };

struct tb1s_vres {
    int32_t kind;      // VFS_*
    char path[2050];   // canonical host path of the object; empty for VFS_IPC
    tb1s_share share;  // private copy of the share record used
    tb1s_fstat st;     // status of the object, following links (not for VFS_IPC)
};

struct tb1s_vent {
    char *name;           // owned, 1..255 bytes of UTF-8
    int32_t kind;         // 0 file, 1 folder, 2 link to an object inside the share
    int32_t target_kind;  // for a link, the target's kind (0 or 1); else equal to kind
    uint64_t size;        // of the target, for a link
    int64_t mtime, atime, btime;
    uint64_t dev, ino;    // of the child itself (for a link, of the link)
};

// 0, or -1 with "The file cannot be found." in the error slot.
int tb1s_vfs_resolve(const char *share, const char *rel, tb1s_vres *out);
// Opens for reading the regular file at `path`, the canonical host path a
// resolution in `share` gave, as it is on disk now. It is kept only when the
// object actually opened lies inside the share: a folder on the way swapped
// for a link that leads out of the share since the resolution is refused
// and counted in path_refused. *st (when given) is the status of the opened
// file. Null on any failure; no message.
tb1s_fs_file *tb1s_vfs_open(const tb1s_share *share, const char *path, tb1s_fstat *st);
// Lists a VFS_DIR into a malloc'ed array sorted by name bytes (at most
// 100,000 entries), enumerating the folder actually opened, which must lie
// inside the share (an escape since the resolution is counted in
// path_refused). The array holds no spare room. 0; -1 with a message; -2
// with a message, and nothing kept, as soon as the names read would hold
// more than max_bytes (as tb1s_vfs_bytes counts), before any child is
// looked at, so a refusal costs little more than reading the names.
int tb1s_vfs_list(const tb1s_vres *dir, tb1s_vent **out, int32_t *count, uint64_t max_bytes);
void tb1s_vfs_free(tb1s_vent *v, int32_t count);
// The heap memory a listing holds: the array and every name, with an
// allowance for the allocator's own bookkeeping of each name.
uint64_t tb1s_vfs_bytes(const tb1s_vent *v, int32_t count);
// The same for one entry whose name has name_len bytes.
uint64_t tb1s_vfs_entry_bytes(size_t name_len);

// The parts below are shared by the resolution and listing files (and tests).

// 1 if the canonical host path lies within the share: equal to its root, or
// (for a folder share) below it at a separator boundary. Byte for byte.
int inside(const char *path, const tb1s_share *share);
// Describes the child `name` of the open folder `d` (whose host path is
// `dir`) of the share, looked up in the folder the handle opened. 0, or -1
// when the child is not listed (odd name, device or pipe, link leaving the
// share).
int make_entry(const tb1s_share *share, tb1s_fs_dir *d, const char *dir, const char *name, tb1s_vent *out);
// Joins a host folder path and a '/'-separated relative path with the
// platform separator (none added after a root that already ends in one).
// False when the result and its NUL do not fit cap bytes.
bool join_path(const char *dir, const char *rel, char *out, size_t cap);
// Byte order of the names, as strcmp.
int vent_cmp(const tb1s_vent *a, const tb1s_vent *b);

// Maps a share-relative path of a folder share to the host path of what it
// names, component by component, the way a Windows server finds names: a
// component that exists under its exact spelling is taken as it is;
// otherwise, where the host file system tells letter case apart
// (tb1s_fs_case_sensitive), the child of that folder equal to it under
// Unicode simple case folding, the first in byte order when several are. A
// component that matches nothing is kept as given, and so is the rest. Only
// names are chosen here: links are followed, and containment checked, by the
// caller on the result. False when the host path and its NUL exceed cap.
bool map_names(const char *root, const char *rel, char *out, size_t cap);
// The entry of a sorted listing that a single name (no wildcard) designates
// in the same way: the exact name, else the first equal under case folding.
// Its index, or -1.
int32_t pick_name(const tb1s_vent *v, int32_t count, const char *name);

}  // namespace tb1s
