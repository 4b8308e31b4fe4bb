// SESSION_SETUP_ANDX: whole logons through the real runner (the client
// computes each leg from the server's reply), the failure replies and their
// counting, the failure limit, UIDs and signing.
#include <gtest/gtest.h>

#include <cstring>

#include "cfg/stats.h"
#include "conn.h"
#include "crypto/crypto.h"
#include "logon.h"
#include "smb1.h"

using namespace tb1s;

using namespace tb1s_test;

namespace {

smb1_request logoff()
{
    smb1_request r;
    r.cmd = 0x74;
    r.words = le().u8(0xFF).u8(0).u16(0);
    return r;
}

// The replies of an extended-security logon and an ECHO after it, as the
// client saw them.
struct ext_run {
    std::vector<smb1_reply> replies;  // NEGOTIATE, challenge leg, final leg, ECHO
    bytes key;                        // the session key the client derived
};

ext_run ext_logon(test_world &w, ext_client client)
{
    dialogue d(w);
    int leg = 0;
    d.next = [&](const bytes &msg) -> bytes {
        smb1_reply r;
        if (!parse_reply(msg, &r))
            return {};
        switch (leg++) {
        case 0:
            return smb1_frame(client.negotiate_leg());
        case 1:
            return smb1_frame(client.authenticate_leg(reply_blob(r)));
        case 2:
            return smb1_frame(echo_request());
        default:
            return {};
        }
    };
    d.run(smb1_frame(negotiate_request()));
    ext_run out;
    out.replies = replies_of(d.sent);
    out.key = client.key;
    return out;
}

// The whole extended-security exchange for the kinds of client and the
// logon it ends in.
TEST(SessionSetup, ExtendedExchanges)
{
    struct row {
        const char *what;
        const char *guest;
        const char *signing;
        bool spnego, key_exch, anonymous;
        bool client_signs;  // the final leg carries FLAGS2 0x0004
        std::string user, password;
        uint32_t status;  // of the final leg
        bool as_guest;
    } rows[] = {
        {"user, SPNEGO, key exchange", "off", "enabled", true, true, false, false, "alice", "secret", 0, false},
        {"user asking for signatures, signing enabled", "off", "enabled", true, true, false, true, "alice", "secret",
         0, false},
        {"user, SPNEGO, no key exchange, signing required", "off", "required", true, false, false, false, "alice",
         "secret", 0, false},
        {"user in other case, key exchange, signing required", "off", "required", true, true, false, false, "ALICE",
         "secret", 0, false},
        {"second account, bare NTLMSSP, signing required", "off", "required", false, true, false, false, "bob",
         "hunter2", 0, false},
        {"wrong password", "off", "enabled", true, true, false, false, "alice", "wrong", NT_STATUS_LOGON_FAILURE, false},
        {"unknown user", "off", "enabled", true, true, false, false, "carol", "secret", NT_STATUS_LOGON_FAILURE, false},
        {"empty user name, guests off", "off", "enabled", true, true, false, false, "", "", NT_STATUS_LOGON_FAILURE, false},
        {"anonymous, guests off", "off", "enabled", true, true, true, false, "", "", NT_STATUS_LOGON_FAILURE, false},
        {"right password, guests on", "on", "enabled", true, true, false, false, "alice", "secret", 0, true},
        {"guest asking for signatures, signing enabled", "on", "enabled", true, true, false, true, "alice", "secret",
         0, true},
        {"wrong password, guests on", "on", "required", true, true, false, false, "alice", "wrong", 0, true},
        {"anonymous, guests on, bare NTLMSSP", "on", "enabled", false, true, true, false, "", "", 0, true},
    };
    for (const row &r : rows) {
        smb1_world g;
        g.set("guest", r.guest);
        g.set("signing", r.signing);
        g.user("alice", "secret");
        g.user("bob", "hunter2");
        bool required = std::string(r.signing) == "required";
        ext_client client;
        client.spnego = r.spnego;
        client.creds.user = r.user;
        client.creds.password = r.password;
        client.creds.domain = "WORKGROUP";
        client.creds.key_exch = r.key_exch;
        client.anonymous = r.anonymous;
        client.sign = r.client_signs;
        stat_watch w;
        ext_run run = ext_logon(g, client);
        ASSERT_EQ(run.replies.size(), 4u) << r.what;
        const smb1_reply &chal = run.replies[1], &fin = run.replies[2];

        // One logon event: the account for a user logon, else the name the
        // client gave (none for an anonymous one).
        std::vector<event_rec> ev = g.events();
        ASSERT_EQ(ev.size(), 3u) << r.what << ": accepted, the logon, the disconnect";
        EXPECT_EQ(ev[1].kind, r.status == 0 ? tb1s_event_kind::logon_ok : tb1s_event_kind::logon_failed) << r.what;
        std::string account = r.user == "ALICE" ? "alice" : r.user;
        EXPECT_EQ(ev[1].user, r.status == 0 && !r.as_guest ? account : r.anonymous ? "" : r.user) << r.what;
        EXPECT_EQ(ev[1].guest, r.as_guest || r.anonymous ? 1 : 0) << r.what;
        EXPECT_EQ(ev[1].peer, "127.0.0.1") << r.what;

        EXPECT_EQ(chal.status, NT_STATUS_MORE_PROCESSING_REQUIRED) << r.what;
        EXPECT_EQ(chal.uid, 1) << r.what;
        EXPECT_EQ(chal.wc, 4) << r.what;
        EXPECT_EQ(chal.word(0), 0x00FF) << r.what;
        EXPECT_EQ(chal.word(2), 0) << r.what << ": Action";
        bytes blob = reply_blob(chal);
        EXPECT_EQ(blob[0], r.spnego ? 0xA1 : 'N') << r.what << ": a negTokenResp, or the bare message";
        EXPECT_EQ(to_hex(chal.data), to_hex(cat({blob, server_texts()}))) << r.what << ": the texts in both forms";
        EXPECT_EQ(chal.flags2 & 0x8000, 0) << r.what << ": the texts are 8-bit";
        EXPECT_EQ(to_hex(chal.signature), "0000000000000000") << r.what;

        EXPECT_EQ(fin.status, r.status) << r.what;
        EXPECT_EQ(fin.uid, 1) << r.what;
        if (r.status != 0) {
            EXPECT_EQ(to_hex(body(fin)), "03ff00000000000000") << r.what;
            EXPECT_EQ(w.delta(STAT_LOGON_FAILED), 1) << r.what;
            EXPECT_EQ(w.delta(STAT_SESSIONS) + w.delta(STAT_GUEST_SESSIONS), 0) << r.what;
            continue;
        }
        EXPECT_EQ(fin.wc, 4) << r.what;
        EXPECT_EQ(fin.word(2), r.as_guest ? 1 : 0) << r.what << ": Action";
        tb1s_buf done{};
        tb1s_spnego_done(&done);
        bytes want = r.spnego ? cat({bytes(done.data, done.data + done.len), server_texts()}) : server_texts();
        tb1s_buf_free(&done);
        EXPECT_EQ(fin.word(3), r.spnego ? 23 : 0) << r.what;
        EXPECT_EQ(fin.byte_count, want.size()) << r.what;
        EXPECT_EQ(to_hex(fin.data), to_hex(want)) << r.what;
        EXPECT_EQ(w.delta(STAT_SESSIONS), r.as_guest ? 0 : 1) << r.what;
        EXPECT_EQ(w.delta(STAT_GUEST_SESSIONS), r.as_guest ? 1 : 0) << r.what;
        EXPECT_EQ(w.delta(STAT_SIGN_REQUIRED_SESSIONS), required ? 1 : 0) << r.what;
        EXPECT_EQ(w.delta(STAT_LOGON_FAILED), 0) << r.what;

        // Signing starts with the final reply (sequence number 1, the logon
        // request being 0) when the option requires it or a user asks for
        // it. A user's key signs; a guest's key is zero unless the empty
        // password verified.
        const smb1_reply &after = run.replies[3];
        if (!required && !(r.client_signs && !r.as_guest)) {
            EXPECT_EQ(to_hex(fin.signature), "0000000000000000") << r.what;
            EXPECT_EQ(to_hex(after.signature), "0000000000000000") << r.what;
        } else {
            bytes key = r.as_guest ? bytes(16, 0) : run.key;
            EXPECT_EQ(fin.flags2 & 0x0004, 0x0004) << r.what;
            EXPECT_EQ(to_hex(fin.signature), to_hex(smb1_signature(key, fin.raw, 1))) << r.what;
            EXPECT_EQ(to_hex(after.signature), to_hex(smb1_signature(key, after.raw, 3))) << r.what;
        }
    }
}

// With guests on, an AUTHENTICATE_MESSAGE the verifier refuses is not a
// guest logon.
TEST(SessionSetup, MalformedAuthenticateIsInvalidParameterOnBothPaths)
{
    for (const char *guest : {"on", "off"}) {
        smb1_world g;
        g.set("guest", guest);
        g.user("alice", "secret");
        ntlm_creds creds;
        creds.user = "alice";
        creds.password = "secret";
        session_rig rig(g);
        smb1_reply nego = rig.serve(negotiate_request());
        bytes key;
        bytes m = ntlm_authenticate(ntlm_in(reply_blob(nego)), creds, &key);
        m[60] = 0x01;  // NegotiateFlags 0x..0201: NTLM without extended session security
        m[61] = 0x02;
        m[62] = 0x00;
        m[63] = 0x00;
        stat_watch w;
        smb1_reply p = rig.serve(setup_ext_request(spnego_wrap_resp(m)));
        EXPECT_EQ(p.status, NT_STATUS_INVALID_PARAMETER) << guest;
        EXPECT_EQ(w.delta(STAT_LOGON_FAILED), 1) << guest;
        EXPECT_EQ(rig.s->logged_on, 0) << guest;
    }
}

// Only a challenge the connection's NEGOTIATE issued can verify an account:
// without one the session's challenge is not fresh (all zero), and a
// response to it could have been collected in advance. Guests still log on.
TEST(SessionSetup, AccountLogonWithoutNegotiateIsRefused)
{
    smb1_world g;
    g.set("guest", "off");
    g.user("alice", "secret");
    ntlm_creds creds;
    creds.user = "alice";
    creds.password = "secret";
    for (bool negotiated : {true, false}) {  // the same client, with and without a NEGOTIATE first
        session_rig rig(g);
        if (negotiated)
            rig.serve(negotiate_request());
        smb1_reply chal = rig.serve(setup_ext_request(spnego_wrap_init(ntlm_negotiate())));
        ASSERT_EQ(chal.status, NT_STATUS_MORE_PROCESSING_REQUIRED);
        bytes key;
        stat_watch w;
        smb1_reply p = rig.serve(setup_ext_request(spnego_wrap_resp(ntlm_authenticate(ntlm_in(reply_blob(chal)),
                                                                                       creds, &key))));
        EXPECT_EQ(p.status, negotiated ? 0u : NT_STATUS_LOGON_FAILURE) << negotiated;
        EXPECT_EQ(rig.s->logged_on, negotiated ? 1 : 0) << negotiated;
        EXPECT_EQ(w.delta(STAT_LOGON_FAILED), negotiated ? 0 : 1) << negotiated;
    }

    // The 13-word form answers the challenge in the session, issued or not.
    g.set("ntlm_timecheck", "off");
    const bytes owf = ntowfv2("alice", "", "secret");
    for (bool negotiated : {true, false}) {
        session_rig rig(g);
        if (negotiated)
            rig.serve(negotiate_request());
        bytes challenge(rig.s->challenge, rig.s->challenge + 8);
        EXPECT_EQ(challenge == bytes(8, 0), !negotiated);
        bytes nt = ntlmv2_response(owf, challenge, bytes(8, 0xAA), 0, av_pairs({{0, {}}}));
        smb1_reply p = rig.serve(setup_nonext_request(lmv2_response(owf, challenge, bytes(8, 0xAA)), nt));
        EXPECT_EQ(p.status, negotiated ? 0u : NT_STATUS_LOGON_FAILURE) << negotiated;
        EXPECT_EQ(rig.s->logged_on, negotiated ? 1 : 0) << negotiated;
    }

    g.set("guest", "on");
    session_rig guest(g);
    smb1_reply p = guest.serve(setup_nonext_request({}, {}));
    EXPECT_EQ(p.status, 0u) << "a guest proves nothing, so needs no challenge";
    EXPECT_EQ(guest.s->guest, 1);
}

// A client that takes the challenge from the NEGOTIATE reply and logs on in
// one leg gets no UID.
TEST(SessionSetup, SingleLegLogonKeepsUidZero)
{
    smb1_world g;
    g.set("guest", "off");
    g.user("alice", "secret");
    ntlm_creds creds;
    creds.user = "alice";
    creds.password = "secret";
    session_rig rig(g);
    smb1_reply nego = rig.serve(negotiate_request());
    bytes key;
    smb1_reply p = rig.serve(setup_ext_request(spnego_wrap_resp(ntlm_authenticate(ntlm_in(reply_blob(nego)), creds,
                                                                                   &key))));
    EXPECT_EQ(p.status, 0u);
    EXPECT_EQ(p.uid, 0);
    EXPECT_EQ(rig.s->logged_on, 1);
    EXPECT_EQ(to_hex(bytes(rig.s->sign_key, rig.s->sign_key + 16)), to_hex(key));
}

// One request each after a NEGOTIATE; every refusal has the same short form
// and is counted, in NT and DOS form.
TEST(SessionSetup, RefusedRequests)
{
    smb1_world g;
    g.set("guest", "on");
    auto ext = [](const bytes &blob) { return setup_ext_request(blob); };
    auto words_only = [](int wc, size_t nbytes) {
        smb1_request r;
        r.cmd = 0x73;
        r.words = bytes(nbytes, 0);
        r.wc = wc;
        r.omit_byte_count = true;
        return r;
    };
    bytes nego = ntlm_negotiate();
    bytes type2 = nego;
    type2[8] = 2;
    smb1_request blob_past_end = ext(spnego_wrap_init(nego));
    blob_past_end.words[14] = 0xFF;  // SecurityBlobLength 255 and ByteCount 0
    blob_past_end.byte_count = 0;
    smb1_request bc_over_body = ext(spnego_wrap_init(nego));
    bc_over_body.byte_count = 4000;  // ignored: SecurityBlobLength is used
    smb1_request bc_too_big = ext(spnego_wrap_init(nego));
    bc_too_big.data.resize(40);  // the message ends inside the ByteCount's bytes
    bc_too_big.byte_count = 60;
    smb1_request empty_blob = ext({});
    empty_blob.data = {0, 0};  // SecurityBlobLength 0, ByteCount 2
    empty_blob.byte_count = 0;
    smb1_request bare11 = ext(bytes(nego.begin(), nego.begin() + 11));
    bare11.data.resize(11);  // ByteCount names the blob alone
    struct row {
        const char *what;
        smb1_request r;
        uint32_t nt, dos;  // 0: not refused
    } rows[] = {
        {"WordCount 0", words_only(0, 0), NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID},
        {"WordCount 11", words_only(11, 22), NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID},
        {"WordCount 14", words_only(14, 28), NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID},
        {"12 words, no ByteCount", words_only(12, 24), NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID},
        {"12 words, ByteCount, one blob byte", words_only(12, 27), NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID},
        {"blob past the end", blob_past_end, NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID},
        {"ByteCount past the end", bc_too_big, NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID},
        {"ByteCount over the body", bc_over_body, 0, 0},
        {"empty blob", empty_blob, NT_STATUS_LOGON_FAILURE, TB1S_DOS_SRV_REFUSED},
        {"blob of zero bytes", ext({0, 0}), NT_STATUS_LOGON_FAILURE, TB1S_DOS_SRV_REFUSED},
        {"blob of garbage", ext(from_hex("3003020100")), NT_STATUS_LOGON_FAILURE, TB1S_DOS_SRV_REFUSED},
        {"mechTypes without NTLMSSP", ext(from_hex("601d06062b0601050502a0133011a00f300d06092a864886f712010202")),
         NT_STATUS_LOGON_FAILURE, TB1S_DOS_SRV_REFUSED},
        {"token that is not NTLMSSP", ext(spnego_wrap_resp(from_hex("4e544c4d5353500101000000"))), NT_STATUS_LOGON_FAILURE,
         TB1S_DOS_SRV_REFUSED},
        {"NTLMSSP token of 11 bytes", ext(spnego_wrap_resp(bytes(nego.begin(), nego.begin() + 11))), NT_STATUS_LOGON_FAILURE,
         TB1S_DOS_SRV_REFUSED},
        {"bare NTLMSSP of 11 bytes", bare11, NT_STATUS_LOGON_FAILURE, TB1S_DOS_SRV_REFUSED},
        {"message type 2", ext(spnego_wrap_init(type2)), NT_STATUS_INVALID_PARAMETER, TB1S_DOS_INVALID},
        {"13 words, lengths past the end", setup_nonext_request(bytes(24, 1), bytes(200, 2)), 0, 0},
        {"13 words, NTLMv1 response", setup_nonext_request(bytes(24, 1), bytes(24, 2)), NT_STATUS_LOGON_FAILURE, TB1S_DOS_SRV_REFUSED},
        {"13 words, LM of 23 bytes", setup_nonext_request(bytes(23, 1), bytes(60, 2)), NT_STATUS_LOGON_FAILURE, TB1S_DOS_SRV_REFUSED},
        {"13 words, NT of 23 bytes", setup_nonext_request(bytes(24, 1), bytes(23, 2)), NT_STATUS_LOGON_FAILURE, TB1S_DOS_SRV_REFUSED},
        {"13 words, no account", setup_nonext_request(bytes(24, 1), bytes(60, 2)), NT_STATUS_LOGON_FAILURE, TB1S_DOS_SRV_REFUSED},
    };
    // Lengths that claim 20 bytes more than the message holds.
    rows[16].r.words[14] = 24;
    rows[16].r.words[16] = 220 - 24;
    rows[16].r.data.resize(100);
    rows[16].nt = NT_STATUS_INVALID_PARAMETER;
    rows[16].dos = TB1S_DOS_INVALID;
    for (const row &r : rows) {
        for (bool nt : {true, false}) {
            std::string what = std::string(r.what) + (nt ? " (NT)" : " (DOS)");
            session_rig rig(g);
            rig.serve(negotiate_request());
            smb1_request q = r.r;
            q.flags2 = uint16_t(nt ? (q.flags2 | 0x4000) : (q.flags2 & ~0x4000));
            stat_watch w;
            smb1_reply p = rig.serve(q);
            if (r.nt == 0) {
                EXPECT_EQ(p.status, NT_STATUS_MORE_PROCESSING_REQUIRED) << what << ": always in NT form";
                continue;
            }
            EXPECT_EQ(p.status, nt ? r.nt : r.dos) << what;
            EXPECT_EQ(to_hex(body(p)), "03ff00000000000000") << what;
            EXPECT_EQ(w.delta(STAT_LOGON_FAILED), 1) << what;
            EXPECT_EQ(rig.s->logon_failures, 1) << what;
            EXPECT_EQ(rig.s->logged_on, 0) << what;
        }
    }
}

// Blobs without an NTLMSSP message get the challenge, always wrapped; the
// NTLMSSP identifier alone in GSS-API framing marks a bare-NTLMSSP client.
TEST(SessionSetup, BlobsWithoutTokenGetAWrappedChallenge)
{
    smb1_world g;
    struct row {
        const char *what;
        bytes blob;
    } rows[] = {
        {"negTokenInit without mechToken", from_hex("601c06062b0601050502a0123010a00e300c060a2b06010401823702020a")},
        {"GSS-API NTLMSSP identifier", from_hex("600c060a2b06010401823702020a")},
    };
    for (const row &r : rows) {
        session_rig rig(g);
        smb1_reply nego = rig.serve(negotiate_request());
        smb1_reply p = rig.serve(setup_ext_request(r.blob));
        EXPECT_EQ(p.status, NT_STATUS_MORE_PROCESSING_REQUIRED) << r.what;
        bytes blob = reply_blob(p);
        ASSERT_FALSE(blob.empty()) << r.what;
        EXPECT_EQ(blob[0], 0xA1) << r.what;
        bytes chal, info;
        EXPECT_TRUE(read_challenge(ntlm_in(blob), &chal, &info)) << r.what;
        EXPECT_EQ(p.data.size(), blob.size() + 43u) << r.what;
    }
}

// The 13-word form with LMv2 and NTLMv2 responses, and anonymous.
TEST(SessionSetup, NonExtendedLogons)
{
    const bytes client_chal(8, 0x5A);
    struct row {
        const char *what;
        const char *guest;
        const char *signing;
        std::string password;  // for alice; empty with anonymous
        bool anonymous;
        bool client_signs;     // the request carries FLAGS2 0x0004
        uint32_t status;
        uint16_t action;
    } rows[] = {
        {"NTLMv2 and LMv2", "off", "enabled", "secret", false, false, 0, 0},
        {"NTLMv2 and LMv2, signing required", "on", "required", "secret", false, false, 0, 0},
        {"NTLMv2 and LMv2, client asks for signatures", "off", "enabled", "secret", false, true, 0, 0},
        {"wrong password", "off", "enabled", "wrong", false, false, NT_STATUS_LOGON_FAILURE, 0},
        {"anonymous, guests on", "on", "enabled", "", true, false, 0, 1},
        {"anonymous, guests off", "off", "enabled", "", true, false, NT_STATUS_LOGON_FAILURE, 0},
    };
    for (const row &r : rows) {
        smb1_world g;
        g.set("guest", r.guest);
        g.set("signing", r.signing);
        g.user("bob", "hunter2");
        g.user("alice", "secret");
        session_rig rig(g);
        smb1_reply nego = rig.serve(negotiate_request());
        bytes chal, info;
        ASSERT_TRUE(read_challenge(ntlm_in(reply_blob(nego)), &chal, &info));
        bytes owf = ntowfv2("alice", "", r.password);
        bytes nt = r.anonymous ? bytes{} : ntlmv2_response(owf, chal, client_chal, filetime_of(1700000000), info);
        bytes lm = r.anonymous ? bytes{} : lmv2_response(owf, chal, client_chal);
        stat_watch w;
        smb1_request q = setup_nonext_request(lm, nt, "alice");
        if (r.client_signs)
            q.flags2 |= 0x0004;
        smb1_reply p = rig.serve(q);
        EXPECT_EQ(p.status, r.status) << r.what;
        EXPECT_EQ(to_hex(body(p)), "03ff000000" + to_hex(le().u16(r.action)) + "0000") << r.what;
        EXPECT_EQ(rig.s->ext_sec, 0) << r.what;
        EXPECT_EQ(rig.s->client_bufsize, 16644u) << r.what;
        EXPECT_EQ(w.delta(STAT_SIGN_REQUIRED_SESSIONS), 0) << r.what;
        if (r.status != 0) {
            EXPECT_EQ(w.delta(STAT_LOGON_FAILED), 1) << r.what;
            EXPECT_EQ(p.uid, 0) << r.what;
            continue;
        }
        EXPECT_EQ(p.uid, 1) << r.what;
        EXPECT_EQ(w.delta(r.anonymous ? STAT_GUEST_SESSIONS : STAT_SESSIONS), 1) << r.what;
        bool signs = std::string(r.signing) == "required" || r.client_signs;
        smb1_reply after = rig.serve(echo_request());
        if (signs) {
            // This form signs with the session key followed by the NT response.
            bytes mac_key = session_base_key(owf, nt);
            mac_key.insert(mac_key.end(), nt.begin(), nt.end());
            EXPECT_EQ(to_hex(p.signature), to_hex(smb1_signature(mac_key, p.raw, 1))) << r.what;
            EXPECT_EQ(to_hex(after.signature), to_hex(smb1_signature(mac_key, after.raw, 3))) << r.what;
        } else {
            EXPECT_EQ(to_hex(p.signature), "0000000000000000") << r.what;
        }
        EXPECT_EQ(after.flags2 & 0x0002, 0) << r.what << ": no longer extended security";
    }
}

// One logon at a time; LOGOFF allows the next, with the next UID.
TEST(SessionSetup, AlreadyLoggedOnAndUidSequence)
{
    smb1_world g;
    g.set("guest", "on");
    session_rig rig(g);
    rig.serve(negotiate_request());
    ext_client client;
    std::vector<uint16_t> uids;
    for (int round = 0; round < 4; round++) {
        smb1_reply chal = rig.serve(client.negotiate_leg());
        uids.push_back(chal.uid);
        smb1_reply fin = rig.serve(client.authenticate_leg(reply_blob(chal)));
        EXPECT_EQ(fin.status, 0u);
        uids.push_back(fin.uid);

        for (bool nt : {true, false}) {
            stat_watch w;
            smb1_request again = client.negotiate_leg();
            if (!nt)
                again.flags2 &= uint16_t(~0x4000);
            smb1_reply p = rig.serve(again);
            EXPECT_EQ(p.status, nt ? NT_STATUS_REQUEST_NOT_ACCEPTED : TB1S_DOS_SRV_REFUSED);
            EXPECT_EQ(to_hex(body(p)), "03ff00000000000000");
            EXPECT_EQ(w.delta(STAT_LOGON_FAILED), 0);
            EXPECT_EQ(rig.s->logged_on, 1);
            EXPECT_EQ(rig.s->logon_failures, 0);
        }
        smb1_reply off = rig.serve(logoff());
        EXPECT_EQ(off.uid, 0);
    }
    EXPECT_EQ(uids, (std::vector<uint16_t>{1, 1, 2, 2, 3, 3, 4, 4})) << "a new UID for every logon after a LOGOFF";
}

// The connection ends after the failure that reaches max_login_failures;
// failures on other connections do not count.
TEST(SessionSetup, FailureLimitClosesTheConnection)
{
    smb1_world g;
    g.set("max_login_failures", "3");
    smb1_request bad = setup_ext_request(from_hex("3003020100"));
    for (int round = 0; round < 2; round++) {
        stat_watch w;
        conn c(g);
        c.feed(smb1_frame(negotiate_request()));
        c.feed(smb1_frame(bad)).feed(smb1_frame(bad)).feed(smb1_frame(echo_request()));
        c.feed(smb1_frame(bad)).feed(smb1_frame(bad)).feed(smb1_frame(echo_request()));
        c.run();
        std::vector<smb1_reply> got = replies_of(c.writes);
        ASSERT_EQ(got.size(), 5u) << "NEGOTIATE, two failures, ECHO, the third failure";
        EXPECT_EQ(got[3].cmd, 0x2B);
        EXPECT_EQ(got[4].status, NT_STATUS_LOGON_FAILURE);
        EXPECT_EQ(w.delta(STAT_LOGON_FAILED), 3);
    }
}

// The client's MaxBufferSize is kept from either form, also from a refused
// request.
TEST(SessionSetup, ClientBufferSizeIsRecorded)
{
    smb1_world g;
    session_rig rig(g);
    smb1_request r = setup_ext_request(from_hex("3003020100"));
    r.words[4] = 0x34;
    r.words[5] = 0x12;
    rig.serve(r);
    EXPECT_EQ(rig.s->client_bufsize, 0x1234u);
    EXPECT_EQ(rig.s->ext_sec, 1);
}

}  // namespace
