// The session record of one connection, the reply record every command
// handler fills, and the small helpers all handlers share.
//
// A session belongs to its connection's thread from start to end; nothing in
// it is shared or locked. Handlers read the request through a tb1s_rd placed
// after the 32-byte SMB header (its first byte is the WordCount), append their
// words, ByteCount and bytes to the reply and return; they never send.
#pragma once

#include <cstdint>

#include "cfg/opts.h"
#include "cfg/shares.h"
#include "fs/fs.h"
#include "sess/ctx.h"
#include "sess/runner.h"
#include "sess/status.h"
#include "util/buf.h"
#include "util/bytes.h"
#include "util/ip.h"
#include "vfs/vfs.h"

namespace tb1s {

inline constexpr int32_t TB1S_MAX_TREES = 256;
inline constexpr int32_t TB1S_MAX_SEARCHES = 256;
// Bytes the listings of all searches of one session may hold together (see
// tb1s_vfs_bytes), so that a client that never closes its searches cannot
// make the server hold more: 32 MiB, about 300,000 entries with short names.
inline constexpr uint64_t TB1S_SEARCH_BUDGET = uint64_t(32) << 20;
inline constexpr int32_t TB1S_NAME_MAX = 2056;  // destination size of name_to_utf8
inline constexpr uint32_t TB1S_FLAGS2_NTSTATUS = 0x4000;
inline constexpr uint32_t TB1S_FLAGS2_UNICODE = 0x8000;
inline constexpr uint32_t TB1S_FLAGS2_SIGNED = 0x0004;  // the message carries a signature
inline constexpr uint32_t TB1S_SIGN_RESP_MAX = 1024;     // longest NT response kept for signing

// One connected tree. An entry is free while `in_use` is 0; TREE_DISCONNECT
// clears only that flag.
struct tb1s_tree {
    int32_t in_use;
    uint32_t tid;     // 16 significant bits
    char share[81];   // share name as the client reached it
    int32_t ipc;      // 1 for "IPC$"
};

// One open file, folder or pipe, linked into the session's list newest
// first. No host file stays open: a read opens the path afresh.
struct tb1s_file {
    int32_t dir;         // 1 for a folder
    int32_t pipe;        // 1 for the "srvsvc" pipe
    uint16_t fid;
    char path[2050];     // canonical host path; empty for the pipe
    tb1s_share share;    // the share of the open, whose root every read must stay inside
    tb1s_fstat st;       // status snapshot taken at the open (all 0 for the pipe)
    tb1s_buf in;         // pipe: the start of a DCE/RPC packet whose rest is still to be written
    tb1s_buf out;        // pipe: answers (DCE/RPC fragments) waiting for READ_ANDX
    uint64_t out_pos;    // the first of them the client has not read yet
    tb1s_file *next;
};

// One directory search: a sorted snapshot of a folder and how far the
// client has walked it. cursor_drop frees the listing and zeroes the entry.
struct tb1s_search {
    int32_t in_use;
    uint32_t sid;        // 16 significant bits
    tb1s_vent *list;     // owned; freed with tb1s_vfs_free
    int32_t count;       // entries in list
    int32_t pos;         // next listing entry to examine
    uint64_t bytes;      // what the listing holds, counted against the session's budget
    char pattern[513];
};

struct tb1s_session {
    // Connection.
    const tb1s_sess_ctx *ctx;   // the world the session runs in
    const tb1s_transport *transport;
    void *user;                 // copy of transport->user
    tb1s_ip client;
    char client_text[64];       // formatted client address, for events
    uint64_t conn_id;           // the session's number in events: 1, 2, ... in the order sessions start
    tb1s_opts opts;             // snapshot; refreshed after every message
    uint8_t *rbuf;              // receive buffer
    uint64_t rcap;              // its capacity
    uint64_t rpos, rend;        // the bytes received and not yet taken: rbuf[rpos..rend)
    uint64_t started;           // monotonic ms at the start of the session
    uint64_t last_active;       // monotonic ms of the last complete packet
    uint64_t unauth_since;      // monotonic ms of the start or of the last logoff (logon deadline)
    uint64_t bytes_sent;        // SMB message bytes sent, NetBIOS headers not counted
    int32_t stop;               // end the session after the current reply
    int32_t smb2_seen;          // an SMB2 message has been reported

    // The request being served (16 significant bits in the identifiers).
    uint8_t command;
    uint32_t tid;               // a tree connect replaces it; every reply carries it
    uint32_t pid;
    uint32_t mid;
    uint32_t pid_high;
    uint32_t flags;
    uint32_t flags2;            // 0x4000 selects NT statuses (rep_error)
    int32_t unicode;            // FLAGS2 0x8000 of this request

    // Negotiation.
    int32_t negotiated;         // set by every NEGOTIATE
    uint64_t server_id;         // FNV-1a of the server name
    uint8_t challenge[8];       // server challenge
    int32_t have_challenge;     // a NEGOTIATE issued the challenge; logons verify against nothing else
    int32_t ext_sec;            // extended security: adds FLAGS2 0x0002 to replies

    // Logon.
    int32_t logged_on;
    int32_t guest;
    int32_t signing;            // signing active; set at logon, never cleared
    uint32_t uid;               // 0 before logon; carried in every reply
    uint32_t uid_counter;
    int32_t logon_failures;
    uint8_t sign_key[16];
    uint8_t sign_resp[TB1S_SIGN_RESP_MAX];  // 13-word logon: the NT response, the rest of the MAC key
    uint32_t sign_resp_len;     // 0 after an extended-security logon
    uint32_t sign_seq;          // sequence number of the next request while signing is active
    uint32_t reply_seq;         // sequence number the current reply is signed with
    uint32_t client_bufsize;    // client's MaxBufferSize from session setup; 0 until then

    // Trees, open files, searches and the identifier counters.
    tb1s_tree trees[TB1S_MAX_TREES];
    tb1s_file *files;           // newest first
    int32_t nfiles;
    tb1s_search searches[TB1S_MAX_SEARCHES];
    uint64_t search_budget;     // bytes all searches may hold; 0: TB1S_SEARCH_BUDGET
    uint32_t id_counter;        // shared by TIDs and search ids (new_id)
    uint64_t fid_counter;
};

// The reply to one request: the whole SMB message from its first header byte.
struct tb1s_reply {
    tb1s_buf buf;
    int32_t wc;        // WordCount to announce; -1: (length - 33) / 2
    int32_t unicode;   // the reply carries UTF-16 strings: FLAGS2 gains 0x8000
};

// --- The world (runner.cpp) ---

// Adds to a statistics counter through the session's world.
inline void sess_stat(const tb1s_session *s, int32_t idx, int64_t amount) { s->ctx->stat(s->ctx->user, idx, amount); }
// Replaces the session's options snapshot with the current options.
inline void sess_refresh_opts(tb1s_session *s) { s->ctx->opts(s->ctx->user, &s->opts); }
inline uint64_t sess_now_ms(const tb1s_session *s) { return s->ctx->now_ms(s->ctx->user); }
// The time authentication works with: the snapshot's option `clock` when it
// is set, else the wall clock.
int64_t auth_now(const tb1s_session *s);
// Whether guest logons are allowed at this moment: the current option
// `guest`, and for "auto" whether the world has an account.
bool sess_guest_allowed(const tb1s_session *s);
// Reports an event to the world's sink, if it has one, with the session's
// client address filled in (and "" for a missing user or share).
void sess_event(const tb1s_session *s, tb1s_event e);
// Reports the current request as a refused change of the disk: its command
// and the share of its tree, with the name it opens when there is one.
void sess_write_refused(tb1s_session *s, const char *path);

// Every command handler has this shape.
using tb1s_handler = void (*)(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep);

// --- Replies (runner.cpp) ---

// Writes the 33-byte header of the reply to the current request, status 0.
void rep_begin(tb1s_session *s, tb1s_reply *rep);
// Completes the reply (WordCount, identifiers, Unicode flag, signature with
// the session's reply_seq when `sign` is 1 and the session is logged on
// with signing active), sends it
// framed, and frees the buffer. A message that does not begin FF 'SMB' (the
// SMB2 answer to a negotiate) is sent exactly as built. A failed write sets
// the stop flag.
void rep_end(tb1s_session *s, tb1s_reply *rep, int32_t sign);
// Stores a status as it is in header bytes 5..8 (once the header is there).
void rep_status(tb1s_reply *rep, uint32_t status);
// Stores the session's TID, PID, UID and MID in header bytes 24..31.
void rep_mirror_volatile(tb1s_session *s, tb1s_reply *rep);

// Sets an error status in the form the request asked for: the NT status when
// its FLAGS2 has 0x4000, else the DOS pair (class + code * 65536, tb1s_dos).
inline void rep_error(const tb1s_session *s, tb1s_reply *rep, uint32_t nt, uint32_t dos)
{
    rep_status(rep, (s->flags2 & TB1S_FLAGS2_NTSTATUS) ? nt : dos);
}
// The same with the DOS pair the status table gives for the NT status.
inline void rep_error(const tb1s_session *s, tb1s_reply *rep, uint32_t nt) { rep_error(s, rep, nt, tb1s_dos_pair(nt)); }

// Serves one received message (without its NetBIOS header): checks it,
// captures its header, dispatches it and sends the reply. Dropped messages
// count a protocol error.
void sess_serve(tb1s_session *s, const uint8_t *msg, uint64_t len);

// Decodes a name field of the request into UTF-8 in out[TB1S_NAME_MAX]:
// UTF-16LE when the request is Unicode, else the bytes as they are; one
// terminating NUL is dropped. 0, or non-zero when it cannot be converted.
int name_to_utf8(const tb1s_session *s, const uint8_t *p, uint64_t n, char *out);

// --- Session state (dispatch.cpp) ---

// Runs the handler of the current request, or refuses a state-changing
// command with ACCESS_DENIED.
void dispatch(tb1s_session *s, tb1s_rd *req, tb1s_reply *rep);
// Releases every open file, search and tree and ends the logon.
void drop_all(tb1s_session *s);
// Frees a search's listing and zeroes the entry.
void cursor_drop(tb1s_search *e);

// The first tree in use with this TID, or null.
tb1s_tree *tree_find(tb1s_session *s, uint32_t tid);
// The search in use with this id that stands last in the table, or null.
tb1s_search *search_find(tb1s_session *s, uint32_t sid);
// The newest open file whose 16-bit FID equals the low 16 bits of fid, or null.
tb1s_file *file_find(tb1s_session *s, uint32_t fid);

// New identifiers. Each kind walks its own 16-bit sequence from its counter
// and passes over every value a live record of the kind holds, so a new one
// never names a tree, search or file in use; 0 and 0xFFFF (which clients
// read as "none") are never handed out. There is always a free value: at
// most 256 trees, 256 searches and 1024 files live at once.
// A TID or search id (one sequence for both): 1, 2, 3, ...
uint32_t new_id(tb1s_session *s);
// A UID: 1, 2, 3, ... (a session holds one UID at a time).
uint32_t new_uid(tb1s_session *s);
// A FID: the low 16 bits of counter * 16 + 1, so 0x0011, 0x0021, ...
uint16_t new_fid(tb1s_session *s);

}  // namespace tb1s
