// Temporary stand-ins for internals that have not landed yet. Each module
// removes its lines here when it lands.
#include <cstdlib>

#include "exports/simulate.h"
#include "sess/runner.h"
#include "util/buf.h"

const char *tb1s_simulate(const char *, const char *) { return nullptr; }
void tb1s_sess_run(const tb1s_transport *, const tb1s_ip *, const char *) {}
