// A scripted connection for driving the real session runner: the peer's
// bytes and read results in order, every write and log call captured.
#pragma once

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "sess/runner.h"
#include "sess/session.h"
#include "smb1.h"
#include "support.h"
#include "util/ip.h"
#include "world.h"

using namespace tb1s;

namespace tb1s_test {

// A scripted connection runs in the world given to it, or in one of its own.
struct conn {
    test_world own;
    test_world *world = &own;

    conn() = default;
    explicit conn(test_world &w) : world(&w) {}
    conn(const conn &) = delete;
    conn &operator=(const conn &) = delete;

    struct step {
        bytes data;          // bytes to deliver, or
        int32_t result = 0;  // a read result when data is empty
    };
    std::deque<step> steps;
    size_t chunk = 0;            // deliver at most this many bytes per read (0: no limit)
    int32_t at_end = 0;          // read result once the steps are used up
    int fail_write = -1;         // index of the write call that fails
    // What every successful write call sent: its head (a reply's NetBIOS
    // header) and its body as two entries, a write without a head as one.
    std::vector<bytes> writes;
    int write_calls = 0;
    std::vector<int32_t> asked;  // the maximum count of every read call
    std::vector<std::pair<std::string, bytes>> logs;
    std::function<void()> on_write;  // called after every write, its bytes in `writes` (may be empty)

    conn &feed(const bytes &b)
    {
        steps.push_back({b, 0});
        return *this;
    }
    conn &result(int32_t r)
    {
        steps.push_back({{}, r});
        return *this;
    }

    // Runs the session from a loopback client until the runner returns.
    void run()
    {
        tb1s_sess_ctx ctx = world->ctx();
        tb1s_transport t{this, write_cb, read_cb, log_cb};
        tb1s_ip ip{};
        ip.family = 4;
        ip.addr[0] = 127;
        ip.addr[3] = 1;
        tb1s_sess_run(&ctx, &t, &ip);
    }

    static int32_t read_cb(void *user, uint8_t *p, int32_t max, int32_t)
    {
        auto *c = static_cast<conn *>(user);
        c->asked.push_back(max);
        if (c->steps.empty()) {
            if (c->at_end == -2)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return c->at_end;
        }
        step &s = c->steps.front();
        if (s.data.empty()) {
            int32_t r = s.result;
            c->steps.pop_front();
            return r;
        }
        size_t n = s.data.size() < size_t(max) ? s.data.size() : size_t(max);
        if (c->chunk && n > c->chunk)
            n = c->chunk;
        std::memcpy(p, s.data.data(), n);
        s.data.erase(s.data.begin(), s.data.begin() + long(n));
        if (s.data.empty())
            c->steps.pop_front();
        return int32_t(n);
    }

    static int32_t write_cb(void *user, const uint8_t *head, int32_t head_n, const uint8_t *p, int32_t n)
    {
        auto *c = static_cast<conn *>(user);
        int32_t rc = 0;
        if (c->write_calls++ == c->fail_write) {
            rc = -1;
        } else {
            if (head_n > 0)
                c->writes.emplace_back(head, head + head_n);
            c->writes.emplace_back(p, p + n);
        }
        if (c->on_write)
            c->on_write();
        return rc;
    }

    static void log_cb(void *user, const char *dir, const uint8_t *p, int32_t n)
    {
        static_cast<conn *>(user)->logs.emplace_back(dir, bytes(p, p + n));
    }
};

// The SMB messages among the writes, taken apart (the 4-byte NetBIOS header
// written before each reply is not one, and is left out).
inline std::vector<smb1_reply> replies_of(const std::vector<bytes> &writes)
{
    std::vector<smb1_reply> out;
    for (const bytes &w : writes) {
        smb1_reply r;
        if (parse_reply(w, &r))
            out.push_back(r);
    }
    return out;
}

// A conversation with the real runner in which a request may depend on the
// reply before it: `next` sees every SMB message the server sends, as it is
// sent, and returns the next request frame, or nothing to send no more (the
// peer then closes after the frames already queued).
struct dialogue {
    conn c;
    std::vector<bytes> sent;                      // every message the server sent
    std::function<bytes(const bytes &)> next;     // may be empty

    dialogue() = default;
    explicit dialogue(test_world &w) : c(w) {}

    void run(const bytes &first)
    {
        c.feed(first);
        c.on_write = [this] {
            // Each reply is recorded as its 4-byte NetBIOS header and then the message.
            if (c.writes.size() % 2 != 0)
                return;
            sent.push_back(c.writes.back());
            if (next) {
                bytes frame = next(sent.back());
                if (!frame.empty())
                    c.feed(frame);
            }
        };
        c.run();
    }
};

// A session record served message by message, without the frame loop, so
// a test can set its fields directly (logon, signing, open files).
struct session_rig {
    conn c;
    tb1s_transport t{&c, conn::write_cb, conn::read_cb, conn::log_cb};
    tb1s_sess_ctx ctx;
    tb1s_session *s;

    session_rig() { init(); }
    explicit session_rig(test_world &w) : c(w) { init(); }
    void init()
    {
        ctx = c.world->ctx();
        s = static_cast<tb1s_session *>(std::calloc(1, sizeof(tb1s_session)));
        s->ctx = &ctx;
        s->transport = &t;
        s->user = &c;
        tb1s_strlcpy(s->client_text, "127.0.0.1", sizeof s->client_text);
        sess_refresh_opts(s);
    }
    ~session_rig()
    {
        drop_all(s);
        std::free(s);
    }
    session_rig(const session_rig &) = delete;
    session_rig &operator=(const session_rig &) = delete;

    // Serves one request; the reply it produced (cmd 0 and no bytes when
    // there was none).
    smb1_reply serve(const smb1_request &r)
    {
        size_t before = c.writes.size();
        bytes m = smb1_message(r);
        sess_serve(s, m.data(), m.size());
        smb1_reply rep;
        if (c.writes.size() == before + 2)
            parse_reply(c.writes.back(), &rep);
        return rep;
    }

    // Links a fresh open-file record at the head of the list, as an open does.
    tb1s_file *add_file(uint16_t fid)
    {
        auto *f = static_cast<tb1s_file *>(std::calloc(1, sizeof(tb1s_file)));
        f->fid = fid;
        f->next = s->files;
        s->files = f;
        s->nfiles++;
        return f;
    }
};

}  // namespace tb1s_test
