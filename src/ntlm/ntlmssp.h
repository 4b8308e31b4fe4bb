// NTLMSSP: the server's CHALLENGE_MESSAGE, the NTLMv2 account keys and the
// two verifiers (AUTHENTICATE_MESSAGE with extended security; an LMv2 and
// NTLMv2 pair without it). Only NTLMv2 ever verifies an account. All state
// lives in arguments and locals, so any number of sessions verify at once.
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

// Verdicts of the verifiers: 0 verified (or an anonymous/guest logon, then
// *guest = 1), 1 this account does not match, -1 refused. *guest and the
// 16-byte session key are reset on entry; the key stays zero unless a proof
// verified. `now` is the server's Unix time; `timecheck` 0 skips the
// timestamp window. User and password are the account's (null = empty).

// Checks an AUTHENTICATE_MESSAGE for one account.
int tb1s_ntlm_type3(const uint8_t *msg, uint64_t msg_len, const uint8_t challenge[8], const char *server_name,
                    int64_t now, int32_t timecheck, const char *user, const char *password, int32_t *guest,
                    uint8_t session_key[16]);

// Checks the LMv2 (24 bytes) and NTLMv2 responses of a logon without
// extended security for one account; the domain is taken as empty.
int tb1s_ntlm_nonext(const uint8_t *lm, uint64_t lm_len, const uint8_t *nt, uint64_t nt_len,
                     const uint8_t challenge[8], int64_t now, int32_t timecheck, const char *user,
                     const char *password, int32_t *guest, uint8_t session_key[16]);

}  // namespace tb1s
