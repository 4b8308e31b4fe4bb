// The AUTHENTICATE_MESSAGE verifier over any message, checked for the
// account the seeds were made for (time check on) and for the empty guest
// account (time check off). Besides the sanitizers' checks: the verdict is
// -1, 0 or 1, and the session key stays zero unless a proof verified.
#include <cstdlib>

#include "ntlm/ntlmssp.h"
#include "fuzz_accounts.h"

using namespace tb1s;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    for (const fuzz_account &a : k_fuzz_accounts) {
        int32_t guest = -1;
        uint8_t key[16];
        int v = tb1s_ntlm_type3(data, size, k_fuzz_challenge, nullptr, k_fuzz_now, a.timecheck, a.user, a.password,
                                &guest, key);
        if (v < -1 || v > 1 || (guest != 0 && guest != 1) || (guest && v != 0))
            std::abort();
        if (v != 0 || guest)
            for (uint8_t k : key)
                if (k)
                    std::abort();
    }
    return 0;
}
