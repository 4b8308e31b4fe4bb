// NEGOTIATE: picks "NT LM 0.12", issues the connection's server challenge
// and answers in the extended-security form with the CHALLENGE_MESSAGE
// already inside the SPNEGO negTokenInit. A client that offers SMB2 gets a
// minimal SMB2 answer and is disconnected.
#include <cstring>

#include "cfg/stats.h"
#include "ntlm/ntlmssp.h"
#include "ntlm/spnego.h"
#include "sess/handlers.h"
#include "util/text.h"

namespace tb1s {

namespace {

constexpr uint8_t k_smb2_any[9] = {'S', 'M', 'B', ' ', '2', '.', '?', '?', '?'};
constexpr uint8_t k_smb2_002[9] = {'S', 'M', 'B', ' ', '2', '.', '0', '0', '2'};
constexpr char k_dialect[] = "NT LM 0.12";
constexpr uint64_t k_dialect_len = sizeof k_dialect - 1;
constexpr int32_t k_max_dialects = 32;   // dialects examined
constexpr uint64_t k_max_dialect = 64;   // longer strings are stepped over uncounted
constexpr uint8_t k_fmt_dialect = 0x02;  // buffer format of a dialect string

// User level, challenge-response passwords (never plaintext), signatures
// enabled; and required.
constexpr uint8_t k_secmode_enabled = 0x07;
constexpr uint8_t k_secmode_required = 0x0F;
// CAP_UNICODE | CAP_LARGE_FILES | CAP_NT_SMBS | CAP_STATUS32 |
// CAP_EXTENDED_SECURITY: 64-bit sizes and offsets, so files over 4 GiB read.
constexpr uint32_t k_capabilities = 0x8000005C;
constexpr uint32_t k_max_buffer = 65536;

constexpr uint32_t k_smb2_0210 = 0x0210;
constexpr uint32_t k_smb2_0202 = 0x0202;

// 1 when the 9 bytes of pat occur anywhere in body.
bool contains(const uint8_t *body, uint64_t n, const uint8_t (&pat)[9])
{
    for (uint64_t i = 0; i + sizeof pat <= n; i++) {
        if (std::memcmp(body + i, pat, sizeof pat) == 0)
            return true;
    }
    return false;
}

// The outcome of walking the dialect list.
struct dialects {
    int32_t count;  // dialects counted (at most 32)
    int32_t index;  // index of the last "NT LM 0.12" counted
    bool seen;
};

// Walks the dialect strings of the body: each starts after a 0x02 byte and
// runs to its NUL or to the end of the body; other bytes are stepped over.
// An empty string ends the list; strings over 64 bytes are not counted.
dialects walk(const uint8_t *body, uint64_t n)
{
    dialects d{0, 0, false};
    uint64_t pos = 0;
    while (n - pos >= 2 && d.count < k_max_dialects) {
        if (body[pos] != k_fmt_dialect) {
            pos++;
            continue;
        }
        uint64_t start = pos + 1;  // a byte follows: at least 2 remain
        const void *nul = std::memchr(body + start, 0, n - start);
        uint64_t end = nul ? uint64_t(static_cast<const uint8_t *>(nul) - body) : n;
        uint64_t len = end - start;
        if (len == 0)
            break;
        if (len <= k_max_dialect) {
            char text[k_max_dialect + 1];
            std::memcpy(text, body + start, len);
            text[len] = 0;
            if (len == k_dialect_len && tb1s_casecmp(text, k_dialect) == 0) {
                d.index = d.count;
                d.seen = true;
            }
            d.count++;
        }
        pos = end < n ? end + 1 : n;
    }
    return d;
}

// The server identifier: FNV-1a 64 of the server name. It is the same for
// every connection to one server name and says nothing the name does not.
uint64_t server_id(const tb1s_opts &o)
{
    const char *name = o.server_name;
    uint64_t n = 0;
    while (n < sizeof o.server_name - 1 && name[n])
        n++;
    return tb1s_fnv1a64(name, n, TB1S_FNV_BASIS);
}

// Issues the session's server challenge. With the system clock (option
// `clock` 0) it is 8 fresh bytes of the world's random source, so no one
// can know it before this reply. A fixed clock selects the reproducible
// mode of simulations and known-answer tests: the identifier XOR FNV-1a
// of the time continued from it, which anyone can compute. false when the
// random source failed; the session then has no challenge.
bool issue_challenge(tb1s_session *s, int64_t t)
{
    s->have_challenge = 0;
    if (s->opts.clock != 0) {
        uint8_t tb[8];
        st64le(tb, uint64_t(t));
        st64le(s->challenge, s->server_id ^ tb1s_fnv1a64(tb, sizeof tb, s->server_id));
    } else if (s->ctx->random(s->ctx->user, s->challenge, sizeof s->challenge) != 0) {
        std::memset(s->challenge, 0, sizeof s->challenge);
        return false;
    }
    s->have_challenge = 1;
    return true;
}

void put_guid(tb1s_buf *b, uint64_t id)
{
    w64(b, id);
    w64(b, id);
}

// Replaces the prepared SMB1 reply with the 202-byte SMB2 NEGOTIATE
// response; rep_end sends a message that is not SMB1 exactly as built.
void smb2_answer(tb1s_session *s, tb1s_reply *rep, int64_t t, uint32_t revision)
{
    s->server_id = server_id(s->opts);
    sess_stat(s, STAT_NEGOTIATE, 1);
    sess_event(s, tb1s_event{.kind = tb1s_event_kind::smb2_turned_away});

    tb1s_buf_free(&rep->buf);
    rep->buf = tb1s_buf{};
    tb1s_buf *b = &rep->buf;
    static constexpr uint8_t magic[4] = {0xFE, 'S', 'M', 'B'};
    tb1s_buf_put(b, magic, 4);
    w16(b, 64);  // StructureSize
    w16(b, 0);   // CreditCharge
    w32(b, 0);   // Status
    w16(b, 0);   // Command: NEGOTIATE
    w16(b, 1);   // CreditResponse
    w32(b, 1);   // Flags: server to redirector
    w32(b, 0);   // NextCommand
    w64(b, 0);   // MessageId
    w32(b, 0);   // Reserved
    w32(b, 0);   // TreeId
    w64(b, 0);   // SessionId
    w64(b, 0);   // Signature
    w64(b, 0);
    w16(b, 65);  // StructureSize
    w16(b, 1);   // SecurityMode: signing enabled
    w16(b, revision);
    w16(b, 0);   // NegotiateContextCount
    put_guid(b, s->server_id);
    w32(b, 0);   // Capabilities
    w32(b, k_max_buffer);  // MaxTransactSize
    w32(b, k_max_buffer);  // MaxReadSize
    w32(b, k_max_buffer);  // MaxWriteSize
    wtime(b, t);           // SystemTime
    w64(b, 0);             // ServerStartTime
    w16(b, 128);           // SecurityBufferOffset
    w16(b, 74);            // SecurityBufferLength
    w32(b, 0);             // Reserved2
    tb1s_spnego_init_tok_nomect(b);
    s->stop = 1;
}

}  // namespace

void cmd_negotiate(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep)
{
    sess_refresh_opts(s);
    if (s->negotiated)
        sess_stat(s, STAT_PROTOCOL_ERRORS, 1);
    s->negotiated = 1;

    const uint8_t *body = req->data;
    uint64_t n = req->len;
    if (n < 2) {
        sess_stat(s, STAT_PROTOCOL_ERRORS, 1);
        s->stop = 1;
        return;
    }

    // An SMB2 offer wins over everything else, whether SMB1 is on or not.
    if (n > 8) {
        bool any = contains(body, n, k_smb2_any);
        if (any || contains(body, n, k_smb2_002)) {
            smb2_answer(s, rep, auth_now(s), any ? k_smb2_0210 : k_smb2_0202);
            return;
        }
    }

    dialects d = walk(body, n);
    if (!s->opts.allow_smb1) {
        tb1s_trace("[negotiate] refused: SMB1 is off\n");
        sess_stat(s, STAT_PROTOCOL_ERRORS, 1);
        rep_error(s, rep, NT_STATUS_REQUEST_NOT_SUPPORTED, TB1S_DOS_SRV_ERROR);
        return;
    }
    if (!d.seen) {
        tb1s_trace("[negotiate] refused: no NT LM 0.12 among %d dialects\n", int(d.count));
        sess_stat(s, STAT_PROTOCOL_ERRORS, 1);
        rep_error(s, rep, NT_STATUS_NOT_SUPPORTED, TB1S_DOS_SRV_ERROR);
        return;
    }

    int64_t t = auth_now(s);
    s->ext_sec = 1;
    s->server_id = server_id(s->opts);
    if (!issue_challenge(s, t)) {
        // No reply may carry a challenge that is not fresh, so there is no
        // logon on this connection: it ends after the refusal.
        tb1s_trace("[negotiate] refused: the random generator failed\n");
        rep_error(s, rep, NT_STATUS_INSUFFICIENT_RESOURCES);
        s->stop = 1;
        return;
    }

    // The blob: the CHALLENGE_MESSAGE (timestamped with the time read
    // again) as the mechToken of a negTokenInit.
    tb1s_buf chal{}, blob{};
    int rc = tb1s_ntlm_type2(s->opts.server_name, s->challenge, auth_now(s), &chal);
    if (rc == 0 && !chal.oom)
        tb1s_spnego_init_tok(chal.data, chal.len, &blob);
    tb1s_buf_free(&chal);
    if (rc != 0 || blob.oom || blob.len == 0) {
        tb1s_buf_free(&blob);
        rep_error(s, rep, NT_STATUS_NOT_SUPPORTED, TB1S_DOS_SRV_ERROR);
        return;
    }

    tb1s_buf *b = &rep->buf;
    rep->wc = 17;
    w16(b, uint32_t(d.index));  // DialectIndex
    tb1s_buf_byte(b, s->opts.signing == 1 ? k_secmode_required : k_secmode_enabled);
    w16(b, 2);                  // MaxMpxCount
    w16(b, 1);                  // MaxNumberVcs
    w32(b, k_max_buffer);       // MaxBufferSize
    w32(b, k_max_buffer);       // MaxRawSize
    w32(b, 0);                  // SessionKey
    w32(b, k_capabilities);
    wtime(b, t);                // SystemTime
    w16(b, 0);                  // ServerTimeZone
    tb1s_buf_byte(b, 0);        // ChallengeLength: the challenge travels in the blob
    w16(b, uint32_t(16 + blob.len));
    put_guid(b, s->server_id);
    tb1s_buf_put(b, blob.data, blob.len);
    tb1s_buf_free(&blob);
}

}  // namespace tb1s
