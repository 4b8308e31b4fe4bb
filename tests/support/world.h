// A session world of a test's own: its options, accounts, stop flag,
// random source and a record of the events, with the statistics going to
// the library's counters (so stat_watch sees them) and the system clocks.
// Nothing here touches the library's options or user table, so a test
// needs no restoring and runs the same in any order.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "cfg/opts.h"
#include "sess/ctx.h"

using namespace tb1s;

namespace tb1s_test {

// An event as recorded, its texts copied.
struct event_rec {
    tb1s_event_kind kind;
    std::string peer;
    tb1s_refusal reason;
    std::string user;
    int32_t guest;
    std::string share;
    std::string command;
    std::string path;
    uint64_t conn;
    uint64_t duration_ms;
    uint64_t bytes_sent;
};

struct test_world {
    tb1s_opts opts = tb1s_opts_defaults();
    std::vector<std::pair<std::string, std::string>> accounts;  // name, password
    std::atomic<int32_t> stop{0};
    // Fills the bytes: 0, or -1 for a failing generator. Unset: the
    // operating system's generator.
    std::function<int(uint8_t *, uint32_t)> random;
    bool record_events = true;  // false: the world has no event sink

    test_world() = default;
    test_world(const test_world &) = delete;
    test_world &operator=(const test_world &) = delete;

    // The context a session of this world runs with. Options and accounts
    // are read at each call, so changes reach sessions already running.
    tb1s_sess_ctx ctx();

    // Sets an option by the library's rules; a refused value ends the test
    // program with a message (it is a mistake in the test).
    void set(const char *key, const std::string &value);
    void user(const std::string &name, const std::string &password) { accounts.emplace_back(name, password); }

    // The events recorded so far (a copy: sessions may still add to them).
    std::vector<event_rec> events() const;
    std::vector<event_rec> events_of(tb1s_event_kind kind) const;

    mutable std::mutex lock;     // guards opts, accounts and recorded while sessions run
    std::vector<event_rec> recorded;
};

}  // namespace tb1s_test
