// The LMv2/NTLMv2 verifier of logons without extended security. Input: one
// byte n, then n bytes of LMv2 response (fewer if the input ends), then the
// NTLMv2 response. Each response gets its own exact-size heap copy so that
// a read past either one is caught.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ntlm/ntlmssp.h"
#include "fuzz_accounts.h"

using namespace tb1s;

namespace {

std::unique_ptr<uint8_t[]> copy(const uint8_t *p, size_t n)
{
    std::unique_ptr<uint8_t[]> c(new uint8_t[n ? n : 1]);
    if (n)
        std::memcpy(c.get(), p, n);
    return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    size_t lm_len = data[0];
    if (lm_len > size - 1)
        lm_len = size - 1;
    size_t nt_len = size - 1 - lm_len;
    auto lm = copy(data + 1, lm_len);
    auto nt = copy(data + 1 + lm_len, nt_len);
    for (const fuzz_account &a : k_fuzz_accounts) {
        tb1s_ntlm_check chk{k_fuzz_challenge, nullptr, k_fuzz_now, a.timecheck, 0};
        tb1s_ntlm_result r;
        int v = tb1s_ntlm_nonext(lm.get(), lm_len, nt.get(), nt_len, &chk, a.user, a.password, &r);
        if (v < -1 || v > 1 || r.guest != 0 || !r.why || (v != 0) != (r.why[0] != 0))
            std::abort();
        if (v != 0)
            for (uint8_t k : r.session_key)
                if (k)
                    std::abort();
    }
    return 0;
}
