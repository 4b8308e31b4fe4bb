// Simulation: runs a scripted client conversation through the real session
// runner over an in-memory transport and returns a transcript of it.
#include "exports/simulate.h"

#include <cstdlib>
#include <cstring>

#include "cfg/allow.h"
#include "cfg/stats.h"
#include "exports/out.h"
#include "net/server.h"
#include "sess/runner.h"
#include "sess/status.h"
#include "util/buf.h"
#include "util/ip.h"
#include "util/text.h"

namespace tb1s {

namespace {

constexpr uint64_t k_line_max = 65535;
constexpr uint64_t k_raw_max = 16384;
constexpr uint64_t k_frame_max = 4194312;  // 4 MiB message and its NetBIOS header, with slack
constexpr uint64_t k_frame_min = 4;
constexpr uint64_t k_transcript_max = 2097152;

struct tb1s_sim {
    const uint8_t *data;  // the client byte stream
    uint64_t pos;         // bytes the runner has read
    uint64_t len;
    tb1s_buf out;         // the transcript
    int32_t truncated;    // the size limit was reached; nothing more is logged
    int64_t frames;       // replies logged
};

// Hands out the script's bytes; 0 once they are used up, never a timeout.
int32_t sim_read(void *user, uint8_t *p, int32_t max, int32_t)
{
    auto *c = static_cast<tb1s_sim *>(user);
    if (c->pos >= c->len || max <= 0)
        return 0;
    uint64_t n = c->len - c->pos;
    if (n > uint64_t(max))
        n = uint64_t(max);
    std::memcpy(p, c->data + c->pos, n);
    c->pos += n;
    return int32_t(n);
}

// Every write succeeds; the bytes are dropped (replies reach the log).
int32_t sim_write(void *, const uint8_t *, int32_t, const uint8_t *, int32_t) { return 0; }

// Appends a piece under the size rule: a piece that would take the
// transcript past its limit is replaced by the marker, and then nothing more.
void put(tb1s_sim *c, const void *p, uint64_t n)
{
    if (c->truncated)
        return;
    if (c->out.len + n > k_transcript_max) {
        tb1s_buf_str(&c->out, "[truncated]\n");
        c->truncated = 1;
        return;
    }
    tb1s_buf_put(&c->out, p, n);
}

void put_str(tb1s_sim *c, const char *s) { put(c, s, std::strlen(s)); }

void sim_log_frame(void *user, const char *dir, const uint8_t *p, int32_t n)
{
    auto *c = static_cast<tb1s_sim *>(user);
    if (n < 0)
        return;
    if (std::strcmp(dir, ">>") == 0) {
        char line[64];
        tb1s_snprintf(line, sizeof line, ">> %s\n", tb1s_frame_name(p, uint64_t(n)));
        put_str(c, line);
        return;
    }
    put_str(c, "<< ");
    tb1s_buf hex{};
    tb1s_hex_encode(p, uint64_t(n), &hex);
    if (hex.len > 0)
        put(c, hex.data, hex.len);
    tb1s_buf_free(&hex);
    put_str(c, "\n");
    c->frames++;
}

// Decoding areas for raw and frame lines, obtained when first needed.
struct areas {
    uint8_t *raw = nullptr;
    uint8_t *frame = nullptr;
    ~areas()
    {
        std::free(raw);
        std::free(frame);
    }
};

// Decodes one trimmed, non-comment line and appends its bytes to the
// stream. 0, or -1 with the message recorded.
int add_line(const char *line, uint64_t n, areas *a, tb1s_buf *stream)
{
    uint64_t count = 0;
    if (line[0] == '!') {
        if (!a->raw && !(a->raw = static_cast<uint8_t *>(std::malloc(k_raw_max)))) {
            tb1s_set_error("out of memory");
            return -1;
        }
        // Bad digits and more than k_raw_max bytes fail alike.
        if (tb1s_hex_decode(line + 1, n - 1, a->raw, k_raw_max, &count) != 0) {
            tb1s_set_error("simulate: bad !raw hex");
            return -1;
        }
        tb1s_buf_put(stream, a->raw, count);
        return 0;
    }
    if (!a->frame && !(a->frame = static_cast<uint8_t *>(std::malloc(k_frame_max)))) {
        tb1s_set_error("out of memory");
        return -1;
    }
    if (tb1s_hex_decode(line, n, a->frame, k_frame_max, &count) != 0 || count < k_frame_min) {
        tb1s_set_error("simulate: bad frame hex on a script line");
        return -1;
    }
    tb1s_buf_put(stream, a->frame, count);
    return 0;
}

// Builds the client byte stream from the script. 0, or -1 with the message
// recorded.
int build_stream(const char *script, tb1s_buf *stream)
{
    areas a;
    const char *p = script;
    for (;;) {
        const char *nl = std::strchr(p, '\n');
        uint64_t n = nl ? uint64_t(nl - p) : std::strlen(p);
        if (n > k_line_max) {
            tb1s_set_error("simulate: script line too long");
            return -1;
        }
        while (n > 0 && (p[n - 1] == '\r' || p[n - 1] == ' '))
            n--;
        if (n > 0 && p[0] != '#' && add_line(p, n, &a, stream) != 0)
            return -1;
        if (!nl)
            break;
        p = nl + 1;
    }
    if (stream->oom) {
        tb1s_set_error("out of memory");
        return -1;
    }
    return 0;
}

}  // namespace

const char *tb1s_simulate(const char *script, const char *peer)
{
    if (!script) {
        tb1s_set_error("simulate: NULL script");
        return nullptr;
    }
    if (!peer || !*peer)
        peer = "127.0.0.1";
    tb1s_ip ip;
    if (tb1s_ip_parse(peer, &ip) != 0) {
        tb1s_set_error("simulate: %.64s is not an IP address", peer);
        return nullptr;
    }
    // The library's world, less the service's stop flag: a simulation runs
    // to the end of its script. Its events reach the host like those of a
    // connection.
    tb1s_sess_ctx world;
    tb1s_net_world(&world);
    tb1s_sim c{};
    if (!tb1s_client_allowed(&ip)) {
        tb1s_stat_add(STAT_REFUSED_ALLOW, 1);
        char text[64];
        tb1s_ip_format(&ip, text, sizeof text);
        tb1s_event e{.kind = tb1s_event_kind::conn_refused, .peer = text, .reason = tb1s_refusal::allow_list};
        world.event(world.event_user, &e);
        tb1s_buf_str(&c.out, "refused: client address not allowed\n");
        if (c.out.oom) {
            tb1s_buf_free(&c.out);
            tb1s_set_error("out of memory");
            return nullptr;
        }
        return tb1s_out_install(&c.out);
    }

    tb1s_buf stream{};
    if (build_stream(script, &stream) != 0) {
        tb1s_buf_free(&stream);
        return nullptr;
    }
    c.data = stream.data;
    c.len = stream.len;
    tb1s_transport t{&c, sim_write, sim_read, sim_log_frame};
    tb1s_sess_run(&world, &t, &ip);
    tb1s_buf_free(&stream);

    tb1s_buf_printf(&c.out, "RESULT ok (%lld frames)\n", (long long)c.frames);
    if (c.out.oom) {
        tb1s_buf_free(&c.out);
        tb1s_set_error("out of memory");
        return nullptr;
    }
    return tb1s_out_install(&c.out);
}

}  // namespace tb1s
