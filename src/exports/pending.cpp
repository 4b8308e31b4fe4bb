// Temporary stand-ins for internals that have not landed yet. Each module
// removes its lines here when it lands.
#include "cfg/allow.h"
#include "cfg/shares.h"
#include "crypto/crypto.h"
#include "exports/simulate.h"
#include "net/server.h"
#include "net/state.h"
#include "util/buf.h"

int32_t tb1s_share_add(const char *, const char *) { return tb1s_fail(-5, "not built yet"); }
int32_t tb1s_share_remove(const char *) { return tb1s_fail(-5, "not built yet"); }
int32_t tb1s_user_add(const char *, const char *) { return tb1s_fail(-5, "not built yet"); }
int32_t tb1s_user_remove(const char *) { return tb1s_fail(-5, "not built yet"); }
int32_t tb1s_allow_add(const char *) { return tb1s_fail(-5, "not built yet"); }
int32_t tb1s_net_start(const char *, uint32_t, const char *) { return tb1s_fail(-5, "not built yet"); }
void tb1s_net_stop() {}
uint32_t tb1s_net_port() { return 0; }
int32_t tb1s_net_client_count() { return 0; }
int tb1s_selftest() { return -1; }
const char *tb1s_simulate(const char *, const char *) { return nullptr; }
