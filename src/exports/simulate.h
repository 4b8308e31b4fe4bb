// Runs a scripted client conversation through the session engine without
// any network (the export tbsmb1s_simulate).
#pragma once

namespace tb1s {

const char *tb1s_simulate(const char *script, const char *peer);

}  // namespace tb1s
