// The platform file layer on Windows.
//
// Every path is converted strictly from UTF-8 to UTF-16 (the library's own
// decoder: overlong forms, surrogates and values above U+10FFFF fail the
// operation) and handed to the system as it is, with no long-path prefix.
// Objects are opened with full sharing (read, write and delete), so the
// server never stands in the way of another program; status handles carry
// no access rights at all and are closed within the call.
//
// Containment is checked on what was opened: the operations that open an
// object report its final path from the open handle
// (GetFinalPathNameByHandleW). An enumeration holds a handle on its folder
// and looks its entries up relative to that handle (NtCreateFile with the
// folder as root), so a folder renamed or replaced meanwhile changes
// nothing about what is looked at.
#include "fs/fs.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winternl.h>

#include <cstring>
#include <new>
#include <string>

#include "util/text.h"

namespace tb1s {

struct tb1s_fs_dir {
    HANDLE dir;             // the folder opened, owned: entries are looked up relative to it
    HANDLE find;            // the enumeration, owned
    bool pending;           // data holds the first entry, not yet returned
    WIN32_FIND_DATAW data;  // the last entry fetched
    char name[1024];        // the last returned name, UTF-8
};

struct tb1s_fs_file {
    HANDLE h;  // opened for reading, owned
};

namespace {

constexpr uint64_t k_unit = 1048576;          // reported allocation unit: 2048 sectors of 512 bytes
constexpr DWORD k_share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD k_final_cap = 2112;           // characters of a final path, its NUL included
constexpr int64_t k_epoch_delta = 11644473600;  // seconds from 1601-01-01 to 1970-01-01

// The UTF-16 form of a UTF-8 path, or false when the path is not
// well-formed UTF-8. A UTF-8 text never has fewer bytes than UTF-16 units.
bool wide(const char *path, std::wstring *out)
{
    if (!path)
        return false;
    size_t n = std::strlen(path);
    if (n > 1u << 20)
        return false;
    std::wstring w(n + 1, L'\0');
    int32_t written = 0;
    if (tb1s_utf8_to_utf16le(path, reinterpret_cast<uint8_t *>(w.data()), int32_t((n + 1) * 2), &written) != 0)
        return false;
    w.resize(size_t(written) / 2);
    *out = std::move(w);
    return true;
}

// UTF-16 units to NUL-terminated UTF-8 in out[cap]; false when the text is
// not well-formed (a lone surrogate) or does not fit.
bool narrow(const wchar_t *p, size_t units, char *out, int32_t cap)
{
    return tb1s_utf16_to_utf8(reinterpret_cast<const uint8_t *>(p), uint64_t(units) * 2, out, cap) >= 0;
}

int64_t unix_of(const FILETIME &ft)
{
    uint64_t t = uint64_t(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
    return int64_t(t / 10000000) - k_epoch_delta;
}

// Fills st from an open handle. A reparse point is a link only when it was
// opened as itself (the no-follow form); one that was followed reports its
// target, and then never carries the attribute.
int fill(HANDLE h, bool nofollow, tb1s_fstat *st)
{
    BY_HANDLE_FILE_INFORMATION fi;
    if (!GetFileInformationByHandle(h, &fi))
        return -1;
    *st = tb1s_fstat{};
    DWORD a = fi.dwFileAttributes;
    if (nofollow && (a & FILE_ATTRIBUTE_REPARSE_POINT))
        st->kind = FS_KIND_LINK;
    else if (a & FILE_ATTRIBUTE_DIRECTORY)
        st->kind = FS_KIND_DIR;
    else if (a & FILE_ATTRIBUTE_DEVICE)
        st->kind = FS_KIND_OTHER;
    else
        st->kind = GetFileType(h) == FILE_TYPE_DISK ? FS_KIND_FILE : FS_KIND_OTHER;
    if (st->kind == FS_KIND_FILE)
        st->size = uint64_t(fi.nFileSizeHigh) << 32 | fi.nFileSizeLow;
    st->mtime = unix_of(fi.ftLastWriteTime);
    st->atime = unix_of(fi.ftLastAccessTime);
    st->btime = unix_of(fi.ftCreationTime);
    st->dev = fi.dwVolumeSerialNumber;
    st->ino = uint64_t(fi.nFileIndexHigh) << 32 | fi.nFileIndexLow;
    return 0;
}

// Opens an existing object, folders included, with no access rights and
// full sharing; the no-follow form opens a final link itself.
HANDLE open_meta(const char *path, bool nofollow)
{
    std::wstring w;
    if (!wide(path, &w))
        return INVALID_HANDLE_VALUE;
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (nofollow ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    return CreateFileW(w.c_str(), 0, k_share, nullptr, OPEN_EXISTING, flags, nullptr);
}

int path_status(const char *path, bool nofollow, tb1s_fstat *st)
{
    if (!st)
        return -1;
    HANDLE h = open_meta(path, nofollow);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    int rc = fill(h, nofollow, st);
    CloseHandle(h);
    return rc;
}

// The final path of an open object in drive-letter form, every link and
// junction resolved, in the file system's letter case, with the long-path
// prefix taken off ("\\?\C:\x" gives "C:\x", "\\?\UNC\srv\share\x" gives
// "\\srv\share\x"); it and its NUL must fit cap bytes.
int final_path(HANDLE h, char *out, int32_t cap)
{
    if (!out || cap <= 0)
        return -1;
    wchar_t buf[k_final_cap];
    DWORD n = GetFinalPathNameByHandleW(h, buf, k_final_cap, 0);
    if (n == 0 || n >= k_final_cap)
        return -1;
    const wchar_t *p = buf;
    size_t len = n;
    if (len >= 8 && std::wcsncmp(p, L"\\\\?\\UNC\\", 8) == 0) {
        // Keep two backslashes in front of the server name.
        p += 6;
        len -= 6;
        buf[6] = L'\\';
    } else if (len >= 4 && std::wcsncmp(p, L"\\\\?\\", 4) == 0) {
        p += 4;
        len -= 4;
    }
    char utf8[3080];
    if (!narrow(p, len, utf8, int32_t(sizeof utf8)))
        return -1;
    size_t m = std::strlen(utf8);
    if (m >= size_t(cap))
        return -1;
    std::memcpy(out, utf8, m + 1);
    return 0;
}

// Opens `rel` relative to the folder handle `root` with no access to the
// object's data, sharing everything, for an existing object only; with
// `nofollow` a final link is opened as itself. Names are found in any case,
// as the Win32 calls find them.
HANDLE open_rel(HANDLE root, const char *rel, bool nofollow)
{
    std::wstring w;
    if (!wide(rel, &w) || w.empty() || w.size() > 32767)
        return INVALID_HANDLE_VALUE;
    UNICODE_STRING name;
    name.Buffer = w.data();
    name.Length = USHORT(w.size() * 2);
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, root, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE h = INVALID_HANDLE_VALUE;
    constexpr ULONG k_backup_intent = 0x00004000;  // FILE_OPEN_FOR_BACKUP_INTENT: folders too
    ULONG options = FILE_SYNCHRONOUS_IO_NONALERT | k_backup_intent | (nofollow ? FILE_OPEN_REPARSE_POINT : 0);
    NTSTATUS rc = NtCreateFile(&h, FILE_READ_ATTRIBUTES | SYNCHRONIZE, &oa, &io, nullptr, 0, k_share, FILE_OPEN,
                               options, nullptr, 0);
    return rc >= 0 ? h : INVALID_HANDLE_VALUE;
}

}  // namespace

int tb1s_fs_stat(const char *path, tb1s_fstat *st) { return path_status(path, false, st); }

int tb1s_fs_lstat(const char *path, tb1s_fstat *st) { return path_status(path, true, st); }

// Whole 1 MiB units of the volume's size and of all its free space (not the
// calling user's quota), rounded down. Both calls are asked about the root
// of the volume that holds the path, which a file share's path (a file)
// and GetDiskFreeSpaceW (a root only) both need. The cluster geometry is
// asked for only to refuse a volume that reports none.
int tb1s_fs_space(const char *path, uint64_t *total_units, uint64_t *free_units, uint32_t *sectors_per_unit,
                  uint32_t *bytes_per_sector)
{
    std::wstring w;
    if (!wide(path, &w))
        return -1;
    // The volume root is found from the text of the path alone, so the
    // object is checked to exist first.
    wchar_t root[k_final_cap];
    if (GetFileAttributesW(w.c_str()) == INVALID_FILE_ATTRIBUTES || !GetVolumePathNameW(w.c_str(), root, k_final_cap))
        return -1;
    ULARGE_INTEGER avail, total, free_all;
    if (!GetDiskFreeSpaceExW(root, &avail, &total, &free_all))
        return -1;
    DWORD spc = 0, bps = 0, nfree = 0, ntotal = 0;
    if (!GetDiskFreeSpaceW(root, &spc, &bps, &nfree, &ntotal) || spc == 0 || bps == 0)
        return -1;
    if (total_units)
        *total_units = total.QuadPart / k_unit;
    if (free_units)
        *free_units = free_all.QuadPart / k_unit;
    if (sectors_per_unit)
        *sectors_per_unit = 2048;
    if (bytes_per_sector)
        *bytes_per_sector = 512;
    return 0;
}

// The canonical path of an existing object: the final path of a handle
// opened on it, following links.
int tb1s_fs_realpath(const char *path, char *out, int32_t cap)
{
    if (!out || cap <= 0)
        return -1;
    HANDLE h = open_meta(path, false);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    int rc = final_path(h, out, cap);
    CloseHandle(h);
    return rc;
}

char tb1s_fs_sep() { return '\\'; }

// Opening a name finds it in any letter case on Windows volumes.
int tb1s_fs_case_sensitive() { return 0; }

// Opens the folder itself first (its handle answers for its final path and
// for the lookups of its entries), then enumerates it by that final path.
tb1s_fs_dir *tb1s_fs_opendir(const char *path, char *real, int32_t cap)
{
    std::wstring w;
    if (!wide(path, &w))
        return nullptr;
    HANDLE dir = CreateFileW(w.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE, k_share, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (dir == INVALID_HANDLE_VALUE)
        return nullptr;
    char own[3080];
    BY_HANDLE_FILE_INFORMATION fi;
    std::wstring pattern;
    if (!GetFileInformationByHandle(dir, &fi) || !(fi.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        final_path(dir, own, int32_t(sizeof own)) != 0 || !wide(own, &pattern) ||
        (real && (cap <= 0 || std::strlen(own) >= size_t(cap)))) {
        CloseHandle(dir);
        return nullptr;
    }
    if (real)
        std::memcpy(real, own, std::strlen(own) + 1);
    if (!pattern.empty() && pattern.back() != L'\\')
        pattern += L'\\';
    pattern += L'*';
    auto *d = new (std::nothrow) tb1s_fs_dir;
    if (!d) {
        CloseHandle(dir);
        return nullptr;
    }
    d->find = FindFirstFileW(pattern.c_str(), &d->data);
    if (d->find == INVALID_HANDLE_VALUE) {
        CloseHandle(dir);
        delete d;
        return nullptr;
    }
    d->dir = dir;
    d->pending = true;
    d->name[0] = 0;
    return d;
}

const char *tb1s_fs_readdir(tb1s_fs_dir *d)
{
    if (!d)
        return nullptr;
    for (;;) {
        if (d->pending)
            d->pending = false;
        else if (!FindNextFileW(d->find, &d->data))
            return nullptr;  // the end, or an error: the caller sees the same
        const wchar_t *n = d->data.cFileName;
        if (std::wcscmp(n, L".") == 0 || std::wcscmp(n, L"..") == 0)
            continue;
        if (narrow(n, std::wcslen(n), d->name, int32_t(sizeof d->name)))
            return d->name;
    }
}

void tb1s_fs_closedir(tb1s_fs_dir *d)
{
    if (!d)
        return;
    FindClose(d->find);
    CloseHandle(d->dir);
    delete d;
}

int tb1s_fs_dir_lstat(tb1s_fs_dir *d, const char *name, tb1s_fstat *st)
{
    if (!d || !name || !st || !*name || std::strchr(name, '\\') || std::strchr(name, '/'))
        return -1;
    HANDLE h = open_rel(d->dir, name, true);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    int rc = fill(h, true, st);
    CloseHandle(h);
    return rc;
}

int tb1s_fs_probe(tb1s_fs_dir *at, const char *path, tb1s_fstat *st, char *real, int32_t cap)
{
    if (!path || !st || !real)
        return -1;
    HANDLE h = at ? open_rel(at->dir, path, false) : open_meta(path, false);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    int rc = fill(h, false, st) == 0 && final_path(h, real, cap) == 0 ? 0 : -1;
    CloseHandle(h);
    return rc;
}

// Opens for reading data and attributes with full sharing: the server never
// locks a file against other programs. The status comes from the open
// handle, so it describes exactly what will be read.
tb1s_fs_file *tb1s_fs_open_ro(const char *path, tb1s_fstat *st, char *real, int32_t cap)
{
    tb1s_fstat own;
    if (!st)
        st = &own;
    std::wstring w;
    if (!wide(path, &w))
        return nullptr;
    HANDLE h = CreateFileW(w.c_str(), GENERIC_READ | FILE_READ_ATTRIBUTES, k_share, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    if (fill(h, false, st) != 0 || st->kind != FS_KIND_FILE || final_path(h, real, cap) != 0) {
        CloseHandle(h);
        return nullptr;
    }
    auto *f = new (std::nothrow) tb1s_fs_file;
    if (!f) {
        CloseHandle(h);
        return nullptr;
    }
    f->h = h;
    return f;
}

// One synchronous ReadFile with the offset passed alongside: no file
// position is relied on, so reads at any offsets may follow each other.
int32_t tb1s_fs_pread(tb1s_fs_file *f, uint64_t offset, void *buf, int32_t n)
{
    if (!f || n < 0 || (n > 0 && !buf))
        return -1;
    if (offset > uint64_t(INT64_MAX))
        return 0;
    if (n == 0)
        return 0;
    OVERLAPPED ov{};
    ov.Offset = DWORD(offset);
    ov.OffsetHigh = DWORD(offset >> 32);
    DWORD got = 0;
    if (ReadFile(f->h, buf, DWORD(n), &got, &ov))
        return int32_t(got);
    return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
}

void tb1s_fs_close(tb1s_fs_file *f)
{
    if (!f)
        return;
    CloseHandle(f->h);
    delete f;
}

}  // namespace tb1s
