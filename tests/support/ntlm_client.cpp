#include "ntlm_client.h"

#include <cstring>

#include "crypto/crypto.h"
#include "ntlm/spnego.h"

using namespace tb1s;

namespace tb1s_test {

namespace {

void put16(bytes &b, uint32_t v)
{
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void put32(bytes &b, uint32_t v)
{
    put16(b, v);
    put16(b, v >> 16);
}
void append(bytes &b, const bytes &x) { b.insert(b.end(), x.begin(), x.end()); }


const bytes k_sig = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};
const bytes k_ntlm_oid = {0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x02, 0x0A};
const bytes k_spnego_oid = {0x06, 0x06, 0x2B, 0x06, 0x01, 0x05, 0x05, 0x02};

}  // namespace

bytes der_tlv(uint8_t tag, const bytes &content)
{
    bytes out{tag};
    size_t n = content.size();
    if (n < 0x80) {
        out.push_back(uint8_t(n));
    } else if (n < 0x100) {
        out.push_back(0x81);
        out.push_back(uint8_t(n));
    } else {
        out.push_back(0x82);
        out.push_back(uint8_t(n >> 8));
        out.push_back(uint8_t(n));
    }
    append(out, content);
    return out;
}

bytes utf16le(const std::string &s)
{
    bytes out;
    for (size_t i = 0; i < s.size();) {
        uint8_t c = uint8_t(s[i]);
        uint32_t cp;
        size_t n;
        if (c < 0x80) {
            cp = c;
            n = 1;
        } else if (c >> 5 == 6) {
            cp = c & 0x1F;
            n = 2;
        } else if (c >> 4 == 14) {
            cp = c & 0x0F;
            n = 3;
        } else {
            cp = c & 0x07;
            n = 4;
        }
        for (size_t k = 1; k < n && i + k < s.size(); k++)
            cp = cp << 6 | (uint8_t(s[i + k]) & 0x3F);
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put16(out, 0xD800 | cp >> 10);
            put16(out, 0xDC00 | (cp & 0x3FF));
        } else {
            put16(out, cp);
        }
    }
    return out;
}

bytes hmac_md5(const bytes &key, const bytes &data)
{
    bytes out(16);
    tb1s_hmacmd5(key.data(), key.size(), data.data(), data.size(), out.data());
    return out;
}

bytes rc4(const bytes &key, const bytes &data)
{
    bytes out = data;
    tb1s_rc4_ctx c;
    tb1s_rc4_init(&c, key.data(), key.size());
    tb1s_rc4(&c, out.data(), out.size());
    return out;
}

bytes ntowfv2(const std::string &user, const std::string &domain, const std::string &password)
{
    bytes pw = utf16le(password);
    bytes nt(16);
    tb1s_md4(pw.data(), pw.size(), nt.data());
    // Upper-cased unit by unit, as Windows clients do; surrogates stay.
    bytes ident = utf16le(user);
    for (size_t i = 0; i + 1 < ident.size(); i += 2) {
        uint32_t u = uint32_t(ident[i] | ident[i + 1] << 8);
        if (u < 0xD800 || u > 0xDFFF) {
            u = libc_upper(u);
            ident[i] = uint8_t(u);
            ident[i + 1] = uint8_t(u >> 8);
        }
    }
    append(ident, utf16le(domain));
    return hmac_md5(nt, ident);
}

bytes av_pairs(const std::vector<av_pair> &pairs)
{
    bytes out;
    for (const av_pair &p : pairs) {
        put16(out, p.id);
        put16(out, uint32_t(p.value.size()));
        append(out, p.value);
    }
    return out;
}

bytes filetime_bytes(uint64_t ft)
{
    bytes out;
    put32(out, uint32_t(ft));
    put32(out, uint32_t(ft >> 32));
    return out;
}

uint64_t filetime_of(int64_t unix_seconds) { return (uint64_t(unix_seconds) + 11644473600ULL) * 10000000ULL; }

bytes ntlmv2_response(const bytes &ntowf, const bytes &server_chal, const bytes &client_chal, uint64_t time_ft,
                      const bytes &av)
{
    bytes blob = {0x01, 0x01, 0, 0, 0, 0, 0, 0};
    append(blob, filetime_bytes(time_ft));
    append(blob, client_chal);
    put32(blob, 0);
    append(blob, av);
    put32(blob, 0);
    bytes msg = server_chal;
    append(msg, blob);
    bytes out = hmac_md5(ntowf, msg);
    append(out, blob);
    return out;
}

bytes lmv2_response(const bytes &ntowf, const bytes &server_chal, const bytes &client_chal)
{
    bytes msg = server_chal;
    append(msg, client_chal);
    bytes out = hmac_md5(ntowf, msg);
    append(out, client_chal);
    return out;
}

bytes session_base_key(const bytes &ntowf, const bytes &nt_response)
{
    return hmac_md5(ntowf, bytes(nt_response.begin(), nt_response.begin() + 16));
}

bytes authenticate_message(const auth_fields &f)
{
    const bytes *payload[6] = {&f.lm, &f.nt, &f.domain, &f.user, &f.workstation, &f.enc_key};
    const int order[6] = {2, 3, 4, 0, 1, 5};  // where each payload goes in the buffer
    uint32_t offset[6] = {};
    uint32_t at = 64;
    for (int i : order) {
        offset[i] = at;
        at += uint32_t(payload[i]->size());
    }
    bytes out = k_sig;
    put32(out, 3);
    for (int i = 0; i < 6; i++) {
        put16(out, uint32_t(payload[i]->size()));
        put16(out, uint32_t(payload[i]->size()));
        put32(out, offset[i]);
    }
    put32(out, f.flags);
    for (int i : order)
        append(out, *payload[i]);
    return out;
}

bytes ntlm_negotiate()
{
    bytes out = k_sig;
    put32(out, 1);
    put32(out, 0xE2088297);
    for (int i = 0; i < 4; i++)
        put32(out, 0);  // empty domain and workstation fields
    return out;
}

bool read_challenge(const bytes &msg, bytes *server_chal, bytes *target_info)
{
    if (msg.size() < 48 || !std::equal(k_sig.begin(), k_sig.end(), msg.begin()) || msg[8] != 2)
        return false;
    uint32_t len = uint32_t(msg[40] | msg[41] << 8);
    uint32_t off = uint32_t(msg[44] | msg[45] << 8 | msg[46] << 16 | uint32_t(msg[47]) << 24);
    if (uint64_t(off) + len > msg.size())
        return false;
    server_chal->assign(msg.begin() + 24, msg.begin() + 32);
    target_info->assign(msg.begin() + off, msg.begin() + off + len);
    return true;
}

bytes ntlm_authenticate(const bytes &challenge_msg, const ntlm_creds &c, bytes *session_key)
{
    bytes chal, info;
    if (!read_challenge(challenge_msg, &chal, &info))
        return {};
    // The blob's time is the server's timestamp pair when it sent one.
    uint64_t ft = 0;
    for (size_t p = 0; p + 4 <= info.size();) {
        uint32_t id = uint32_t(info[p] | info[p + 1] << 8);
        uint32_t len = uint32_t(info[p + 2] | info[p + 3] << 8);
        if (id == 0 || p + 4 + len > info.size())
            break;
        if (id == 7 && len == 8)
            for (int i = 7; i >= 0; i--)
                ft = ft << 8 | info[p + 4 + size_t(i)];
        p += 4 + len;
    }
    bytes owf = ntowfv2(c.user, c.domain, c.password);
    auth_fields f;
    f.nt = ntlmv2_response(owf, chal, c.client_chal, ft, info);
    f.lm = lmv2_response(owf, chal, c.client_chal);
    f.domain = utf16le(c.domain);
    f.user = utf16le(c.user);
    f.workstation = utf16le(c.workstation);
    bytes base = session_base_key(owf, f.nt);
    if (c.key_exch) {
        f.enc_key = rc4(base, c.random_key);
        *session_key = c.random_key;
    } else {
        f.flags &= ~0x40000000u;
        *session_key = base;
    }
    return authenticate_message(f);
}

bytes spnego_wrap_init(const bytes &mech_token)
{
    bytes seq = der_tlv(0xA0, der_tlv(0x30, k_ntlm_oid));
    append(seq, der_tlv(0xA2, der_tlv(0x04, mech_token)));
    bytes inner = k_spnego_oid;
    append(inner, der_tlv(0xA0, der_tlv(0x30, seq)));
    return der_tlv(0x60, inner);
}

bytes spnego_wrap_resp(const bytes &token) { return der_tlv(0xA1, der_tlv(0x30, der_tlv(0xA2, der_tlv(0x04, token)))); }

bytes ntlm_in(const bytes &blob)
{
    const uint8_t *tok = nullptr;
    uint64_t n = 0;
    int32_t raw = 0;
    if (tb1s_spnego_init(blob.data(), blob.size(), &tok, &n, &raw) != 0 || !tok)
        return {};
    return bytes(tok, tok + n);
}

}  // namespace tb1s_test
