#include "ntlm/spnego.h"

#include <cstring>

#include "ntlm/ntlmssp.h"

namespace tb1s {

namespace {

// Object identifiers with their tag and length bytes, and the negHints text.
constexpr uint8_t k_spnego_oid[8] = {0x06, 0x06, 0x2B, 0x06, 0x01, 0x05, 0x05, 0x02};
constexpr uint8_t k_ntlm_oid[12] = {0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x02, 0x0A};
constexpr char k_hints[] = "not_defined_in_RFC4178@please_ignore";
constexpr uint64_t k_hints_len = sizeof k_hints - 1;  // 36

constexpr uint8_t k_state_completed = 0;
constexpr uint8_t k_state_incomplete = 1;

// [0] mechTypes: SEQUENCE OF one OID, NTLMSSP (16 bytes).
constexpr uint8_t k_mech_types_head[4] = {0xA0, 0x0E, 0x30, 0x0C};
// [3] negHints: SEQUENCE { [0] hintName GeneralString } (8 header bytes + hints).
constexpr uint8_t k_hints_head[8] = {0xA3, 0x2A, 0x30, 0x28, 0xA0, 0x26, 0x1B, 0x24};
constexpr uint64_t k_mech_types_len = sizeof k_mech_types_head + sizeof k_ntlm_oid;  // 16
constexpr uint64_t k_neg_hints_len = sizeof k_hints_head + k_hints_len;              // 44

// Bytes der_len writes for a length.
uint64_t der_size(uint64_t len)
{
    uint64_t n = 1;
    if (len >= 0x80)
        for (uint64_t v = len; v; v >>= 8)
            n++;
    return n;
}

// Tag byte, then the length.
void der_head(tb1s_buf *b, uint8_t tag, uint64_t len)
{
    tb1s_buf_byte(b, tag);
    der_len(b, len);
}

// A cursor over the len content bytes at c's position.
tb1s_cursor sub(const tb1s_cursor *c, uint64_t len) { return rd_make(c->data + c->pos, len); }

bool is_ntlm_oid(uint8_t tag, const tb1s_cursor *c, uint64_t len)
{
    return tag == 0x06 && len == sizeof k_ntlm_oid - 2 &&
           std::memcmp(c->data + c->pos, k_ntlm_oid + 2, sizeof k_ntlm_oid - 2) == 0;
}

// Walks the elements of a negTokenInit SEQUENCE. An element that cannot be
// read ends the walk: a negTokenInit without mechToken is a success.
int walk_neg_init(tb1s_cursor *seq, const uint8_t **tok, uint64_t *tok_len)
{
    uint8_t tag;
    uint64_t len;
    while (der_tag(seq, &tag, &len) == 0) {
        tb1s_cursor in = sub(seq, len);
        seq->pos += len;
        uint8_t t2;
        uint64_t l2;
        if (tag == 0xA0) {  // mechTypes
            if (der_tag(&in, &t2, &l2) != 0 || !(t2 & 0x20))
                return -2;
            tb1s_cursor list = sub(&in, l2);
            bool offered = false;
            uint8_t t3;
            uint64_t l3;
            while (der_tag(&list, &t3, &l3) == 0) {
                if (is_ntlm_oid(t3, &list, l3))
                    offered = true;
                list.pos += l3;
            }
            if (!offered)
                return -2;
        } else if (tag == 0xA1 || tag == 0xA2) {  // reqFlags or mechToken
            if (der_tag(&in, &t2, &l2) != 0)
                return -1;
            if (t2 == 0x04) {
                *tok = in.data + in.pos;
                *tok_len = len - in.pos;
                return 0;
            }
        }
    }
    return 0;
}

// A GSS-API initial context token (first byte 0x60).
int take_init(const uint8_t *blob, uint64_t n, const uint8_t **tok, uint64_t *tok_len, int32_t *raw)
{
    tb1s_cursor c = rd_make(blob, n);
    uint8_t tag;
    uint64_t len;
    if (der_tag(&c, &tag, &len) != 0 || !(tag & 0x20))
        return -1;
    tb1s_cursor scope = sub(&c, len);
    while (rd_left(&scope) > 0) {
        if (der_tag(&scope, &tag, &len) != 0)
            return -1;
        if (is_ntlm_oid(tag, &scope, len)) {  // bare NTLMSSP in GSS-API framing
            *raw = 1;
            return 0;
        }
        if (tag == 0xA0) {
            tb1s_cursor in = sub(&scope, len);
            uint8_t t2;
            uint64_t l2;
            if (der_tag(&in, &t2, &l2) != 0 || !(t2 & 0x20))
                return -1;
            tb1s_cursor seq = sub(&in, l2);
            return walk_neg_init(&seq, tok, tok_len);
        }
        scope.pos += len;
    }
    return -1;
}

// A negTokenResp (first byte 0xA1): the content of the first responseToken,
// looked for inside the SEQUENCE or, without one, among the top elements.
int take_resp(const uint8_t *blob, uint64_t n, const uint8_t **tok, uint64_t *tok_len)
{
    tb1s_cursor c = rd_make(blob, n);
    uint8_t tag;
    uint64_t len;
    if (der_tag(&c, &tag, &len) != 0 || !(tag & 0x20))
        return -1;
    tb1s_cursor scope = sub(&c, len);
    if (der_tag(&scope, &tag, &len) != 0)
        return -1;
    tb1s_cursor walk = scope;
    if (tag == 0x30)
        walk = sub(&scope, len);
    else
        walk.pos = 0;
    for (;;) {
        if (der_tag(&walk, &tag, &len) != 0)
            return -1;
        if (tag == 0xA2) {
            tb1s_cursor in = sub(&walk, len);
            uint64_t l2;
            if (der_tag(&in, &tag, &l2) != 0)
                return -1;
            *tok = in.data + in.pos;
            *tok_len = l2;
            return 0;
        }
        walk.pos += len;
    }
}

// negTokenInit, with m as mechToken when with_mech.
void neg_token_init(tb1s_buf *b, const uint8_t *m, uint64_t m_len, bool with_mech)
{
    uint64_t l4 = 1 + der_size(m_len) + m_len;
    uint64_t l3 = k_mech_types_len + (with_mech ? 1 + der_size(l4) + l4 : 0) + k_neg_hints_len;
    uint64_t l2 = 1 + der_size(l3) + l3;
    uint64_t l1 = sizeof k_spnego_oid + 1 + der_size(l2) + l2;
    der_head(b, 0x60, l1);
    tb1s_buf_put(b, k_spnego_oid, sizeof k_spnego_oid);
    der_head(b, 0xA0, l2);
    der_head(b, 0x30, l3);
    tb1s_buf_put(b, k_mech_types_head, sizeof k_mech_types_head);
    tb1s_buf_put(b, k_ntlm_oid, sizeof k_ntlm_oid);
    if (with_mech) {
        der_head(b, 0xA2, l4);
        der_head(b, 0x04, m_len);
        tb1s_buf_put(b, m, m_len);
    }
    tb1s_buf_put(b, k_hints_head, sizeof k_hints_head);
    tb1s_buf_put(b, k_hints, k_hints_len);
}

// negTokenResp with a negState, supportedMech NTLMSSP and, when with_tok,
// m as responseToken.
void neg_token_resp(tb1s_buf *b, uint8_t state, const uint8_t *m, uint64_t m_len, bool with_tok)
{
    constexpr uint64_t k_state_len = 5;                       // A0 03 0A 01 state
    constexpr uint64_t k_mech_len = 2 + sizeof k_ntlm_oid;   // A1 0C oid
    uint64_t lc = 1 + der_size(m_len) + m_len;
    uint64_t lb = k_state_len + k_mech_len + (with_tok ? 1 + der_size(lc) + lc : 0);
    uint64_t la = 1 + der_size(lb) + lb;
    der_head(b, 0xA1, la);
    der_head(b, 0x30, lb);
    const uint8_t neg_state[5] = {0xA0, 0x03, 0x0A, 0x01, state};
    tb1s_buf_put(b, neg_state, sizeof neg_state);
    der_head(b, 0xA1, sizeof k_ntlm_oid);
    tb1s_buf_put(b, k_ntlm_oid, sizeof k_ntlm_oid);
    if (with_tok) {
        der_head(b, 0xA2, lc);
        der_head(b, 0x04, m_len);
        tb1s_buf_put(b, m, m_len);
    }
}

}  // namespace

int der_tag(tb1s_cursor *c, uint8_t *tag, uint64_t *len)
{
    if (rd_left(c) < 1)
        return -1;
    uint8_t t = uint8_t(rd_u8(c));
    if ((t & 0x1F) == 0x1F)  // multi-byte tag number
        return -1;
    if (rd_left(c) < 1)
        return -1;
    uint64_t n = rd_u8(c);
    if (n >= 0x80) {
        uint64_t k = n & 0x7F;  // 0x80 itself reads as length 0
        if (k > 4 || rd_left(c) < k)
            return -1;
        n = 0;
        for (uint64_t i = 0; i < k; i++)
            n = n << 8 | rd_u8(c);
    }
    if (n > rd_left(c))
        return -1;
    *tag = t;
    *len = n;
    return 0;
}

// Short form below 128, else 0x80 | count and the big-endian bytes. The
// server's tokens stay below 65536 (at most 82 hi lo); longer lengths still
// get a correct encoding rather than a truncated one.
void der_len(tb1s_buf *b, uint64_t len)
{
    uint64_t n = der_size(len) - 1;
    if (n == 0) {
        tb1s_buf_byte(b, int(len));
        return;
    }
    tb1s_buf_byte(b, int(0x80 | n));
    for (uint64_t i = n; i-- > 0;)
        tb1s_buf_byte(b, int(uint8_t(len >> (8 * i))));
}

int tb1s_spnego_init(const uint8_t *blob, uint64_t blob_len, const uint8_t **tok, uint64_t *tok_len,
                     int32_t *raw)
{
    *tok = nullptr;
    *tok_len = 0;
    *raw = 0;
    if (!blob || blob_len < 2)
        return -1;
    if (blob_len >= sizeof TB1S_NTLMSSP_SIG && std::memcmp(blob, TB1S_NTLMSSP_SIG, sizeof TB1S_NTLMSSP_SIG) == 0) {
        *tok = blob;
        *tok_len = blob_len;
        *raw = 1;
        return 0;
    }
    if (blob[0] == 0x60)
        return take_init(blob, blob_len, tok, tok_len, raw);
    if (blob[0] == 0xA1)
        return take_resp(blob, blob_len, tok, tok_len);
    return -1;
}

int tb1s_spnego_init_tok(const uint8_t *m, uint64_t m_len, tb1s_buf *b)
{
    neg_token_init(b, m, m_len, true);
    return 0;
}

int tb1s_spnego_init_tok_nomect(tb1s_buf *b)
{
    neg_token_init(b, nullptr, 0, false);
    return 0;
}

int tb1s_spnego_resp(const uint8_t *m, uint64_t m_len, tb1s_buf *b)
{
    neg_token_resp(b, k_state_incomplete, m, m_len, true);
    return 0;
}

int tb1s_spnego_done(tb1s_buf *b)
{
    neg_token_resp(b, k_state_completed, nullptr, 0, false);
    return 0;
}

}  // namespace tb1s
