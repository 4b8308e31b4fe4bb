// SPNEGO layer: a minimal DER reader, the recogniser that finds the NTLMSSP
// message in a client's security blob, and the four fixed-shape tokens the
// server sends. NTLMSSP (1.3.6.1.4.1.311.2.2.10) is the only mechanism ever
// offered or accepted; no mechListMIC is sent or checked.
#pragma once

#include <cstdint>

#include "util/buf.h"
#include "util/bytes.h"

namespace tb1s {

// Reads one tag-length header at the cursor. 0 with the cursor on the first
// content byte, or -1 when the header is malformed (multi-byte tag number,
// more than 4 length bytes) or the content does not end inside the cursor's
// area. The caller steps past the content by setting pos to its end.
int der_tag(tb1s_cursor *c, uint8_t *tag, uint64_t *len);

// Appends the definite-form DER encoding of a length.
void der_len(tb1s_buf *b, uint64_t len);

// Finds the NTLMSSP message in a client blob. On entry the outputs are reset
// to no token, length 0, raw 0. 0 success (*tok may stay null: a token
// without mechToken, or bare NTLMSSP announced by its OID alone, *raw = 1),
// -1 malformed, -2 the client does not offer NTLMSSP. The token points into
// the blob; nothing is copied. *raw is 1 when the client speaks bare
// NTLMSSP rather than SPNEGO.
int tb1s_spnego_init(const uint8_t *blob, uint64_t blob_len, const uint8_t **tok, uint64_t *tok_len,
                     int32_t *raw);

// Builders: append a token to b and return 0 (a buffer that cannot grow
// records that in its own oom flag).
// negTokenInit carrying m as mechToken.
int tb1s_spnego_init_tok(const uint8_t *m, uint64_t m_len, tb1s_buf *b);
// negTokenInit without mechToken, always 74 bytes.
int tb1s_spnego_init_tok_nomect(tb1s_buf *b);
// negTokenResp accept-incomplete with m as responseToken.
int tb1s_spnego_resp(const uint8_t *m, uint64_t m_len, tb1s_buf *b);
// negTokenResp accept-completed, always 23 bytes.
int tb1s_spnego_done(tb1s_buf *b);

}  // namespace tb1s
