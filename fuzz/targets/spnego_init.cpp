// The SPNEGO recogniser over any client blob. Besides the sanitizers'
// checks: a failure leaves the outputs reset, a found token lies inside the
// blob, and the token wrapped by the server's own builders is found again
// unchanged.
#include <cstdlib>
#include <cstring>

#include "ntlm/spnego.h"

using namespace tb1s;

namespace {

// Parses a wrapped token and checks that exactly tok comes back.
void round_trip(const tb1s_buf &b, const uint8_t *tok, uint64_t len)
{
    if (b.oom)
        return;
    const uint8_t *again = nullptr;
    uint64_t again_len = 0;
    int32_t raw = 0;
    if (tb1s_spnego_init(b.data, b.len, &again, &again_len, &raw) != 0 || raw != 0 || again_len != len ||
        (len && std::memcmp(again, tok, len) != 0))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const uint8_t *tok = nullptr;
    uint64_t len = 0;
    int32_t raw = 0;
    int rc = tb1s_spnego_init(data, size, &tok, &len, &raw);
    if (rc != 0 && rc != -1 && rc != -2)
        std::abort();
    if (rc != 0 && (tok || len || raw))
        std::abort();
    if (!tok) {
        if (len)
            std::abort();
        return 0;
    }
    if (tok < data || len > size || tok + len > data + size)
        std::abort();

    tb1s_buf b{};
    tb1s_spnego_resp(tok, len, &b);
    round_trip(b, tok, len);
    tb1s_buf_free(&b);
    tb1s_spnego_init_tok(tok, len, &b);
    round_trip(b, tok, len);
    tb1s_buf_free(&b);
    return 0;
}
