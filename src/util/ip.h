// IP addresses and CIDR blocks. IPv4-mapped IPv6 addresses are always held
// as IPv4 records, so a client reaching a dual-stack socket over IPv4 is
// compared, admitted and printed as IPv4.
#pragma once

#include <cstdint>

namespace tb1s {

struct tb1s_ip {
    int32_t family;    // 4 or 6; 0 in a cleared record
    uint8_t addr[16];  // network byte order; IPv4 uses the first 4 bytes
};

struct tb1s_cidr {
    tb1s_ip ip;      // network address, bits beyond the prefix cleared
    int32_t prefix;  // 0..32 for IPv4, 0..128 for IPv6
};

int tb1s_ip_parse(const char *text, tb1s_ip *out);              // 0 or -1; out cleared first
void tb1s_ip_format(const tb1s_ip *ip, char *out, int32_t size); // RFC 5952 for IPv6
// The record of 16 IPv6 address bytes: IPv4 for an IPv4-mapped address.
void tb1s_ip_from_v6(const uint8_t a[16], tb1s_ip *out);
int tb1s_ip_equal(const tb1s_ip *a, const tb1s_ip *b);
int tb1s_ip_is_loopback(const tb1s_ip *ip);
int tb1s_cidr_parse(const char *text, tb1s_cidr *out);          // 0 or -1; out cleared first
int tb1s_cidr_match(const tb1s_cidr *c, const tb1s_ip *ip);

}  // namespace tb1s
