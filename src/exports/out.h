// The output slot shared by tbsmb1s_stats_json, tbsmb1s_selftest and
// tbsmb1s_simulate. Not locked: the host does not overlap those calls.
#pragma once

#include "util/buf.h"

namespace tb1s {

// Takes the text out of b (which becomes empty), releases the previous text
// of the slot and returns the new one.
const char *tb1s_out_install(tb1s_buf *b);

}  // namespace tb1s
