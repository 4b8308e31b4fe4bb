// The session runner: NetBIOS framing, admission, the frame loop and the
// completion of every reply (word count, identifiers, signature, sending).
#include "sess/runner.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "cfg/stats.h"
#include "crypto/crypto.h"
#include "sess/session.h"
#include "util/text.h"

namespace tb1s {

namespace {

constexpr uint64_t k_message_cap = 4194304;  // largest message whatever max_message says
constexpr uint64_t k_prelogon_cap = 65536;   // largest message before a logon completes
// A 64 KiB message and its NetBIOS header fit the buffer a session starts
// with; it grows for a longer message and returns to this size after it.
constexpr uint64_t k_rbuf_start = 65536 + 64;
constexpr int32_t k_read_timeout_ms = 100;   // granularity of the deadline and stop checks
constexpr int k_eof_limit = 3;               // the third end of stream in one read ends it
constexpr uint64_t k_no_packet = UINT64_MAX;  // no packet under way (message deadline off)
constexpr uint8_t k_smb1_magic[4] = {0xFF, 'S', 'M', 'B'};
constexpr uint8_t k_smb2_magic[4] = {0xFE, 'S', 'M', 'B'};

// Sessions started in this process, whatever their world: numbers the
// sessions in their events, so a host can tell apart two connections from
// one address.
std::atomic<uint64_t> g_sessions_started{0};

bool is_smb1(const uint8_t *p, uint64_t n) { return n >= 4 && std::memcmp(p, k_smb1_magic, 4) == 0; }

bool stopping(const tb1s_session *s) { return s->ctx->stop && s->ctx->stop->load(std::memory_order_relaxed); }

// Whether the session may go on waiting for its peer: false when the
// service is stopping, or a deadline has passed (counted in "timeouts"):
// nothing complete for idle_timeout_ms; no logon within logon_timeout_ms
// of the start (or of a logoff); a packet whose first byte came at
// `packet_since` (k_no_packet: none under way) not complete within
// io_timeout_ms.
bool may_go_on(tb1s_session *s, uint64_t packet_since)
{
    if (stopping(s))
        return false;
    uint64_t now = sess_now_ms(s);
    bool late = now - s->last_active > uint64_t(s->opts.idle_timeout_ms) ||
                (!s->logged_on && now - s->unauth_since > uint64_t(s->opts.logon_timeout_ms)) ||
                (packet_since != k_no_packet && now - packet_since > uint64_t(s->opts.io_timeout_ms));
    if (late) {
        sess_stat(s, STAT_TIMEOUTS, 1);
        return false;
    }
    return true;
}

uint64_t held(const tb1s_session *s) { return s->rend - s->rpos; }

// One read into the free end of the receive buffer, after moving what is
// held to its front when the tail is too short for `need` bytes in all.
// A grown buffer takes nothing beyond the `need` bytes of the current
// message, so that nothing is held after it and the buffer can shrink.
int32_t read_more(tb1s_session *s, uint64_t need)
{
    if (s->rpos > 0 && s->rcap - s->rpos < need) {
        std::memmove(s->rbuf, s->rbuf + s->rpos, held(s));
        s->rend -= s->rpos;
        s->rpos = 0;
    }
    uint64_t room = s->rcap - s->rend;
    if (s->rcap > k_rbuf_start && room > need - held(s))
        room = need - held(s);
    int32_t ask = room > INT32_MAX ? INT32_MAX : int32_t(room);
    int32_t r = s->transport->read(s->user, s->rbuf + s->rend, ask, k_read_timeout_ms);
    if (r > ask)
        return -1;  // a transport that claims more than it was given room for
    if (r > 0)
        s->rend += uint64_t(r);
    return r;
}

// Reads until the buffer holds `need` bytes of the current packet (the
// rule for its header and for its body alike). *since is the time of the
// packet's first byte, set here when it arrives. false when the session
// must end.
bool fill(tb1s_session *s, uint64_t need, uint64_t *since)
{
    int eofs = 0;
    while (held(s) < need) {
        int32_t r = read_more(s, need);
        if (r > 0) {
            if (*since == k_no_packet)
                *since = sess_now_ms(s);
        } else if (r == 0) {
            if (++eofs >= k_eof_limit)
                return false;
        } else if (r != -2) {
            return false;
        }
        // A peer that trickles bytes is held to the deadlines as one that
        // sends nothing, and a stop is seen after every read.
        if (held(s) < need && !may_go_on(s, *since))
            return false;
    }
    return true;
}

// Discards the called and calling names of a session request (`len`
// bytes after its header, which is consumed) and answers it with a
// positive session response. false when the session must end.
bool session_request(tb1s_session *s, uint32_t len, uint64_t since)
{
    while (len > 0) {
        if (held(s) == 0) {
            s->rpos = s->rend = 0;
            int32_t r = read_more(s, len < s->rcap ? len : s->rcap);
            if ((r <= 0 && r != -2) || !may_go_on(s, since))  // the end of stream ends a drain at once
                return false;
        }
        uint64_t take = held(s) < len ? held(s) : len;
        s->rpos += take;
        len -= uint32_t(take);
    }
    static constexpr uint8_t ok[4] = {0x82, 0, 0, 0};
    if (s->transport->write(s->user, nullptr, 0, ok, 4) != 0)
        return false;
    s->last_active = sess_now_ms(s);
    return true;
}

// Makes room for a packet of `need` bytes, keeping what is held.
bool grow(tb1s_session *s, uint64_t need)
{
    auto *p = static_cast<uint8_t *>(std::malloc(need + 16));
    if (!p)
        return false;
    std::memcpy(p, s->rbuf + s->rpos, held(s));
    std::free(s->rbuf);
    s->rend = held(s);
    s->rpos = 0;
    s->rbuf = p;
    s->rcap = need + 16;
    return true;
}

// Returns a grown buffer to its start size once it holds no more than that
// (after a long message it holds nothing). Kept as it is if memory is short.
void shrink(tb1s_session *s)
{
    if (s->rcap <= k_rbuf_start || held(s) > k_rbuf_start)
        return;
    auto *p = static_cast<uint8_t *>(std::malloc(k_rbuf_start));
    if (!p)
        return;
    std::memcpy(p, s->rbuf + s->rpos, held(s));
    std::free(s->rbuf);
    s->rend = held(s);
    s->rpos = 0;
    s->rbuf = p;
    s->rcap = k_rbuf_start;
}

void capture(tb1s_session *s, const uint8_t *h)
{
    s->command = h[4];
    s->flags = h[9];
    s->flags2 = ld16le(h + 10);
    s->pid_high = ld16le(h + 12);
    s->tid = ld16le(h + 24);
    s->pid = ld16le(h + 26);
    s->mid = ld16le(h + 30);
    s->unicode = (s->flags2 & TB1S_FLAGS2_UNICODE) != 0;
}

// Signs a finished SMB1 reply as SMB1 clients verify it: FLAGS2 gains
// 0x0004, the signature field holds the sequence number and four zero
// bytes, and the first 8 bytes of MD5 over the signing key, the NT response
// of a 13-word logon (if any) and the message replace them. The digest runs
// over the pieces in place, so a 64 KiB read reply is not copied for it.
void sign_reply(tb1s_session *s, tb1s_buf *b, uint32_t seq)
{
    if (b->len < 22)
        return;
    st16le(b->data + 10, ld16le(b->data + 10) | TB1S_FLAGS2_SIGNED);
    st32le(b->data + 14, seq);
    st32le(b->data + 18, 0);
    tb1s_md5_ctx c;
    tb1s_md5_init(&c);
    tb1s_md5_update(&c, s->sign_key, 16);
    tb1s_md5_update(&c, s->sign_resp, s->sign_resp_len);
    tb1s_md5_update(&c, b->data, b->len);
    uint8_t digest[16];
    tb1s_md5_final(&c, digest);  // wipes the context, which held the key
    std::memcpy(b->data + 14, digest, 8);
}

// Every SMB1 message is its header, WordCount, the words, ByteCount and the
// bytes; this is the one place that makes a reply so. A reply with nothing
// after its header is the error form, WordCount 0 and ByteCount 0. A
// WordCount left to compute counts the words the handler appended. A reply
// that ends right after its words (a handler that has no bytes to send)
// gets its ByteCount 0 here; one with bytes carries the ByteCount its
// handler wrote.
void complete_counts(tb1s_reply *rep)
{
    tb1s_buf *b = &rep->buf;
    if (b->len < 33)
        return;
    if (b->len == 33)
        rep->wc = 0;  // also a reply cut back to its header after a failure
    else if (rep->wc < 0)
        rep->wc = int32_t((b->len - 33) / 2);
    if (b->len == 33 + 2 * uint64_t(rep->wc))
        w16(b, 0);
    b->data[32] = uint8_t(rep->wc);
}

// The frame loop of a session whose record is ready. Returns at its end.
// One read takes whatever the peer has sent, up to the buffer, and packets
// are taken out of the buffer; a read happens only when the packet at hand
// is incomplete.
void frame_loop(tb1s_session *s)
{
    for (;;) {
        // The stop flag and the deadlines are checked at every packet, so
        // neither a busy peer nor a stream of keep-alives outlasts them.
        if (!may_go_on(s, k_no_packet))
            return;
        uint64_t since = held(s) > 0 ? sess_now_ms(s) : k_no_packet;
        if (!fill(s, 4, &since))
            return;
        const uint8_t *h = s->rbuf + s->rpos;
        uint8_t type = h[0];
        uint32_t len = uint32_t(h[1]) << 16 | uint32_t(h[2]) << 8 | h[3];
        if (type == 0x81) {
            s->rpos += 4;
            if (!session_request(s, len, since))
                return;
            continue;
        }
        if ((type == 0x00 || type == 0x85) && len == 0) {  // keep-alive, of either kind
            s->rpos += 4;
            s->last_active = sess_now_ms(s);
            continue;
        }
        uint64_t limit = s->opts.max_message < k_message_cap ? s->opts.max_message : k_message_cap;
        if (!s->logged_on && limit > k_prelogon_cap)
            limit = k_prelogon_cap;
        if (type != 0x00 || len > limit) {
            sess_stat(s, STAT_PROTOCOL_ERRORS, 1);
            return;
        }
        uint64_t need = 4 + uint64_t(len);
        if (s->rcap < need && !grow(s, need))
            return;
        if (!fill(s, need, &since))
            return;
        s->last_active = sess_now_ms(s);
        if (!may_go_on(s, k_no_packet))  // a stopping service serves no further message
            return;
        bool was_logged_on = s->logged_on != 0;
        sess_serve(s, s->rbuf + s->rpos + 4, len);
        s->rpos += need;
        if (s->rpos == s->rend)
            s->rpos = s->rend = 0;
        shrink(s);
        if (was_logged_on && !s->logged_on)
            s->unauth_since = sess_now_ms(s);  // a logoff starts the logon deadline again
        sess_refresh_opts(s);
        if (s->stop)
            return;
    }
}

}  // namespace

void rep_status(tb1s_reply *rep, uint32_t status)
{
    if (rep->buf.len >= 32)
        st32le(rep->buf.data + 5, status);
}

void rep_mirror_volatile(tb1s_session *s, tb1s_reply *rep)
{
    if (rep->buf.len < 32)
        return;
    uint8_t *h = rep->buf.data;
    st16le(h + 24, s->tid);
    st16le(h + 26, s->pid);
    st16le(h + 28, s->uid);
    st16le(h + 30, s->mid);
}

void rep_begin(tb1s_session *s, tb1s_reply *rep)
{
    uint8_t h[33] = {0xFF, 'S', 'M', 'B'};
    h[4] = s->command;
    h[9] = uint8_t(0x90 | (s->flags & 0x08));
    uint32_t flags2 = (s->flags2 & TB1S_FLAGS2_NTSTATUS) | 0x0801;
    if (s->ext_sec)
        flags2 |= 0x0002;
    st16le(h + 10, flags2);
    st16le(h + 12, s->pid_high);
    rep->buf = tb1s_buf{};
    rep->wc = -1;
    rep->unicode = 0;
    tb1s_buf_put(&rep->buf, h, sizeof h);
    rep_mirror_volatile(s, rep);
}

void rep_end(tb1s_session *s, tb1s_reply *rep, int32_t sign)
{
    tb1s_buf *b = &rep->buf;
    if (is_smb1(b->data, b->len)) {
        complete_counts(rep);
        rep_mirror_volatile(s, rep);
        if (rep->unicode && b->len > 11)
            st16le(b->data + 10, ld16le(b->data + 10) | TB1S_FLAGS2_UNICODE);
        if (sign == 1 && s->logged_on && s->signing)
            sign_reply(s, b, s->reply_seq);
    }
    if (b->len > 0) {
        uint8_t nb[4] = {0x00, uint8_t(b->len >> 16), uint8_t(b->len >> 8), uint8_t(b->len)};
        const tb1s_transport *t = s->transport;
        // One write for the frame: the header need not travel alone.
        if (t->write(s->user, nb, 4, b->data, int32_t(b->len)) != 0) {
            s->stop = 1;
        } else {
            if (t->log)
                t->log(s->user, "<<", b->data, int32_t(b->len));
            s->bytes_sent += b->len;
            sess_stat(s, STAT_BYTES_SENT, int64_t(b->len));
        }
    }
    tb1s_buf_free(b);
}

void sess_serve(tb1s_session *s, const uint8_t *msg, uint64_t len)
{
    if (len <= 32 || !is_smb1(msg, len)) {
        sess_stat(s, STAT_PROTOCOL_ERRORS, 1);
        // A client set to SMB2 only opens with an SMB2 NEGOTIATE, which
        // gets no answer; the host hears of it at once, not when the
        // client gives up.
        if (!s->smb2_seen && len >= 4 && std::memcmp(msg, k_smb2_magic, 4) == 0) {
            s->smb2_seen = 1;
            sess_event(s, tb1s_event{.kind = tb1s_event_kind::smb2_turned_away});
        }
        return;
    }
    capture(s, msg);
    if (s->transport->log)
        s->transport->log(s->user, ">>", msg, int32_t(len));
    tb1s_reply rep;
    rep_begin(s, &rep);
    tb1s_rd req = rd_make(msg + 32, len - 32);
    // Once signing is active every request takes a sequence number for
    // itself and the next for its reply, as the client counts them. The
    // logon that turns signing on was request 0, so its reply is 1.
    bool active = s->signing && s->logged_on;
    if (active) {
        s->reply_seq = s->sign_seq + 1;
        s->sign_seq += 2;
    }
    dispatch(s, &req, &rep);
    if (!active && s->signing && s->logged_on) {
        s->reply_seq = 1;
        s->sign_seq = 2;
    }
    // Refusals are signed too: a client that counts on a signature rejects
    // any reply without one.
    rep_end(s, &rep, s->signing && s->logged_on ? 1 : 0);
}

int name_to_utf8(const tb1s_session *s, const uint8_t *p, uint64_t n, char *out)
{
    out[0] = 0;
    if (s->unicode) {
        if (n < 2)
            return 0;
        if (p[n - 1] == 0 && p[n - 2] == 0)
            n -= 2;
        return tb1s_utf16_to_utf8(p, n, out, TB1S_NAME_MAX) < 0 ? -1 : 0;
    }
    if (n > 0 && p[n - 1] == 0)
        n--;
    if (n > uint64_t(TB1S_NAME_MAX - 1))
        return -1;
    if (n > 0)
        std::memcpy(out, p, n);
    out[n] = 0;
    return 0;
}

int64_t auth_now(const tb1s_session *s) { return s->opts.clock != 0 ? s->opts.clock : s->ctx->unix_now(s->ctx->user); }

bool sess_guest_allowed(const tb1s_session *s)
{
    tb1s_opts o;
    s->ctx->opts(s->ctx->user, &o);
    char name[2], password[2];
    bool any = s->ctx->account(s->ctx->user, 0, name, sizeof name, password, sizeof password) == 0;
    tb1s_wipe(password, sizeof password);
    return tb1s_guest_rule(o.guest, any);
}

void sess_event(const tb1s_session *s, tb1s_event e)
{
    if (!s->ctx->event)
        return;
    e.conn = s->conn_id;
    e.peer = s->client_text;
    if (!e.user)
        e.user = "";
    if (!e.share)
        e.share = "";
    s->ctx->event(s->ctx->event_user, &e);
}

void sess_write_refused(tb1s_session *s, const char *path)
{
    const tb1s_tree *t = tree_find(s, s->tid);
    sess_event(s, tb1s_event{.kind = tb1s_event_kind::write_refused,
                             .share = t ? t->share : "",
                             .command = tb1s_cmd_name(s->command),
                             .path = path ? path : ""});
}

void tb1s_sess_run(const tb1s_sess_ctx *ctx, const tb1s_transport *t, const tb1s_ip *peer)
{
    auto *s = static_cast<tb1s_session *>(std::calloc(1, sizeof(tb1s_session)));
    if (!s)
        return;
    s->ctx = ctx;
    s->transport = t;
    s->user = t->user;
    s->client = *peer;
    tb1s_ip_format(peer, s->client_text, sizeof s->client_text);
    s->conn_id = g_sessions_started.fetch_add(1, std::memory_order_relaxed) + 1;
    s->rbuf = static_cast<uint8_t *>(std::malloc(k_rbuf_start));
    if (!s->rbuf) {
        std::free(s);
        return;
    }
    s->rcap = k_rbuf_start;
    sess_refresh_opts(s);
    s->started = sess_now_ms(s);
    s->last_active = s->started;
    s->unauth_since = s->started;
    sess_stat(s, STAT_CONNECTIONS, 1);
    sess_event(s, tb1s_event{.kind = tb1s_event_kind::conn_accepted});

    frame_loop(s);

    sess_stat(s, STAT_CONNECTIONS, -1);
    drop_all(s);
    sess_event(s, tb1s_event{.kind = tb1s_event_kind::disconnect,
                             .duration_ms = sess_now_ms(s) - s->started,
                             .bytes_sent = s->bytes_sent});
    std::free(s->rbuf);
    std::free(s);
}

}  // namespace tb1s
