// The world a session runs in: everything the engine reads or reports
// besides the bytes of its connection. The network service builds one for
// real connections (from the library's options, accounts and counters, the
// system clocks and the operating system's random generator); the
// simulation and the tests build their own.
//
// Every callback may be called from any number of session threads at once
// and must be safe for that. A session never holds a lock of its own while
// it calls one.
#pragma once

#include <atomic>
#include <cstdint>

#include "cfg/opts.h"

namespace tb1s {

// What happened. Connections, logons and trees are reported once each.
enum class tb1s_event_kind : int32_t {
    conn_accepted,     // a connection is admitted and its session starts
    conn_refused,      // a connection is closed at once; `reason` says why
    logon_ok,          // a user or guest logon completed
    logon_failed,      // a logon was refused
    tree_ok,           // a tree connect reached a share
    tree_refused,      // a tree connect was refused
    smb2_turned_away,  // the client offered SMB2 and got the SMB2 answer and the end, or sent
                       // SMB2 messages, which are dropped (reported once per session)
    write_refused,     // a request that would change the disk was refused
    disconnect,        // the session has ended
};

enum class tb1s_refusal : int32_t {
    none,
    allow_list,  // the client's address is not in the allow-list
    full,        // max_clients connections are live, or max_clients_per_peer from this address
};

// One event, valid only during the call. It never carries a password, a
// hash, a key or any other secret. Fields that do not apply to the kind
// keep the values below.
struct tb1s_event {
    tb1s_event_kind kind = tb1s_event_kind::disconnect;
    uint64_t conn = 0;                       // the session's number (1, 2, ...); 0 for conn_refused
    const char *peer = "";                   // the client's address, printed
    tb1s_refusal reason = tb1s_refusal::none;  // conn_refused: why
    const char *user = "";                   // logon_*: the account, or the name the client gave; "" when none
    int32_t guest = 0;                       // logon_*: 1 for a guest or anonymous logon
    const char *share = "";                  // tree_*: the share name as the client asked for it;
                                             // write_refused: the share of the request's tree, "" when none
    const char *command = "";                // write_refused: the command's name ("WRITE_ANDX")
    const char *path = "";                   // write_refused by an open: the name as the client gave it
    uint64_t duration_ms = 0;                // disconnect: how long the session ran
    uint64_t bytes_sent = 0;                 // disconnect: the bytes of every SMB message sent
};

// The event sink. Called on the thread of the connection concerned, and for
// a refused connection on the acceptor thread (or the simulating thread),
// so it is called from many threads at once; it must return soon, and must
// not call back into the library's start or stop.
using tb1s_event_fn = void (*)(void *user, const tb1s_event *e);

struct tb1s_sess_ctx {
    void *user;  // passed to every callback below except `event`

    // Copies the current options. Read when a session starts and after
    // every message it serves, and where a decision needs the live value.
    void (*opts)(void *user, tb1s_opts *out);
    // Account number idx (from 0) into the areas, cut to their sizes: 0, or
    // 1 past the last account.
    int (*account)(void *user, int32_t idx, char *name, uint64_t name_size, char *password, uint64_t password_size);
    // Adds amount to the statistics counter idx (a tb1s_stat).
    void (*stat)(void *user, int32_t idx, int64_t amount);
    // Monotonic milliseconds from an arbitrary origin, and the wall clock in
    // Unix seconds.
    uint64_t (*now_ms)(void *user);
    int64_t (*unix_now)(void *user);
    // Fills out[0..n) with unpredictable bytes: 0, or -1 when no such bytes
    // could be had.
    int (*random)(void *user, uint8_t *out, uint32_t n);

    // Once set, every session of this world ends at its next wait; null for
    // a world that never stops.
    const std::atomic<int32_t> *stop;

    // The event sink and its own user pointer; null for no events.
    tb1s_event_fn event;
    void *event_user;
};

}  // namespace tb1s
