// The share and user tables. Both are guarded by the library lock; every
// reader copies whole records. "IPC$" is built in and never stored.
#pragma once

#include <cstdint>

namespace tb1s {

struct tb1s_share {
    char name[81];    // 1..80 bytes as the host gave it
    char path[1025];  // canonical host path; empty for "IPC$"
    int32_t is_file;  // 1 for a single regular file
};

struct tb1s_user {
    char user[129];      // 1..128 bytes
    char password[257];  // 0..256 bytes, in clear
};

inline constexpr int32_t TB1S_MAX_SHARES = 256;
inline constexpr int32_t TB1S_MAX_USERS = 256;

// The tables, in order of addition; free slots are all zero bytes. Guarded by
// g_lock (cfg/opts.h), like their counts.
extern tb1s_share g_shares[TB1S_MAX_SHARES];
extern int32_t g_nshares;
extern tb1s_user g_users[TB1S_MAX_USERS];
extern int32_t g_nusers;

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

}  // namespace tb1s
