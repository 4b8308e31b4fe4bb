// Temporary stand-ins for internals that have not landed yet. Each module
// removes its lines here when it lands.
#include <cstdlib>

#include "cfg/shares.h"
#include "sess/handlers.h"
#include "util/buf.h"
#include "vfs/vfs.h"

int32_t tb1s_share_add(const char *, const char *) { return tb1s_fail(-5, "not built yet"); }
int32_t tb1s_share_remove(const char *) { return tb1s_fail(-5, "not built yet"); }
int32_t tb1s_user_add(const char *, const char *) { return tb1s_fail(-5, "not built yet"); }
int32_t tb1s_user_remove(const char *) { return tb1s_fail(-5, "not built yet"); }
int tb1s_share_find(const char *, tb1s_share *) { return -1; }
int tb1s_share_list(tb1s_share **, int32_t *) { return -1; }
int tb1s_user_at(int32_t, char *, uint64_t, char *, uint64_t) { return 1; }
int tb1s_guest_allowed() { return 1; }
int tb1s_vfs_resolve(const char *, const char *, tb1s_vres *) { return tb1s_fail(-1, "The file cannot be found."); }
int tb1s_vfs_list(const tb1s_vres *, tb1s_vent **, int32_t *) { return tb1s_fail(-1, "Not a directory."); }
void tb1s_vfs_free(tb1s_vent *v, int32_t) { std::free(v); }
void pipe_transact(tb1s_session *s, tb1s_reply *rep, const uint8_t *, uint32_t)
{
    rep_error(s, rep, NT_STATUS_NOT_SUPPORTED, tb1s_dos_pair(NT_STATUS_NOT_SUPPORTED));
}
