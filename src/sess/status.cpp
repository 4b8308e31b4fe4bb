#include "sess/status.h"

namespace tb1s {

namespace {

const tb1s_status_entry *find_status(uint32_t nt)
{
    for (const tb1s_status_entry &e : k_statuses)
        if (e.status == nt)
            return &e;
    return nullptr;
}

}  // namespace

uint32_t tb1s_dos_pair(uint32_t nt)
{
    const tb1s_status_entry *e = find_status(nt);
    return e ? e->dos : nt;
}

const char *tb1s_status_name(uint32_t status)
{
    const tb1s_status_entry *e = find_status(status);
    if (e && e->name)
        return e->name;
    if (int32_t(status) >= 0 && (status >> 16) != 0)
        return "DOS_ERROR";
    return "STATUS?";
}

}  // namespace tb1s
