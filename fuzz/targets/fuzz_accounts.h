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
