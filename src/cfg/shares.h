// The share and user tables. Both are guarded by the library lock; every
// reader copies whole records. "IPC$" is built in and never stored.
#pragma once

#include <cstdint>

struct tb1s_share {
    char name[81];    // 1..80 bytes as the host gave it
    char path[1025];  // canonical host path; empty for "IPC$"
    int32_t is_file;  // 1 for a single regular file
};

struct tb1s_user {
    char user[129];      // 1..128 bytes
    char password[257];  // 0..256 bytes, in clear
};

// The exports tbsmb1s_add_share, _remove_share, _add_user and _remove_user.
int32_t tb1s_share_add(const char *name, const char *path);
int32_t tb1s_share_remove(const char *name);
int32_t tb1s_user_add(const char *user, const char *password);
int32_t tb1s_user_remove(const char *user);

// 0 if found (out, when given, receives a copy), -1 if not. No message.
int tb1s_share_find(const char *name, tb1s_share *out);
// A malloc'ed array: "IPC$" first, then the shares sorted case-insensitively.
// 0, or -1 when out of memory. The caller frees the array.
int tb1s_share_list(tb1s_share **out, int32_t *count);
// Copies user number idx, cut to the area sizes. 0, or 1 past the end.
int tb1s_user_at(int32_t idx, char *name, uint64_t name_size, char *password, uint64_t password_size);
// 1 if guest logons are allowed now (option guest; auto = while no user exists).
int tb1s_guest_allowed();
