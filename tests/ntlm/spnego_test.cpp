#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "ntlm/spnego.h"
#include "ntlm_client.h"
#include "support.h"

using namespace tb1s;

namespace {

using tb1s_test::bytes;
using tb1s_test::cat;
using tb1s_test::der_tlv;
using tb1s_test::from_hex;
using tb1s_test::owned_buf;
using tb1s_test::to_hex;

const bytes k_ntlm_oid = from_hex("06 0a 2b 06 01 04 01 82 37 02 02 0a");
const bytes k_krb_oid = from_hex("06 09 2a 86 48 86 f7 12 01 02 02");
const bytes k_spnego_oid = from_hex("06 06 2b 06 01 05 05 02");
const std::string k_hints = "not_defined_in_RFC4178@please_ignore";

// A NEGOTIATE_MESSAGE-like payload: the signature, type 1 and a few flags.
const bytes k_nego_msg = cat({bytes{'N', 'T', 'L', 'M', 'S', 'S', 'P', 0}, from_hex("01000000 07820800")});

// negTokenInit in GSS-API framing from its SEQUENCE elements.
bytes gss_init(const bytes &seq_content)
{
    return der_tlv(0x60, cat({k_spnego_oid, der_tlv(0xA0, der_tlv(0x30, seq_content))}));
}
bytes mech_types(std::initializer_list<bytes> oids) { return der_tlv(0xA0, der_tlv(0x30, cat(oids))); }
bytes mech_token(const bytes &m) { return der_tlv(0xA2, der_tlv(0x04, m)); }

struct parsed {
    int rc;
    bytes tok;  // empty when no token
    bool has_tok;
    int32_t raw;
};

// Runs the recogniser on an exact-size heap copy, so that any read past the
// end of the blob is caught by AddressSanitizer.
parsed parse(const bytes &blob)
{
    std::unique_ptr<uint8_t[]> copy(new uint8_t[blob.size() ? blob.size() : 1]);
    if (!blob.empty())
        std::memcpy(copy.get(), blob.data(), blob.size());
    const uint8_t *tok = reinterpret_cast<const uint8_t *>(1);
    uint64_t tok_len = 99;
    int32_t raw = 7;
    parsed p{};
    p.rc = tb1s_spnego_init(copy.get(), blob.size(), &tok, &tok_len, &raw);
    p.raw = raw;
    p.has_tok = tok != nullptr;
    if (tok) {
        EXPECT_GE(tok, copy.get());
        EXPECT_LE(tok + tok_len, copy.get() + blob.size()) << "token runs past the blob";
        p.tok.assign(tok, tok + tok_len);
    } else {
        EXPECT_EQ(tok_len, 0u);
    }
    return p;
}

TEST(DerTag, ReadsHeadersAndRefusesMalformedOnes)
{
    struct row {
        const char *hex;
        int rc;
        uint8_t tag;
        uint64_t len;
        uint64_t pos;  // cursor position after the header
    };
    const row rows[] = {
        {"04 03 aa bb cc", 0, 0x04, 3, 2},
        {"30 80", 0, 0x30, 0, 2},                // 0x80 reads as length 0
        {"04 81 01 ff", 0, 0x04, 1, 3},
        {"04 82 00 02 aa bb", 0, 0x04, 2, 4},
        {"04 84 00 00 00 01 aa", 0, 0x04, 1, 6},
        {"04 84 00 00 01 00 aa", -1, 0, 0, 0},    // four length bytes, content beyond the end
        {"04 85 00 00 00 00 01", -1, 0, 0, 0},    // five length bytes
        {"1f 01 00", -1, 0, 0, 0},                // multi-byte tag number
        {"04 82 00", -1, 0, 0, 0},                // length bytes missing
        {"04 04 aa bb cc", -1, 0, 0, 0},          // content one byte short
        {"04", -1, 0, 0, 0},
        {"", -1, 0, 0, 0},
    };
    for (const row &r : rows) {
        bytes in = from_hex(r.hex);
        tb1s_cursor c = rd_make(in.data(), in.size());
        uint8_t tag = 0;
        uint64_t len = 0;
        EXPECT_EQ(der_tag(&c, &tag, &len), r.rc) << r.hex;
        if (r.rc == 0) {
            EXPECT_EQ(tag, r.tag) << r.hex;
            EXPECT_EQ(len, r.len) << r.hex;
            EXPECT_EQ(c.pos, r.pos) << r.hex;
        }
    }
}

TEST(DerLen, ShortAndLongForms)
{
    struct row {
        uint64_t len;
        const char *hex;
    };
    for (row r : {row{0, "00"}, {127, "7f"}, {128, "8180"}, {255, "81ff"}, {256, "820100"},
                  {65535, "82ffff"}, {65536, "83010000"}}) {
        owned_buf o;
        der_len(&o.b, r.len);
        EXPECT_EQ(to_hex(o.get()), r.hex) << r.len;
    }
}

TEST(SpnegoInit, FindsTheNtlmsspMessage)
{
    struct row {
        const char *what;
        bytes blob;
        int rc;
        bool has_tok;
        int32_t raw;
    };
    const row rows[] = {
        {"bare NTLMSSP", k_nego_msg, 0, true, 1},
        {"bare NTLMSSP in GSS-API framing", der_tlv(0x60, k_ntlm_oid), 0, false, 1},
        {"SPNEGO OID stepped over before the NTLMSSP OID", der_tlv(0x60, cat({k_spnego_oid, k_ntlm_oid})), 0, false,
         1},
        {"mechTypes with NTLMSSP among others and mechToken",
         gss_init(cat({mech_types({k_krb_oid, k_ntlm_oid}), mech_token(k_nego_msg)})), 0, true, 0},
        {"reqFlags bit string stepped over",
         gss_init(cat({mech_types({k_ntlm_oid}), der_tlv(0xA1, from_hex("03 02 00 00")), mech_token(k_nego_msg)})), 0,
         true, 0},
        {"mechListMIC stepped over",
         gss_init(cat({mech_types({k_ntlm_oid}), der_tlv(0xA4, from_hex("04 00")), mech_token(k_nego_msg)})), 0,
         true, 0},
        {"no mechToken", gss_init(mech_types({k_krb_oid, k_ntlm_oid})), 0, false, 0},
        {"mechTypes without NTLMSSP", gss_init(cat({mech_types({k_krb_oid}), mech_token(k_nego_msg)})), -2,
         false, 0},
        {"mechTypes not a SEQUENCE", gss_init(cat({der_tlv(0xA0, k_ntlm_oid), mech_token(k_nego_msg)})), -2, false,
         0},
        {"mechToken before mechTypes is taken as it comes",
         gss_init(cat({mech_token(k_nego_msg), mech_types({k_krb_oid})})), 0, true, 0},
        {"negTokenResp with SEQUENCE",
         der_tlv(0xA1, der_tlv(0x30, cat({der_tlv(0xA0, from_hex("0a 01 01")), mech_token(k_nego_msg)}))), 0, true, 0},
        {"negTokenResp without SEQUENCE", der_tlv(0xA1, mech_token(k_nego_msg)), 0, true, 0},
        {"negTokenResp without responseToken", der_tlv(0xA1, der_tlv(0x30, der_tlv(0xA0, from_hex("0a 01 01")))), -1, false,
         0},
        {"GSS-API token without negTokenInit", der_tlv(0x60, k_spnego_oid), -1, false, 0},
        {"negTokenInit not constructed", der_tlv(0x60, cat({k_spnego_oid, der_tlv(0xA0, der_tlv(0x04, bytes{1}))})), -1,
         false, 0},
        {"outer length beyond the blob", from_hex("60 84 00 00 10 00 06 06"), -1, false, 0},
        {"outer length of five bytes", from_hex("60 85 00 00 00 00 02 05 00"), -1, false, 0},
        {"multi-byte tag inside", from_hex("60 03 1f 01 00"), -1, false, 0},
        {"one byte", from_hex("60"), -1, false, 0},
        {"unknown first byte", from_hex("30 00"), -1, false, 0},
        {"NTLMSSP signature cut short", bytes{'N', 'T', 'L', 'M', 'S', 'S', 'P'}, -1, false, 0},
    };
    for (const row &r : rows) {
        parsed p = parse(r.blob);
        EXPECT_EQ(p.rc, r.rc) << r.what;
        EXPECT_EQ(p.has_tok, r.has_tok) << r.what;
        EXPECT_EQ(p.raw, r.raw) << r.what;
        if (r.has_tok && p.has_tok) {
            EXPECT_EQ(to_hex(p.tok), to_hex(k_nego_msg)) << r.what;
        }
    }
}

TEST(SpnegoInit, MissingBlobFails)
{
    const uint8_t *tok = nullptr;
    uint64_t len = 5;
    int32_t raw = 5;
    EXPECT_EQ(tb1s_spnego_init(nullptr, 10, &tok, &len, &raw), -1);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(raw, 0);
}

// The mechToken length counts everything in [2] after the OCTET STRING
// header, so bytes trailing the OCTET STRING inside [2] come along.
TEST(SpnegoInit, MechTokenLengthIsTheElementContentAfterTheOctetStringHeader)
{
    bytes inner = cat({der_tlv(0x04, k_nego_msg), bytes{0xEE, 0xEE}});
    parsed p = parse(gss_init(cat({mech_types({k_ntlm_oid}), der_tlv(0xA2, inner)})));
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.tok.size(), k_nego_msg.size() + 2);
}

// Every prefix of a valid token is refused (the outer length no longer
// fits) without a read outside the blob: AddressSanitizer checks the reads.
TEST(SpnegoInit, EveryTruncationStaysInsideTheBlob)
{
    owned_buf init, resp;
    tb1s_spnego_init_tok(k_nego_msg.data(), k_nego_msg.size(), &init.b);
    tb1s_spnego_resp(k_nego_msg.data(), k_nego_msg.size(), &resp.b);
    for (const bytes &full : {init.get(), resp.get()}) {
        for (size_t n = 0; n < full.size(); n++) {
            parsed p = parse(bytes(full.begin(), full.begin() + long(n)));
            EXPECT_EQ(p.rc, -1) << "prefix " << n;
        }
        parsed whole = parse(full);
        EXPECT_EQ(whole.rc, 0);
        EXPECT_EQ(to_hex(whole.tok), to_hex(k_nego_msg));
    }
}

bytes message(size_t n)
{
    bytes m(n);
    for (size_t i = 0; i < n; i++)
        m[i] = uint8_t(i * 7 + 1);
    return m;
}

TEST(SpnegoBuild, FixedTokens)
{
    owned_buf nomect, done;
    EXPECT_EQ(tb1s_spnego_init_tok_nomect(&nomect.b), 0);
    EXPECT_EQ(tb1s_spnego_done(&done.b), 0);
    bytes hints(k_hints.begin(), k_hints.end());
    bytes want_nomect = cat({from_hex("60 48"), k_spnego_oid, from_hex("a0 3e 30 3c a0 0e 30 0c"), k_ntlm_oid,
                             from_hex("a3 2a 30 28 a0 26 1b 24"), hints});
    ASSERT_EQ(want_nomect.size(), 74u);
    EXPECT_EQ(to_hex(nomect.get()), to_hex(want_nomect));
    bytes want_done = cat({from_hex("a1 15 30 13 a0 03 0a 01 00 a1 0c"), k_ntlm_oid});
    ASSERT_EQ(want_done.size(), 23u);
    EXPECT_EQ(to_hex(done.get()), to_hex(want_done));
}

TEST(SpnegoBuild, ResponseTokenLengths)
{
    struct row {
        size_t m;
        size_t total;
        const char *head;     // bytes up to the supportedMech OID
        const char *tok_head; // [2] and OCTET STRING headers
    };
    for (row r : {row{132, 163, "a1 81 a0 30 81 9d a0 03 0a 01 01 a1 0c", "a2 81 87 04 81 84"},
                  row{320, 355, "a1 82 01 5f 30 82 01 5b a0 03 0a 01 01 a1 0c", "a2 82 01 44 04 82 01 40"},
                  row{10, 37, "a1 23 30 21 a0 03 0a 01 01 a1 0c", "a2 0c 04 0a"}}) {
        bytes m = message(r.m);
        owned_buf o;
        EXPECT_EQ(tb1s_spnego_resp(m.data(), m.size(), &o.b), 0);
        bytes want = cat({from_hex(r.head), k_ntlm_oid, from_hex(r.tok_head), m});
        EXPECT_EQ(o.b.len, r.total) << r.m;
        EXPECT_EQ(to_hex(o.get()), to_hex(want)) << r.m;
        parsed p = parse(o.get());
        EXPECT_EQ(p.rc, 0);
        EXPECT_EQ(to_hex(p.tok), to_hex(m));
    }
}

TEST(SpnegoBuild, InitTokenWithMechToken)
{
    bytes m = message(132);
    owned_buf o;
    EXPECT_EQ(tb1s_spnego_init_tok(m.data(), m.size(), &o.b), 0);
    bytes hints(k_hints.begin(), k_hints.end());
    bytes want = cat({from_hex("60 81 d4"), k_spnego_oid, from_hex("a0 81 c9 30 81 c6 a0 0e 30 0c"), k_ntlm_oid,
                      from_hex("a2 81 87 04 81 84"), m, from_hex("a3 2a 30 28 a0 26 1b 24"), hints});
    ASSERT_EQ(want.size(), 215u);
    EXPECT_EQ(to_hex(o.get()), to_hex(want));
    parsed p = parse(o.get());
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.raw, 0);
    EXPECT_EQ(to_hex(p.tok), to_hex(m));
}

}  // namespace
