#include "sess/handlers.h"

namespace tb1s {

namespace {

// The ten reply words shared by both transaction replies: counts, offsets
// and displacements of one parameter and one data block, no setup words.
void trans_words(tb1s_buf *b, uint32_t np, uint32_t poff, uint32_t nd, uint32_t doff)
{
    w16(b, np);    // TotalParameterCount
    w16(b, nd);    // TotalDataCount
    w16(b, 0);     // Reserved
    w16(b, np);    // ParameterCount
    w16(b, poff);  // ParameterOffset
    w16(b, 0);     // ParameterDisplacement
    w16(b, nd);    // DataCount
    w16(b, doff);  // DataOffset
    w16(b, 0);     // DataDisplacement
    tb1s_buf_byte(b, 0);  // SetupCount
    tb1s_buf_byte(b, 0);  // Reserved
}

// Offsets count from the start of the SMB header: 32 header bytes, the
// WordCount byte, 20 word bytes and the ByteCount put the first byte after
// the ByteCount at 55.
constexpr uint32_t k_after_bytecount = 55;

}  // namespace

void trans_reply(tb1s_reply *rep, const uint8_t *data, uint32_t n)
{
    rep_status(rep, 0);
    rep->wc = 10;
    trans_words(&rep->buf, 0, 0, n, k_after_bytecount + 1);
    w16(&rep->buf, n + 1);
    tb1s_buf_byte(&rep->buf, 0);  // pad: the data starts at 56
    tb1s_buf_put(&rep->buf, data, n);
}

void trans2_reply(tb1s_session *s, tb1s_reply *rep, const uint8_t *params, uint32_t np, const uint8_t *data,
                  uint32_t nd)
{
    uint32_t doff = np ? (k_after_bytecount + np + 3) & ~3u : k_after_bytecount + 1;
    rep->wc = 10;
    rep->unicode = s->unicode;
    trans_words(&rep->buf, np, np ? k_after_bytecount : 0, nd, nd ? doff : 0);
    w16(&rep->buf, doff + nd - k_after_bytecount);
    tb1s_buf_put(&rep->buf, params, np);
    static const uint8_t zeros[4] = {};
    tb1s_buf_put(&rep->buf, zeros, doff - k_after_bytecount - np);
    tb1s_buf_put(&rep->buf, data, nd);
}

}  // namespace tb1s
