// Secure wipe and constant-time comparison.
#include "crypto/crypto.h"

namespace tb1s {

// Nothing sets this. Because it is read through a volatile access on every
// call, the compiler cannot know which branch tb1s_wipe takes and so cannot
// drop the zeroing of an area that is never read again.
void (*volatile wipe_hook)(void *, uint64_t) = nullptr;

void tb1s_wipe(void *p, uint64_t n)
{
    if (n == 0)
        return;
    void (*hook)(void *, uint64_t) = wipe_hook;
    if (hook) {
        hook(p, n);
        return;
    }
    // Volatile stores as well, so the zeroing stays even if this function
    // is inlined into a caller whose buffer dies right after.
    volatile uint8_t *b = static_cast<volatile uint8_t *>(p);
    for (uint64_t i = 0; i < n; i++)
        b[i] = 0;
}

// ORs the XOR of every byte pair with no early exit, then turns the
// accumulated byte into 1 (zero) or 0 without a branch.
int tb1s_ct_equal(const void *a, const void *b, uint64_t n)
{
    const uint8_t *x = static_cast<const uint8_t *>(a);
    const uint8_t *y = static_cast<const uint8_t *>(b);
    uint32_t diff = 0;
    for (uint64_t i = 0; i < n; i++)
        diff |= uint32_t(x[i] ^ y[i]);
    return int(1 & ((diff - 1) >> 8));
}

}  // namespace tb1s
