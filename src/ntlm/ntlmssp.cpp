#include "ntlm/ntlmssp.h"

#include <cstring>

#include "cfg/opts.h"
#include "crypto/crypto.h"
#include "util/bytes.h"
#include "util/text.h"

namespace tb1s {

namespace {

// UNICODE | NTLM | 0x400 | EXTENDED_SESSIONSECURITY | TARGET_INFO | 128 |
// KEY_EXCH | 56, whatever the client asked for.
constexpr uint32_t k_challenge_flags = 0xE0880601;
constexpr uint32_t k_flag_ntlm = 0x200;
constexpr uint32_t k_flag_ess = 0x80000;
constexpr uint32_t k_flag_key_exch = 0x40000000;

constexpr uint64_t k_name_cut = 60;     // bytes of the server name kept
constexpr int32_t k_name16_cap = 160;   // room for its UTF-16LE form

constexpr uint16_t k_av_eol = 0;
constexpr uint16_t k_av_nb_computer = 1;
constexpr uint16_t k_av_nb_domain = 2;
constexpr uint16_t k_av_dns_computer = 3;
constexpr uint16_t k_av_dns_domain = 4;
constexpr uint16_t k_av_timestamp = 7;

// NTLMv2 response: NTProofStr, then the blob; AV pairs start at byte 44.
// The blob is at most 1024 bytes: the challenge and the blob fit the
// 1032-byte work area of the proof.
constexpr uint64_t k_proof_len = 16;
constexpr uint64_t k_av_start = 44;
constexpr uint64_t k_nt_min = 48;       // AUTHENTICATE: the blob and one AV header
constexpr uint64_t k_nx_nt_min = 44;    // without extended security: the fixed part
constexpr uint64_t k_nt_max = 16 + 1024;
constexpr uint64_t k_lmv2_len = 24;
constexpr int64_t k_max_skew = 7200;    // seconds either way
constexpr uint64_t k_ticks = 10000000;  // FILETIME units per second

constexpr int32_t k_pw16_cap = 514;     // UTF-16LE of a 256-byte password, and then some
constexpr uint64_t k_text_cut = 128;    // user name and domain bytes kept for NTOWFv2
constexpr int32_t k_ident_cap = 264;    // UTF-16LE of user name and domain
constexpr int32_t k_wire_text = 129;    // UTF-8 room for names read from the wire

// A part of a message; p is null when the part is absent or out of range.
struct part {
    const uint8_t *p;
    uint64_t len;
};

// Password-derived values of one verification, wiped on every exit.
struct secrets {
    uint8_t nt_hash[16];
    uint8_t ntowf[16];
    uint8_t expect[16];
    uint8_t base[16];
    uint8_t key[16];
    tb1s_rc4_ctx rc4;
    secrets() = default;
    secrets(const secrets &) = delete;
    secrets &operator=(const secrets &) = delete;
    ~secrets() { tb1s_wipe(this, sizeof *this); }
};

// HMAC-MD5 under a 16-byte key over a, then b.
void hmac(const uint8_t key[16], const uint8_t *a, uint64_t an, const uint8_t *b, uint64_t bn, uint8_t out[16])
{
    tb1s_hmacmd5_ctx c;
    tb1s_hmacmd5_init(&c, key, 16);
    tb1s_hmacmd5_update(&c, a, an);
    if (bn)
        tb1s_hmacmd5_update(&c, b, bn);
    tb1s_hmacmd5_final(&c, out);
    tb1s_wipe(&c, sizeof c);
}

// The server's NTLM name: the given name or the default, cut to 60 bytes
// (into cut[61]) and converted to UTF-16LE. 0 or -1.
int server_name16(const char *name, char cut[k_name_cut + 1], uint8_t out[k_name16_cap], int32_t *n)
{
    tb1s_strlcpy(cut, name && name[0] ? name : TB1S_DEFAULT_SERVER_NAME, k_name_cut + 1);
    *n = 0;
    if (tb1s_utf8_to_utf16le(cut, out, k_name16_cap, n) != 0) {
        *n = 0;
        return -1;
    }
    return 0;
}

// Reads one field descriptor (Len, MaxLen, BufferOffset) at the cursor. The
// part is absent when the descriptor cannot be read, when it reaches past
// the message, or when its offset is 0 with a non-zero length; `len` keeps
// the Len read so that callers can tell "empty" from "absent".
part field(tb1s_cursor *c)
{
    uint32_t len = rd_u16(c);
    rd_u16(c);  // MaxLen: not used
    uint32_t off = rd_u32(c);
    if (c->err)
        return part{nullptr, 0};
    if (uint64_t(off) + len > c->len)
        return part{nullptr, len};
    if (off == 0 && len != 0)
        return part{nullptr, len};
    return part{c->data + off, len};
}

// Finds the first AV pair with the id in an AV-pair area. Every header and
// value must lie inside the area; MsvAvEOL ends the search.
bool av_find(const uint8_t *area, uint64_t n, uint16_t id, part *out)
{
    tb1s_cursor c = rd_make(area, n);
    while (rd_left(&c) >= 4) {
        uint32_t av = rd_u16(&c);
        uint32_t len = rd_u16(&c);
        const uint8_t *v = rd_take(&c, len);
        if (!v)
            return false;
        if (av == id) {
            *out = part{v, len};
            return true;
        }
        if (av == k_av_eol)
            return false;
    }
    return false;
}

// 0 when a FILETIME lies within the window around now (0 skips the check),
// else -1; *off is the distance in seconds.
int ts_check(uint64_t ft, int64_t now, uint64_t *off)
{
    *off = 0;
    if (ft == 0)
        return 0;
    int64_t t = int64_t(ft / k_ticks) - TB1S_EPOCH_DIFF;
    // The true distance of two int64 values always fits an unsigned 64-bit.
    *off = t >= now ? uint64_t(t) - uint64_t(now) : uint64_t(now) - uint64_t(t);
    return *off > uint64_t(k_max_skew) ? -1 : 0;
}

// The timestamp pair of an NTLMv2 response: present, 8 bytes. 0 or -1.
int find_ts(const uint8_t *nt, uint64_t nt_len, uint64_t *ft)
{
    part ts{};
    if (!av_find(nt + k_av_start, nt_len - k_av_start, k_av_timestamp, &ts) || ts.len != 8)
        return -1;
    *ft = ld64le(ts.p);
    return 0;
}

uint8_t fold(uint8_t c) { return c >= 'A' && c <= 'Z' ? uint8_t(c + 32) : c; }

// An AV pair that must hold the server name, compared byte by byte under
// ASCII case folding.
bool name_matches(const uint8_t *av, uint64_t av_len, uint16_t id, const uint8_t *name, int32_t n)
{
    part v{};
    if (!av_find(av, av_len, id, &v) || v.len != uint64_t(n))
        return false;
    for (int32_t i = 0; i < n; i++)
        if (fold(v.p[i]) != fold(name[i]))
            return false;
    return true;
}

// Resets the outputs on entry; returns the verdict with its reason, for
// the one-line exits below.
void reset(tb1s_ntlm_result *r)
{
    *r = tb1s_ntlm_result{};
    r->why = "";
}

int verdict(tb1s_ntlm_result *r, int v, const char *why)
{
    r->why = why;
    return v;
}

}  // namespace

int tb1s_ntlm_type2(const char *server_name, const uint8_t challenge[8], int64_t now, tb1s_buf *b)
{
    char cut[k_name_cut + 1];
    uint8_t name[k_name16_cap];
    int32_t n = 0;
    if (server_name16(server_name, cut, name, &n) != 0)
        return -1;
    const uint32_t info_len = 2 * uint32_t(n) + 32;
    const uint8_t zero[8] = {};
    tb1s_buf_put(b, TB1S_NTLMSSP_SIG, sizeof TB1S_NTLMSSP_SIG);
    w32(b, TB1S_NTLM_CHALLENGE);
    tb1s_buf_put(b, zero, 8);  // no target name
    w32(b, k_challenge_flags);
    tb1s_buf_put(b, challenge, 8);
    tb1s_buf_put(b, zero, 8);
    w16(b, info_len);
    w16(b, info_len);
    w32(b, 48);
    w16(b, k_av_nb_domain);
    w16(b, uint32_t(n));
    tb1s_buf_put(b, name, uint64_t(n));
    w16(b, k_av_nb_computer);
    w16(b, uint32_t(n));
    tb1s_buf_put(b, name, uint64_t(n));
    w16(b, k_av_dns_computer);
    w16(b, 0);
    w16(b, k_av_dns_domain);
    w16(b, 0);
    w16(b, k_av_timestamp);
    w16(b, 8);
    // The timestamp is written for any time, 0 included (wrapping like the
    // unsigned arithmetic it is).
    w64(b, (uint64_t(now) + uint64_t(TB1S_EPOCH_DIFF)) * k_ticks);
    w16(b, k_av_eol);
    w16(b, 0);
    return 0;
}

void tb1s_ntlm_hashes_dom(const char *user, const char *domain, const char *password, uint8_t nt_hash[16],
                          uint8_t ntowf[16])
{
    if (!nt_hash || !ntowf)
        return;
    uint8_t pw[k_pw16_cap];
    int32_t pw_len = 0;
    if (tb1s_utf8_to_utf16le(password ? password : "", pw, k_pw16_cap, &pw_len) != 0) {
        std::memset(nt_hash, 0, 16);
        std::memset(ntowf, 0, 16);
        tb1s_wipe(pw, sizeof pw);
        return;
    }
    tb1s_md4(pw, uint64_t(pw_len), nt_hash);
    tb1s_wipe(pw, sizeof pw);

    char u[k_text_cut + 1];
    char d[k_text_cut + 1];
    tb1s_strlcpy(u, user ? user : "", sizeof u);
    tb1s_strlcpy(d, domain ? domain : "", sizeof d);
    uint8_t ident[k_ident_cap];
    int32_t ulen = 0;
    int32_t dlen = 0;
    if (tb1s_utf8_to_utf16le(u, ident, k_ident_cap, &ulen) != 0)
        ulen = 0;
    // Upper-cased as clients do it: each UTF-16 unit by the simple Unicode
    // mapping ('josé' and 'JOSÉ' give one key).
    tb1s_utf16_upper(ident, uint64_t(ulen));
    if (d[0] && tb1s_utf8_to_utf16le(d, ident + ulen, k_ident_cap - ulen, &dlen) != 0)
        dlen = 0;
    hmac(nt_hash, ident, uint64_t(ulen) + uint64_t(dlen), nullptr, 0, ntowf);
}

int tb1s_ntlm_type3(const uint8_t *msg, uint64_t msg_len, const tb1s_ntlm_check *chk, const char *user,
                    const char *password, tb1s_ntlm_result *result)
{
    reset(result);
    if (!msg || msg_len < 32)
        return verdict(result, -1, "AUTHENTICATE_MESSAGE shorter than 32 bytes");
    if (std::memcmp(msg, TB1S_NTLMSSP_SIG, sizeof TB1S_NTLMSSP_SIG) != 0)
        return verdict(result, -1, "no NTLMSSP signature");
    tb1s_cursor c = rd_make(msg, msg_len);
    c.pos = 8;
    if (rd_u32(&c) != TB1S_NTLM_AUTHENTICATE)
        return verdict(result, -1, "not an AUTHENTICATE_MESSAGE");
    // LmChallengeResponse and Workstation are read in turn but not used.
    enum { f_lm, f_nt, f_domain, f_user, f_workstation, f_key, f_count };
    part f[f_count];
    for (part &x : f)
        x = field(&c);
    const part nt = f[f_nt];
    const part dom_f = f[f_domain];
    const part user_f = f[f_user];
    const part key_f = f[f_key];
    if (!nt.p)
        return verdict(result, -1, "NtChallengeResponse field outside the message");
    tb1s_cursor fc = rd_make(msg, msg_len);
    fc.pos = 60;
    uint32_t flags = rd_u32(&fc);
    if (fc.err)
        return verdict(result, -1, "no NegotiateFlags");
    // An anonymous logon carries no response at all, so the NTLM-only check
    // below has nothing to refuse: smbclient sends its anonymous
    // AUTHENTICATE_MESSAGE with NTLM set and extended session security clear.
    if (nt.len == 0) {
        result->guest = 1;
        return 0;
    }
    if ((flags & k_flag_ntlm) && !(flags & k_flag_ess))
        return verdict(result, -1, "NTLMv1 (NTLM without extended session security)");
    if (nt.len < k_nt_min || nt.len > k_nt_max) {
        if (chk->guest_allowed) {
            result->guest = 1;
            return 0;
        }
        return verdict(result, -1, "NT response length is not NTLMv2");
    }
    const uint8_t *proof = nt.p;
    const uint8_t *blob = nt.p + k_proof_len;
    const uint64_t blen = nt.len - k_proof_len;
    if (blob[0] != 1 || blob[1] != 1)
        return verdict(result, -1, "NTLMv2 blob version is not 1.1");

    char *wire = result->user;
    if (user_f.len && (!user_f.p || tb1s_utf16_to_utf8(user_f.p, user_f.len, wire, sizeof result->user) < 0)) {
        wire[0] = 0;
        return verdict(result, -1, "UserName is not UTF-16");
    }
    const char *acct = user ? user : "";
    if (acct[0] && tb1s_ucasecmp(acct, wire) != 0)
        return verdict(result, 1, "another account");

    const uint8_t *av = nt.p + k_av_start;
    const uint64_t av_len = nt.len - k_av_start;
    if (chk->timecheck) {
        uint64_t ft = 0;
        uint64_t off = 0;
        if (find_ts(nt.p, nt.len, &ft) != 0)
            return verdict(result, -1, "no MsvAvTimestamp");
        if (ts_check(ft, chk->now, &off) != 0)
            return verdict(result, -1, "timestamp outside the allowed skew");
    }

    char cut[k_name_cut + 1];
    uint8_t name[k_name16_cap];
    int32_t n = 0;
    if (server_name16(chk->server_name, cut, name, &n) != 0)
        return verdict(result, -1, "server name is not UTF-8");
    if (!name_matches(av, av_len, k_av_nb_domain, name, n))
        return verdict(result, -1, "MsvAvNbDomainName is not the server name");
    if (!name_matches(av, av_len, k_av_nb_computer, name, n))
        return verdict(result, -1, "MsvAvNbComputerName is not the server name");

    char dom[k_wire_text] = "";
    if (dom_f.len && dom_f.p && tb1s_utf16_to_utf8(dom_f.p, dom_f.len, dom, k_wire_text) < 0)
        dom[0] = 0;

    secrets s;
    tb1s_ntlm_hashes_dom(acct, dom, password, s.nt_hash, s.ntowf);
    hmac(s.ntowf, chk->challenge, 8, blob, blen, s.expect);
    if (!tb1s_ct_equal(s.expect, proof, k_proof_len))
        return verdict(result, 1, "NTProofStr does not match");
    hmac(s.ntowf, proof, k_proof_len, nullptr, 0, s.base);
    if (flags & k_flag_key_exch) {
        if (!key_f.p || key_f.len != 16)
            return verdict(result, -1, "key exchange without a 16-byte EncryptedRandomSessionKey");
        std::memcpy(s.key, key_f.p, 16);
        tb1s_rc4_init(&s.rc4, s.base, 16);
        tb1s_rc4(&s.rc4, s.key, 16);
        std::memcpy(result->session_key, s.key, 16);
    } else {
        std::memcpy(result->session_key, s.base, 16);
    }
    return 0;
}

int tb1s_ntlm_nonext(const uint8_t *lm, uint64_t lm_len, const uint8_t *nt, uint64_t nt_len,
                     const tb1s_ntlm_check *chk, const char *user, const char *password, tb1s_ntlm_result *result)
{
    reset(result);
    if (!nt || nt_len < k_nx_nt_min)
        return verdict(result, -1, "NT response too short for NTLMv2 (NTLMv1 and LM are refused)");
    if (!lm || lm_len != k_lmv2_len)
        return verdict(result, -1, "LMv2 response is not 24 bytes");
    if (nt_len > k_nt_max)
        return verdict(result, -1, "NT response too long");
    const uint8_t *blob = nt + k_proof_len;
    const uint64_t blen = nt_len - k_proof_len;
    if (blob[0] != 1 || blob[1] != 1)
        return verdict(result, -1, "NTLMv2 blob version is not 1.1");
    if (chk->timecheck) {
        uint64_t ft = 0;
        uint64_t off = 0;
        if (find_ts(nt, nt_len, &ft) != 0)
            return verdict(result, -1, "no MsvAvTimestamp");
        if (ts_check(ft, chk->now, &off) != 0)
            return verdict(result, -1, "timestamp outside the allowed skew");
    }

    const char *acct = user ? user : "";
    secrets s;
    tb1s_ntlm_hashes_dom(acct, "", password, s.nt_hash, s.ntowf);
    hmac(s.ntowf, chk->challenge, 8, blob, blen, s.expect);
    if (!tb1s_ct_equal(s.expect, nt, k_proof_len))
        return verdict(result, 1, "NTProofStr does not match");
    hmac(s.ntowf, chk->challenge, 8, lm + 16, 8, s.expect);
    if (!tb1s_ct_equal(s.expect, lm, 16))
        return verdict(result, 1, "LMv2 proof does not match");
    hmac(s.ntowf, nt, k_proof_len, nullptr, 0, s.base);
    std::memcpy(result->session_key, s.base, 16);
    return 0;
}

}  // namespace tb1s
