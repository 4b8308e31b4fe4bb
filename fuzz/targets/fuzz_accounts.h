// The fixed inputs the NTLMSSP targets verify against; the seed maker
// builds its messages for the same challenge, time and accounts.
#pragma once

#include <cstdint>

inline constexpr uint8_t k_fuzz_challenge[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
inline constexpr int64_t k_fuzz_now = 1700000000;

struct fuzz_account {
    const char *user;
    const char *password;
    int32_t timecheck;
};
inline constexpr fuzz_account k_fuzz_accounts[] = {
    {"User", "Password", 1},
    {"", "", 0},  // the guest path's empty account
};

// The whole-engine target (engine.cpp) runs a simulated connection with
// the clock at k_fuzz_now, the default server name and the first account
// above added. Its input: one byte of option bits, then the bodies of the
// client's NetBIOS session messages separated by k_fuzz_sep; the target
// frames each body (an empty one is a keep-alive).
inline constexpr uint8_t k_fuzz_sep[4] = {0xA5, 0x5A, 0xC3, 0x3C};
enum : uint8_t {
    FUZZ_GUEST_OFF = 0x01,     // guest "off" (else "on"): accounts are tried
    FUZZ_SIGNING = 0x02,       // signing "required"
    FUZZ_NO_TIMECHECK = 0x04,  // ntlm_timecheck "off"
    FUZZ_ONE_FAILURE = 0x08,   // max_login_failures 1 (else 100)
    FUZZ_SMB1_OFF = 0x10,      // allow_smb1 "0"
};
