// NTLMSSP: the server's CHALLENGE_MESSAGE, the NTLMv2 account keys and the
// two verifiers (AUTHENTICATE_MESSAGE with extended security; an LMv2 and
// NTLMv2 pair without it). Only NTLMv2 ever verifies an account. All state
// lives in arguments and locals (nothing here reads a global, not even the
// options), so any number of sessions verify at once.
#pragma once

#include <cstdint>

#include "util/buf.h"

namespace tb1s {

// Every NTLMSSP message starts with this signature and a 32-bit type.
inline constexpr uint8_t TB1S_NTLMSSP_SIG[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};
inline constexpr uint32_t TB1S_NTLM_NEGOTIATE = 1;
inline constexpr uint32_t TB1S_NTLM_CHALLENGE = 2;
inline constexpr uint32_t TB1S_NTLM_AUTHENTICATE = 3;

// Appends the CHALLENGE_MESSAGE for the server name (null or empty: the
// default name; cut to its first 60 bytes), the 8-byte challenge and the
// Unix time of its timestamp. 0, or -1 with nothing appended when the cut
// name is not valid UTF-8.
int tb1s_ntlm_type2(const char *server_name, const uint8_t challenge[8], int64_t now, tb1s_buf *b);

// NT hash (MD4 of the UTF-16LE password) and NTOWFv2 (HMAC-MD5 under the
// NT hash of the upper-cased user name and the domain as given, UTF-16LE).
// Null domain = empty. A password that cannot be converted gives zeros.
// Does nothing when either output place is missing.
void tb1s_ntlm_hashes_dom(const char *user, const char *domain, const char *password, uint8_t nt_hash[16],
                          uint8_t ntowf[16]);

// What the verifiers need from the server besides the message and the
// account.
struct tb1s_ntlm_check {
    const uint8_t *challenge;  // the 8-byte server challenge the client answered
    const char *server_name;   // as for tb1s_ntlm_type2 (null or empty: the default)
    int64_t now;               // the server's Unix time
    int32_t timecheck;         // 0 skips the timestamp window
    int32_t guest_allowed;     // 1: an NT response too short or long for NTLMv2 is a guest logon
};

// What a verifier found besides its verdict. Reset on entry.
struct tb1s_ntlm_result {
    int32_t guest;            // 1 for an anonymous or guest logon (verdict 0)
    uint8_t session_key[16];  // zero unless a proof verified; the caller wipes it
    const char *why;          // verdict -1 or 1: a constant text naming the check that decided, for traces
    char user[129];           // the UserName of an AUTHENTICATE_MESSAGE, UTF-8 (cut); "" when none was read
};

// Verdicts of the verifiers: 0 verified (or an anonymous/guest logon, then
// result->guest = 1), 1 this account does not match, -1 refused. User and
// password are the account's (null = empty).

// Checks an AUTHENTICATE_MESSAGE for one account.
int tb1s_ntlm_type3(const uint8_t *msg, uint64_t msg_len, const tb1s_ntlm_check *chk, const char *user,
                    const char *password, tb1s_ntlm_result *result);

// Checks the LMv2 (24 bytes) and NTLMv2 responses of a logon without
// extended security for one account; the domain is taken as empty, and
// `guest_allowed` is not used (such a logon is never a guest).
int tb1s_ntlm_nonext(const uint8_t *lm, uint64_t lm_len, const uint8_t *nt, uint64_t nt_len,
                     const tb1s_ntlm_check *chk, const char *user, const char *password, tb1s_ntlm_result *result);

}  // namespace tb1s
