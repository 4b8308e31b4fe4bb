// The AUTHENTICATE_MESSAGE verifier over any message, checked for the
// account the seeds were made for (time check on) and for the empty guest
// account (time check off), with guests allowed and not. Besides the
// sanitizers' checks: the verdict is -1, 0 or 1 and comes with a reason
// unless it is 0, and the session key stays zero unless a proof verified.
#include <cstdlib>
#include <initializer_list>

#include "ntlm/ntlmssp.h"
#include "fuzz_accounts.h"

using namespace tb1s;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    for (const fuzz_account &a : k_fuzz_accounts) {
        for (int32_t guests : {0, 1}) {
            tb1s_ntlm_check chk{k_fuzz_challenge, nullptr, k_fuzz_now, a.timecheck, guests};
            tb1s_ntlm_result r;
            int v = tb1s_ntlm_type3(data, size, &chk, a.user, a.password, &r);
            if (v < -1 || v > 1 || (r.guest != 0 && r.guest != 1) || (r.guest && v != 0) || !r.why ||
                (v != 0) != (r.why[0] != 0))
                std::abort();
            if (v != 0 || r.guest)
                for (uint8_t k : r.session_key)
                    if (k)
                        std::abort();
        }
    }
    return 0;
}
