#include "exports/out.h"

#include <cstdlib>

namespace tb1s {

namespace {
char *g_out;  // the last text returned by stats_json, selftest or simulate
}

const char *tb1s_out_install(tb1s_buf *b)
{
    char *text = reinterpret_cast<char *>(b->data);
    *b = tb1s_buf{};
    std::free(g_out);
    g_out = text;
    return g_out;
}

}  // namespace tb1s
