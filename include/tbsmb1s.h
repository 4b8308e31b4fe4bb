/*
 * tbsmb1s: a read-only SMB1 file server library.
 *
 * A host declares shares (folders or single regular files), optional user
 * accounts and a client allow-list, sets options, and starts the server on a
 * TCP address and port. Clients speaking SMB1 ("NT LM 0.12") over NetBIOS
 * session framing may then log on, list shares, browse folders and read files.
 * Nothing that changes the disk is ever served.
 *
 * Every function may be called at any time from any thread, with two
 * exceptions: tbsmb1s_stats_json, tbsmb1s_selftest and tbsmb1s_simulate share
 * one output slot and must not overlap, and tbsmb1s_stop must not be called
 * while a tbsmb1s_start is under way.
 *
 * Returned texts are owned by the library; the host never frees them.
 *  - tbsmb1s_version: constant, valid for the life of the process.
 *  - tbsmb1s_last_error: the error slot; it changes at the next failure.
 *  - tbsmb1s_stats_json, tbsmb1s_selftest, tbsmb1s_simulate: valid until the
 *    next successful call of any of these three.
 */
#ifndef TBSMB1S_H
#define TBSMB1S_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(TBSMB1S_BUILDING)
#    define TBSMB1S_API __declspec(dllexport)
#  else
#    define TBSMB1S_API
#  endif
#else
#  define TBSMB1S_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#  define TBSMB1S_NOEXCEPT noexcept
extern "C" {
#else
#  define TBSMB1S_NOEXCEPT
#endif

/* Result codes of the functions that return an int32_t. Every failure also
 * leaves a message that tbsmb1s_last_error returns. */
enum {
    TBSMB1S_OK = 0,             /* success */
    TBSMB1S_EINVAL = -1,        /* missing, malformed or out-of-range argument; unknown option */
    TBSMB1S_ENOTFOUND = -2,     /* the named share, user or path does not exist */
    TBSMB1S_EEXIST = -3,        /* the share exists already, or the name is the built-in "IPC$" */
    TBSMB1S_ERUNNING = -4,      /* the server is running, or a start or stop is under way */
    TBSMB1S_EPLATFORM = -5,     /* socket, bind, listen or thread creation failed */
    TBSMB1S_EFULL = -6,         /* a table is full (256 shares, 256 users, 64 allow-list entries) */
    TBSMB1S_ESMB1OFF = -9       /* SMB1 is off: set the option "allow_smb1" to "1" first */
};

/* The version text, "1.0.1". */
TBSMB1S_API const char *tbsmb1s_version(void) TBSMB1S_NOEXCEPT;

/* The message of the most recent failure anywhere in the library. */
TBSMB1S_API const char *tbsmb1s_last_error(void) TBSMB1S_NOEXCEPT;

/* Runs the known-answer self-test of the cryptography:
 * "selftest ok\n" or "selftest FAILED\n" (output slot). */
TBSMB1S_API const char *tbsmb1s_selftest(void) TBSMB1S_NOEXCEPT;

/* The statistics as one line of JSON (output slot), or "{}" when out of memory. */
TBSMB1S_API const char *tbsmb1s_stats_json(void) TBSMB1S_NOEXCEPT;

/* Sets one option (see the README for keys and values). 0 or -1. */
TBSMB1S_API int32_t tbsmb1s_set_option(const char *key, const char *value) TBSMB1S_NOEXCEPT;

/* Declares a share: a client-visible name for a folder or a regular file.
 * 0, -1, -2 (path missing), -3 (name taken) or -6 (256 shares). */
TBSMB1S_API int32_t tbsmb1s_add_share(const char *name, const char *path) TBSMB1S_NOEXCEPT;

/* Removes a declared share. 0, -1 or -2. */
TBSMB1S_API int32_t tbsmb1s_remove_share(const char *name) TBSMB1S_NOEXCEPT;

/* Declares a user account, or replaces the password of an existing one.
 * 0, -1 or -6 (256 users). */
TBSMB1S_API int32_t tbsmb1s_add_user(const char *user, const char *password) TBSMB1S_NOEXCEPT;

/* Removes a user account. 0, -1 or -2. */
TBSMB1S_API int32_t tbsmb1s_remove_user(const char *user) TBSMB1S_NOEXCEPT;

/* Admits clients from an address block, e.g. "192.168.1.0/24" or "fd00::/8".
 * Loopback clients are always admitted. 0, -1 or -6 (64 entries). */
TBSMB1S_API int32_t tbsmb1s_allow_cidr(const char *cidr) TBSMB1S_NOEXCEPT;

/* Starts the server. address: an IPv4 or IPv6 literal, NULL or "" for
 * 127.0.0.1 ("::" listens on IPv4 and IPv6). port: 0 lets the system choose.
 * server_name: NULL keeps the option "server_name".
 * 0, -1, -4, -5 or -9. */
TBSMB1S_API int32_t tbsmb1s_start(const char *address, uint32_t port, const char *server_name) TBSMB1S_NOEXCEPT;

/* Stops the server and waits until every connection has ended. */
TBSMB1S_API void tbsmb1s_stop(void) TBSMB1S_NOEXCEPT;

/* The listening port, 0 when not running. */
TBSMB1S_API uint32_t tbsmb1s_port(void) TBSMB1S_NOEXCEPT;

/* The number of live connections. */
TBSMB1S_API int32_t tbsmb1s_client_count(void) TBSMB1S_NOEXCEPT;

/* Completed user logons minus failed logons, never below 0. */
TBSMB1S_API int32_t tbsmb1s_session_count(void) TBSMB1S_NOEXCEPT;

/* Runs a client conversation from a script of hexadecimal NetBIOS frames
 * without any network; peer is the pretended client address (NULL means
 * "127.0.0.1"). Returns the transcript (output slot), or NULL on failure. */
TBSMB1S_API const char *tbsmb1s_simulate(const char *script, const char *peer) TBSMB1S_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* TBSMB1S_H */
