// Temporary stand-ins for internals that have not landed yet. Each module
// removes its lines here when it lands.
#include <cstdlib>

#include "exports/simulate.h"
#include "net/server.h"
#include "net/state.h"
#include "sess/runner.h"
#include "util/buf.h"

int32_t tb1s_net_start(const char *, uint32_t, const char *) { return tb1s_fail(-5, "not built yet"); }
void tb1s_net_stop() {}
uint32_t tb1s_net_port() { return 0; }
int32_t tb1s_net_client_count() { return 0; }
const char *tb1s_simulate(const char *, const char *) { return nullptr; }
void tb1s_sess_run(const tb1s_transport *, const tb1s_ip *, const char *) {}
