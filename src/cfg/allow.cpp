#include "cfg/allow.h"

#include "cfg/opts.h"
#include "util/buf.h"

namespace tb1s {

namespace {

// The library's list, guarded by g_lock; it lives as long as the process.
tb1s_allow_list g_allow;

bool same_entry(const tb1s_cidr &a, const tb1s_cidr &b)
{
    return a.prefix == b.prefix && tb1s_ip_equal(&a.ip, &b.ip);
}

}  // namespace

int32_t tb1s_allow_add_to(tb1s_allow_list *l, const char *cidr)
{
    if (!cidr || !*cidr)
        return tb1s_fail(-1, "allow_cidr: empty CIDR");
    tb1s_cidr c;
    if (tb1s_cidr_parse(cidr, &c) != 0)
        return tb1s_fail(-1, "allow_cidr: %.64s is not a CIDR", cidr);
    {
        std::lock_guard<tb1s_lock> hold(g_lock);
        for (int32_t i = 0; i < l->count; i++)
            if (same_entry(l->cidrs[i], c))
                return 0;
        if (l->count < TB1S_MAX_CIDRS) {
            l->cidrs[l->count++] = c;
            return 0;
        }
    }
    // The message is written after the lock is released: the error slot has
    // a lock of its own.
    return tb1s_fail(-6, "allow_cidr: %d CIDRs", int(TB1S_MAX_CIDRS));
}

int tb1s_allowed_by(const tb1s_allow_list *l, const tb1s_ip *ip)
{
    if (!ip)
        return 0;
    if (tb1s_ip_is_loopback(ip))
        return 1;
    std::lock_guard<tb1s_lock> hold(g_lock);
    for (int32_t i = 0; i < l->count; i++)
        if (tb1s_cidr_match(&l->cidrs[i], ip))
            return 1;
    return 0;
}

int32_t tb1s_allow_add(const char *cidr) { return tb1s_allow_add_to(&g_allow, cidr); }

int tb1s_client_allowed(const tb1s_ip *ip) { return tb1s_allowed_by(&g_allow, ip); }

}  // namespace tb1s
