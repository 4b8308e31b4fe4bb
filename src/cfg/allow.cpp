#include "cfg/allow.h"

#include "cfg/opts.h"
#include "util/buf.h"

namespace tb1s {

namespace {

constexpr int32_t k_max_cidrs = 64;

// The allow-list, guarded by g_lock. Entries are only ever appended; the
// list lives as long as the process.
tb1s_cidr g_cidrs[k_max_cidrs];
int32_t g_ncidrs;

bool same_entry(const tb1s_cidr &a, const tb1s_cidr &b)
{
    return a.prefix == b.prefix && tb1s_ip_equal(&a.ip, &b.ip);
}

}  // namespace

int32_t tb1s_allow_add(const char *cidr)
{
    if (!cidr || !*cidr)
        return tb1s_fail(-1, "allow_cidr: empty CIDR");
    tb1s_cidr c;
    if (tb1s_cidr_parse(cidr, &c) != 0)
        return tb1s_fail(-1, "allow_cidr: %.64s is not a CIDR", cidr);
    {
        std::lock_guard<std::mutex> hold(g_lock);
        for (int32_t i = 0; i < g_ncidrs; i++)
            if (same_entry(g_cidrs[i], c))
                return 0;
        if (g_ncidrs < k_max_cidrs) {
            g_cidrs[g_ncidrs++] = c;
            return 0;
        }
    }
    // The message is written after the lock is released: the error slot has
    // a lock of its own.
    return tb1s_fail(-6, "allow_cidr: %d CIDRs", int(k_max_cidrs));
}

int tb1s_client_allowed(const tb1s_ip *ip)
{
    if (!ip)
        return 0;
    if (tb1s_ip_is_loopback(ip))
        return 1;
    std::lock_guard<std::mutex> hold(g_lock);
    for (int32_t i = 0; i < g_ncidrs; i++)
        if (tb1s_cidr_match(&g_cidrs[i], ip))
            return 1;
    return 0;
}

}  // namespace tb1s
