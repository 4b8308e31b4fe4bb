// SESSION_SETUP_ANDX: logon with NTLMSSP (bare or inside SPNEGO, two legs),
// with the LMv2 and NTLMv2 responses of the older 13-word form, or as guest.
// Failures are counted per connection; at max_login_failures the connection
// ends after the failure reply.
#include <cstring>

#include "cfg/stats.h"
#include "crypto/crypto.h"
#include "ntlm/ntlmssp.h"
#include "ntlm/spnego.h"
#include "sess/handlers.h"

namespace tb1s {

namespace {

// Request layout, counted from the WordCount byte.
constexpr uint64_t k_off_max_buffer = 5;
constexpr uint64_t k_off_blob_len = 15;     // 12 words: SecurityBlobLength
constexpr uint64_t k_off_lm_len = 15;       // 13 words: case-insensitive password length
constexpr uint64_t k_off_nt_len = 17;       // 13 words: case-sensitive password length
constexpr uint64_t k_off_ext_bc = 25;       // 12 words: ByteCount
constexpr uint64_t k_ext_data = 27;         // 12 words: first byte of the blob
constexpr uint64_t k_ext_min = 29;          // 12 words: the smallest body served
constexpr uint64_t k_nonext_data = 29;      // 13 words: first byte of the LMv2 response

constexpr int32_t k_max_users = 256;
constexpr uint64_t k_name_area = 129;
constexpr uint64_t k_password_area = 257;
constexpr uint64_t k_lmv2_len = 24;

constexpr uint32_t k_action_guest = 0x0001;

// NativeOS, NativeLanMan and PrimaryDomain, 8-bit, each with its NUL. These
// are fixed texts of the reply, not the library's version: a new release
// does not change them.
constexpr char k_texts[] = "Windows 6.1\0Talvern Beacon 1.0.1\0WORKGROUP";
constexpr uint64_t k_texts_len = sizeof k_texts;  // 43, the final NUL included
static_assert(k_texts_len == 43);


// The reply of a short answer: the AndX block, an Action word and a
// ByteCount of 0 (three parameter words).
void short_reply(tb1s_reply *rep, uint32_t action)
{
    rep->wc = 3;
    w32(&rep->buf, 0x000000FF);
    w16(&rep->buf, action);
    w16(&rep->buf, 0);  // ByteCount
}

void refuse_logged_on(tb1s_session *s, tb1s_reply *rep)
{
    rep_error(s, rep, NT_STATUS_REQUEST_NOT_ACCEPTED, TB1S_DOS_SRV_REFUSED);
    short_reply(rep, 0);
}

// A client that sets the signature flag in its logon request wants signed
// replies from then on (rpcclient insists on them): a user logon turns
// signing on for it even while the option `signing` is only "enabled".
// Guests have no key to sign with.
bool wants_signing(const tb1s_session *s) { return (s->flags2 & TB1S_FLAGS2_SIGNED) != 0; }

void assign_uid(tb1s_session *s)
{
    if (s->uid == 0)
        s->uid = new_uid(s);
}

// Appends the CHALLENGE_MESSAGE of this connection to b; wrapped in a
// negTokenResp unless raw. false when it could not be built.
bool challenge_token(tb1s_session *s, int32_t raw, tb1s_buf *b)
{
    tb1s_buf chal{};
    int rc = tb1s_ntlm_type2(s->opts.server_name, s->challenge, auth_now(s), &chal);
    if (rc == 0 && !chal.oom) {
        if (raw)
            tb1s_buf_put(b, chal.data, chal.len);
        else
            tb1s_spnego_resp(chal.data, chal.len, b);
    }
    tb1s_buf_free(&chal);
    return rc == 0 && !b->oom && b->len > 0;
}

// One account of the world, read into areas that are wiped when the
// record goes.
struct account {
    char name[k_name_area];
    char password[k_password_area];
    account() = default;
    account(const account &) = delete;
    account &operator=(const account &) = delete;
    ~account() { tb1s_wipe(password, sizeof password); }
};

// Reads account idx: false at the end of the list (no account there, or an
// empty name).
bool account_at(const tb1s_session *s, int32_t idx, account *a)
{
    a->name[0] = 0;
    return s->ctx->account(s->ctx->user, idx, a->name, sizeof a->name, a->password, sizeof a->password) == 0 &&
           a->name[0] != 0;
}

// A verifier's findings, with the session key wiped when they go. Before
// any verification they say why none could succeed.
struct findings : tb1s_ntlm_result {
    findings() : tb1s_ntlm_result{} { why = "no account is configured"; }
    findings(const findings &) = delete;
    findings &operator=(const findings &) = delete;
    ~findings() { tb1s_wipe(session_key, sizeof session_key); }
};

tb1s_ntlm_check check_of(const tb1s_session *s, bool guest_allowed)
{
    return tb1s_ntlm_check{s->challenge, s->opts.server_name, auth_now(s), s->opts.ntlm_timecheck,
                           guest_allowed ? 1 : 0};
}

void logon_event(const tb1s_session *s, bool ok, const char *user, int32_t guest)
{
    sess_event(s, tb1s_event{.kind = ok ? tb1s_event_kind::logon_ok : tb1s_event_kind::logon_failed,
                             .user = user,
                             .guest = guest});
}

// A logon refused by a verifier: the reason goes to the trace, the failure
// to the client.
void refuse(tb1s_session *s, tb1s_reply *rep, uint32_t nt, uint32_t dos, const findings &f)
{
    tb1s_trace("[logon] refused: %s\n", f.why);
    session_fail(s, rep, nt, dos, f.user);
}

// The logon decision for an AUTHENTICATE_MESSAGE.
void authenticate(tb1s_session *s, tb1s_reply *rep, const uint8_t *tok, uint64_t n, int32_t raw)
{
    findings f;
    if (sess_guest_allowed(s)) {
        // Checked against the empty account only to refuse malformed
        // messages; whatever it proves, the client is a guest.
        tb1s_ntlm_check chk = check_of(s, true);
        if (tb1s_ntlm_type3(tok, n, &chk, "", "", &f) < 0) {
            refuse(s, rep, NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID, f);
            return;
        }
        std::memcpy(s->sign_key, f.session_key, sizeof f.session_key);
        session_ok(s, rep, 1, 0, raw, nullptr);
        logon_event(s, true, f.user, 1);
        return;
    }

    // Only a challenge this connection issued can prove anything: without
    // one the client would answer a challenge anyone can know (all zero).
    if (!s->have_challenge) {
        tb1s_trace("[logon] refused: no NEGOTIATE issued a challenge\n");
        session_fail(s, rep, NT_STATUS_LOGON_FAILURE, TB1S_DOS_SRV_REFUSED);
        return;
    }
    tb1s_ntlm_check chk = check_of(s, false);
    for (int32_t i = 0; i < k_max_users; i++) {
        account a;
        if (!account_at(s, i, &a))
            break;
        int v = tb1s_ntlm_type3(tok, n, &chk, a.name, a.password, &f);
        if (v < 0) {
            refuse(s, rep, NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID, f);
            return;
        }
        if (v == 0) {
            if (f.guest) {
                // An anonymous message, and guests are not allowed here.
                tb1s_trace("[logon] refused: anonymous, and guests are not allowed\n");
                session_fail(s, rep, NT_STATUS_LOGON_FAILURE, TB1S_DOS_SRV_REFUSED, "", 1);
                return;
            }
            std::memcpy(s->sign_key, f.session_key, sizeof f.session_key);
            session_ok(s, rep, 0, 0, raw, nullptr);
            logon_event(s, true, a.name, 0);
            return;
        }
    }
    refuse(s, rep, NT_STATUS_LOGON_FAILURE, TB1S_DOS_SRV_REFUSED, f);
}

// The extended-security form: the security blob carries NTLMSSP, bare or
// inside SPNEGO.
void extended(tb1s_session *s, tb1s_reply *rep, const uint8_t *body, uint64_t n)
{
    if (n < k_ext_min) {
        session_fail(s, rep, NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID);
        return;
    }
    // ByteCount, when plausible, covers the blob and the texts after it;
    // the SPNEGO reader stops at its own lengths.
    uint64_t bc = ld16le(body + k_off_ext_bc);
    uint64_t blob_len = bc != 0 && bc <= n ? bc : ld16le(body + k_off_blob_len);
    if (n - k_ext_data < blob_len) {
        session_fail(s, rep, NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID);
        return;
    }
    if (s->logged_on) {
        refuse_logged_on(s, rep);
        return;
    }
    const uint8_t *blob = body + k_ext_data;
    const uint8_t *tok = nullptr;
    uint64_t tok_len = 0;
    int32_t raw = 0;
    if (tb1s_spnego_init(blob, blob_len, &tok, &tok_len, &raw) != 0) {
        tb1s_trace("[logon] refused: a %zu-byte security blob without SPNEGO or NTLMSSP\n", size_t(blob_len));
        session_fail(s, rep, NT_STATUS_LOGON_FAILURE, TB1S_DOS_SRV_REFUSED);
        return;
    }

    uint32_t type = 0;
    if (tok && tok_len > 0) {
        if (tok_len < 12 || std::memcmp(tok, TB1S_NTLMSSP_SIG, sizeof TB1S_NTLMSSP_SIG) != 0) {
            session_fail(s, rep, NT_STATUS_LOGON_FAILURE, TB1S_DOS_SRV_REFUSED);
            return;
        }
        type = ld32le(tok + 8);
        if (type == TB1S_NTLM_AUTHENTICATE) {
            authenticate(s, rep, tok, tok_len, raw);
            return;
        }
        if (type != TB1S_NTLM_NEGOTIATE) {
            session_fail(s, rep, NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID);
            return;
        }
    }

    // A challenge leg: a NEGOTIATE_MESSAGE, or a blob without a token (whose
    // answer is always wrapped).
    tb1s_buf out{};
    if (!challenge_token(s, type == TB1S_NTLM_NEGOTIATE ? raw : 0, &out)) {
        tb1s_buf_free(&out);
        rep_error(s, rep, NT_STATUS_NOT_SUPPORTED, TB1S_DOS_SRV_ERROR);
        return;
    }
    session_ok(s, rep, 0, 1, raw, &out);
    tb1s_buf_free(&out);
}

// The AccountName of the 13-word form, to name the client in a failed
// logon: the text after the two responses (a Unicode one starts at an even
// offset of the message) up to its NUL, at most 128 characters; "" when it
// cannot be read.
void account_name(const tb1s_session *s, const uint8_t *body, uint64_t n, uint64_t at, char *out, uint64_t size)
{
    constexpr uint64_t k_header = 32;  // body starts after the SMB header
    constexpr uint64_t k_scan = 256;
    out[0] = 0;
    if (s->unicode && (k_header + at) % 2 != 0)
        at++;
    if (at >= n)
        return;
    uint64_t end = at;
    uint64_t limit = n - at > k_scan ? at + k_scan : n;
    if (s->unicode) {
        while (end + 1 < limit && (body[end] | body[end + 1]) != 0)
            end += 2;
    } else {
        while (end < limit && body[end] != 0)
            end++;
    }
    char name[TB1S_NAME_MAX];
    if (name_to_utf8(s, body + at, end - at, name) == 0)
        tb1s_strlcpy(out, name, size);
}

// The 13-word form: an LMv2 and an NTLMv2 response, or none (anonymous).
void non_extended(tb1s_session *s, tb1s_reply *rep, const uint8_t *body, uint64_t n)
{
    uint64_t lm_len = n >= k_off_lm_len + 2 ? ld16le(body + k_off_lm_len) : 0;
    uint64_t nt_len = n >= k_off_nt_len + 2 ? ld16le(body + k_off_nt_len) : 0;
    if (n < k_nonext_data + lm_len + nt_len) {
        session_fail(s, rep, NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID);
        return;
    }
    if (s->logged_on) {
        refuse_logged_on(s, rep);
        return;
    }
    if (lm_len == 0 && nt_len == 0) {
        sess_refresh_opts(s);
        if (!sess_guest_allowed(s)) {
            session_fail(s, rep, NT_STATUS_LOGON_FAILURE, TB1S_DOS_SRV_REFUSED, "", 1);
            return;
        }
        s->logged_on = 1;
        s->guest = 1;
        sess_stat(s, STAT_GUEST_SESSIONS, 1);
        assign_uid(s);
        rep_status(rep, NT_STATUS_SUCCESS);
        short_reply(rep, k_action_guest);
        logon_event(s, true, "", 1);
        return;
    }
    if (lm_len != k_lmv2_len || nt_len < 24) {
        session_fail(s, rep, NT_STATUS_LOGON_FAILURE, TB1S_DOS_SRV_REFUSED);
        return;
    }
    if (!s->have_challenge) {
        tb1s_trace("[logon] refused: no NEGOTIATE issued a challenge\n");
        session_fail(s, rep, NT_STATUS_LOGON_FAILURE, TB1S_DOS_SRV_REFUSED);
        return;
    }

    const uint8_t *lm = body + k_nonext_data;
    const uint8_t *nt = lm + lm_len;
    tb1s_ntlm_check chk = check_of(s, false);
    findings f;
    for (int32_t i = 0; i < k_max_users; i++) {
        account a;
        if (!account_at(s, i, &a))
            break;
        int v = tb1s_ntlm_nonext(lm, lm_len, nt, nt_len, &chk, a.name, a.password, &f);
        if (v < 0)
            break;
        if (v == 0) {
            std::memcpy(s->sign_key, f.session_key, sizeof f.session_key);
            // This form signs with the key and the NT response; a response
            // too long to keep leaves signing to the `signing` option.
            bool keep = nt_len <= TB1S_SIGN_RESP_MAX;
            s->sign_resp_len = keep ? uint32_t(nt_len) : 0;
            if (keep)
                std::memcpy(s->sign_resp, nt, nt_len);
            sess_refresh_opts(s);
            s->logged_on = 1;
            s->guest = 0;
            s->signing = s->opts.signing == 1 || (keep && wants_signing(s)) ? 1 : 0;
            sess_stat(s, STAT_SESSIONS, 1);
            assign_uid(s);
            rep_status(rep, NT_STATUS_SUCCESS);
            short_reply(rep, 0);
            logon_event(s, true, a.name, 0);
            return;
        }
    }
    account_name(s, body, n, k_nonext_data + lm_len + nt_len, f.user, sizeof f.user);
    refuse(s, rep, NT_STATUS_LOGON_FAILURE, TB1S_DOS_SRV_REFUSED, f);
}

}  // namespace

void session_ok(tb1s_session *s, tb1s_reply *rep, int32_t guest, int32_t more, int32_t raw, const tb1s_buf *tok)
{
    sess_refresh_opts(s);
    if (more) {
        // Sent in NT form whatever the request asked for: there is no DOS
        // pair for "go on".
        rep_status(rep, NT_STATUS_MORE_PROCESSING_REQUIRED);
        assign_uid(s);
    } else {
        // No UID here: a client that takes the challenge from the NEGOTIATE
        // response and never had a challenge leg stays at UID 0.
        s->guest = guest;
        s->logged_on = 1;
        s->sign_resp_len = 0;
        s->signing = s->opts.signing == 1 || (!guest && wants_signing(s)) ? 1 : 0;
        sess_stat(s, guest ? STAT_GUEST_SESSIONS : STAT_SESSIONS, 1);
        if (s->opts.signing == 1)
            sess_stat(s, STAT_SIGN_REQUIRED_SESSIONS, 1);
        rep_status(rep, NT_STATUS_SUCCESS);
    }

    tb1s_buf blob{};
    if (more) {
        if (tok && tok->len > 0)
            tb1s_buf_put(&blob, tok->data, tok->len);
    } else if (!raw) {
        tb1s_spnego_done(&blob);
    }
    // The texts follow the blob in both forms: clients that send bare
    // NTLMSSP read them as well.
    uint64_t texts = k_texts_len;

    tb1s_buf *b = &rep->buf;
    rep->wc = 4;
    w32(b, 0x000000FF);  // no further command, reserved, offset 0
    w16(b, guest ? k_action_guest : 0);
    w16(b, uint32_t(blob.len));
    w16(b, uint32_t(blob.len + texts));
    tb1s_buf_put(b, blob.data, blob.len);
    tb1s_buf_put(b, k_texts, texts);
    tb1s_buf_free(&blob);
}

void session_fail(tb1s_session *s, tb1s_reply *rep, uint32_t nt, uint32_t dos, const char *user, int32_t guest)
{
    sess_stat(s, STAT_LOGON_FAILED, 1);
    logon_event(s, false, user, guest);
    rep_error(s, rep, nt, dos);
    short_reply(rep, 0);
    if (++s->logon_failures >= s->opts.max_login_failures)
        s->stop = 1;
}

void cmd_session_setup(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep)
{
    const uint8_t *body = req->data;
    uint64_t n = req->len;
    uint32_t wc = n > 0 ? body[0] : 0;
    if (n == 0 || (wc != 12 && wc != 13)) {
        session_fail(s, rep, NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID);
        return;
    }
    s->ext_sec = wc == 12 ? 1 : 0;
    if (n >= k_off_max_buffer + 2)
        s->client_bufsize = ld16le(body + k_off_max_buffer);
    if (wc == 12)
        extended(s, rep, body, n);
    else
        non_extended(s, rep, body, n);
}

}  // namespace tb1s
