// A small NTLMv2 client for tests: builds the messages and responses that a
// Windows client sends, from the published MS-NLMP formulas, computed apart
// from the server's verifier (it shares only the crypto primitives).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support.h"

namespace tb1s_test {

// UTF-16LE of UTF-8 text (no terminator).
bytes utf16le(const std::string &s);
bytes hmac_md5(const bytes &key, const bytes &data);
bytes rc4(const bytes &key, const bytes &data);

// NTOWFv2: HMAC-MD5 under MD4(UTF-16LE password) of UTF-16LE(upper(user) + domain),
// upper-cased by the C library's Unicode mapping.
bytes ntowfv2(const std::string &user, const std::string &domain, const std::string &password);

// AV pairs exactly as given (add {0, {}} yourself for MsvAvEOL).
struct av_pair {
    uint16_t id;
    bytes value;
};
bytes av_pairs(const std::vector<av_pair> &pairs);
bytes filetime_bytes(uint64_t ft);
// FILETIME of a Unix time, for any time (no special case for 0).
uint64_t filetime_of(int64_t unix_seconds);

// NTProofStr followed by the blob 01 01 00*6, time, client challenge,
// 00*4, the AV pairs, 00*4.
bytes ntlmv2_response(const bytes &ntowf, const bytes &server_chal, const bytes &client_chal, uint64_t time_ft,
                      const bytes &av);
// HMAC-MD5(NTOWFv2, server challenge + client challenge) + client challenge.
bytes lmv2_response(const bytes &ntowf, const bytes &server_chal, const bytes &client_chal);
// HMAC-MD5(NTOWFv2, NTProofStr).
bytes session_base_key(const bytes &ntowf, const bytes &nt_response);

// AUTHENTICATE_MESSAGE from raw field contents (texts already UTF-16LE);
// payloads follow the 64-byte header in the order domain, user,
// workstation, LM, NT, session key.
struct auth_fields {
    bytes lm, nt, domain, user, workstation, enc_key;
    uint32_t flags = 0xE0888215;  // 56, KEY_EXCH, 128, TARGET_INFO, ESS, ALWAYS_SIGN, NTLM, SIGN, REQUEST_TARGET, UNICODE
};
bytes authenticate_message(const auth_fields &f);

// NEGOTIATE_MESSAGE as a client opens with.
bytes ntlm_negotiate();
// Server challenge and TargetInfo of a CHALLENGE_MESSAGE; false if malformed.
bool read_challenge(const bytes &msg, bytes *server_chal, bytes *target_info);

struct ntlm_creds {
    std::string user, domain, password;
    std::string workstation = "CLIENT";
    bytes client_chal = bytes(8, 0xAA);
    bool key_exch = true;
    bytes random_key = bytes(16, 0x55);  // sent RC4-encrypted under the session base key
};
// Logs on as a client would after receiving challenge_msg: echoes its
// TargetInfo (and timestamp) in the NTLMv2 response. Returns the
// AUTHENTICATE_MESSAGE (empty if challenge_msg is malformed) and the
// session key the server should derive.
bytes ntlm_authenticate(const bytes &challenge_msg, const ntlm_creds &c, bytes *session_key);

// One DER element with a definite length (short form, 0x81 or 0x82).
bytes der_tlv(uint8_t tag, const bytes &content);

// The NTLMSSP message in a blob the server sent (negTokenInit, negTokenResp
// or bare); empty when there is none.
bytes ntlm_in(const bytes &blob);

// SPNEGO wrappings a client sends: negTokenInit with mechTypes {NTLMSSP}
// and the mechToken, and negTokenResp { responseToken }.
bytes spnego_wrap_init(const bytes &mech_token);
bytes spnego_wrap_resp(const bytes &token);

}  // namespace tb1s_test
