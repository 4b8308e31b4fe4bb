#include "cfg/shares.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "cfg/opts.h"
#include "crypto/crypto.h"
#include "fs/fs.h"
#include "util/buf.h"
#include "util/text.h"

namespace tb1s {

tb1s_share g_shares[TB1S_MAX_SHARES];
int32_t g_nshares;
tb1s_user g_users[TB1S_MAX_USERS];
int32_t g_nusers;

namespace {

constexpr const char *k_ipc = "IPC$";

const char *shown(const char *s) { return s ? s : "(null)"; }

// Share names: 1..80 bytes of well-formed UTF-8, not "." or "..", and no
// control byte, 0x7F, '/', ':' or '\' (the characters that would split a UNC
// path or a stream name). Strict UTF-8 also keeps out an overlong spelling
// of those characters (C0 AF for '/'), which a client could never send.
bool share_name_ok(const char *name)
{
    std::string_view n(name);
    if (n.empty() || n.size() > 80 || n == "." || n == ".." || !tb1s_utf8_valid(name))
        return false;
    for (unsigned char c : n)
        if (c < 0x20 || c == 0x7F || c == '/' || c == ':' || c == '\\')
            return false;
    return true;
}

// Account texts: no control byte and no 0x7F; bytes of 0x80 and above pass.
bool printable(std::string_view s)
{
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7F)
            return false;
    return true;
}

// Index of the first share named `name` (Unicode simple case folding, as
// clients upper-case the names they send), or -1. Under g_lock.
int32_t share_index(const char *name)
{
    for (int32_t i = 0; i < g_nshares; i++)
        if (tb1s_ucasecmp(g_shares[i].name, name) == 0)
            return i;
    return -1;
}

// Index of the user named exactly `user`, or -1. Under g_lock.
int32_t user_index(const char *user)
{
    for (int32_t i = 0; i < g_nusers; i++)
        if (std::strcmp(g_users[i].user, user) == 0)
            return i;
    return -1;
}

}  // namespace

int32_t tb1s_share_add(const char *name, const char *path)
{
    if (tb1s_trace_on())
        tb1s_trace("[cfg] add_share('%s', '%s')\n", shown(name), shown(path));
    if (!name || !path || !*path)
        return tb1s_fail(-1, "add_share: NULL or empty argument");
    if (!share_name_ok(name))
        return tb1s_fail(-1, "add_share: invalid share name");
    if (std::strlen(path) > 1024)
        return tb1s_fail(-1, "add_share: path too long");
    if (std::strcmp(name, k_ipc) == 0)
        return tb1s_fail(-3, "add_share: IPC$ is built in");

    // The file-system work happens before the lock is taken.
    tb1s_share rec{};
    tb1s_fstat st{};
    if (tb1s_fs_realpath(path, rec.path, sizeof rec.path) != 0 || tb1s_fs_stat(rec.path, &st) != 0)
        return tb1s_fail(-2, "add_share: %.200s does not exist", path);
    if (st.kind != FS_KIND_FILE && st.kind != FS_KIND_DIR)
        return tb1s_fail(-1, "add_share: %.200s is neither a folder nor a regular file", path);
    tb1s_strlcpy(rec.name, name, sizeof rec.name);
    rec.is_file = st.kind == FS_KIND_FILE ? 1 : 0;

    int32_t count;
    {
        std::lock_guard<tb1s_lock> hold(g_lock);
        if (share_index(name) >= 0)
            return tb1s_fail(-3, "add_share: %s exists", name);
        if (g_nshares >= TB1S_MAX_SHARES)
            return tb1s_fail(-6, "add_share: %d shares", TB1S_MAX_SHARES);
        g_shares[g_nshares++] = rec;
        count = g_nshares;
    }
    if (tb1s_trace_on())
        tb1s_trace("[cfg] share '%s' -> %s added (nshares=%d)\n", rec.name, rec.path, int(count));
    return 0;
}

int32_t tb1s_share_remove(const char *name)
{
    if (!name)
        return tb1s_fail(-1, "remove_share: NULL name");
    if (std::strcmp(name, k_ipc) == 0)
        return tb1s_fail(-1, "remove_share: IPC$ is built in");
    std::lock_guard<tb1s_lock> hold(g_lock);
    int32_t i = share_index(name);
    if (i < 0)
        return tb1s_fail(-2, "remove_share: no share %.64s", name);
    std::memmove(&g_shares[i], &g_shares[i + 1], sizeof(tb1s_share) * size_t(g_nshares - i - 1));
    g_nshares--;
    std::memset(&g_shares[g_nshares], 0, sizeof(tb1s_share));
    return 0;
}

int32_t tb1s_user_add(const char *user, const char *password)
{
    if (!user || !password)
        return tb1s_fail(-1, "add_user: NULL argument");
    std::string_view u(user), p(password);
    if (u.empty() || u.size() > 128 || !printable(u))
        return tb1s_fail(-1, "add_user: user must be 1..%d printable bytes", 128);
    if (u.find_first_of("\\/") != std::string_view::npos)
        return tb1s_fail(-1, "add_user: the user name carries no domain (the domain is ignored)");
    if (p.size() > 256 || !printable(p))
        return tb1s_fail(-1, "add_user: password must be 0..%d printable bytes", 256);
    // Both go to the client's form, UTF-16, for the NTLM keys: text that has
    // no such form would give a key that does not depend on it.
    if (!tb1s_utf8_valid(user) || !tb1s_utf8_valid(password))
        return tb1s_fail(-1, "add_user: user and password must be UTF-8");

    std::lock_guard<tb1s_lock> hold(g_lock);
    int32_t i = user_index(user);
    if (i < 0) {
        if (g_nusers >= TB1S_MAX_USERS)
            return tb1s_fail(-6, "add_user: %d users", TB1S_MAX_USERS);
        i = g_nusers++;
        tb1s_strlcpy(g_users[i].user, user, sizeof g_users[i].user);
    }
    // Wipe the whole field first: a shorter new password would otherwise
    // leave the tail of the old one behind its NUL.
    tb1s_wipe(g_users[i].password, sizeof g_users[i].password);
    tb1s_strlcpy(g_users[i].password, password, sizeof g_users[i].password);
    return 0;
}

int32_t tb1s_user_remove(const char *user)
{
    if (!user)
        return tb1s_fail(-1, "remove_user: NULL user");
    std::lock_guard<tb1s_lock> hold(g_lock);
    int32_t i = user_index(user);
    if (i < 0)
        return tb1s_fail(-2, "remove_user: no such user");
    tb1s_wipe(g_users[i].password, sizeof g_users[i].password);
    std::memmove(&g_users[i], &g_users[i + 1], sizeof(tb1s_user) * size_t(g_nusers - i - 1));
    g_nusers--;
    // The freed last slot still holds a copy of the record moved down.
    tb1s_wipe(&g_users[g_nusers], sizeof(tb1s_user));
    return 0;
}

int tb1s_share_find(const char *name, tb1s_share *out)
{
    if (out)
        std::memset(out, 0, sizeof *out);
    if (!name)
        return -1;
    // The built-in share wins over a declared one that differs only in case.
    if (tb1s_casecmp(name, k_ipc) == 0) {
        if (out)
            tb1s_strlcpy(out->name, k_ipc, sizeof out->name);
        return 0;
    }
    std::lock_guard<tb1s_lock> hold(g_lock);
    int32_t i = share_index(name);
    if (i < 0)
        return -1;
    if (out)
        *out = g_shares[i];
    return 0;
}

int tb1s_share_list(tb1s_share **out, int32_t *count)
{
    if (!out || !count)
        return -1;
    *out = nullptr;
    *count = 0;
    tb1s_share *v;
    int32_t n;
    {
        std::lock_guard<tb1s_lock> hold(g_lock);
        n = g_nshares + 1;
        v = static_cast<tb1s_share *>(std::calloc(size_t(n), sizeof(tb1s_share)));
        if (!v)
            return -1;
        tb1s_strlcpy(v[0].name, k_ipc, sizeof v[0].name);
        std::memcpy(&v[1], g_shares, sizeof(tb1s_share) * size_t(g_nshares));
    }
    // The share with no path ("IPC$") first, then by folded name.
    std::sort(v, v + n, [](const tb1s_share &a, const tb1s_share &b) {
        bool ipc_a = a.path[0] == '\0', ipc_b = b.path[0] == '\0';
        if (ipc_a != ipc_b)
            return ipc_a;
        return tb1s_ucasecmp(a.name, b.name) < 0;
    });
    *out = v;
    *count = n;
    return 0;
}

int tb1s_user_at(int32_t idx, char *name, uint64_t name_size, char *password, uint64_t password_size)
{
    if (!name || !password)
        return 1;
    std::lock_guard<tb1s_lock> hold(g_lock);
    if (idx < 0 || idx >= g_nusers)
        return 1;
    tb1s_strlcpy(name, g_users[idx].user, size_t(name_size));
    tb1s_strlcpy(password, g_users[idx].password, size_t(password_size));
    return 0;
}

}  // namespace tb1s
