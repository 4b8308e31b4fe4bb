// Writes the seed inputs of the fuzz corpus: valid and near-valid messages
// of each kind, made with the test client helper for the challenge, time
// and accounts of targets/fuzz_accounts.h. Usage: make-seeds CORPUS_DIR
// (files are named seed-*; other files in the corpus are left alone).
#include <cstdio>
#include <filesystem>
#include <string>

#include "ntlm/ntlmssp.h"
#include "ntlm/spnego.h"
#include "ntlm_client.h"
#include "smb1.h"
#include "targets/fuzz_accounts.h"
#include "tbsmb1s.h"

using namespace tb1s;

using namespace tb1s_test;

namespace {

int g_failed = 0;

void put(const std::string &dir, const std::string &name, const bytes &b)
{
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    std::string path = dir + "/seed-" + name;
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(b.data(), 1, b.size(), f) != b.size()) {
        std::fprintf(stderr, "make-seeds: cannot write %s\n", path.c_str());
        g_failed = 1;
    }
    if (f)
        std::fclose(f);
}

bytes take(tb1s_buf *b)
{
    bytes out(b->data, b->data + b->len);
    tb1s_buf_free(b);
    return out;
}

const bytes k_chal(k_fuzz_challenge, k_fuzz_challenge + 8);
const bytes k_client_chal(8, 0xAA);

// A logon by the fuzzed account against this server's challenge, with a
// few variations of the fields.
struct logon {
    std::string user = "User", domain = "Domain", password = "Password";
    int64_t ts = k_fuzz_now;
    bool key_exch = true;
    std::vector<av_pair> extra_av;  // placed before the timestamp

    auth_fields fields() const
    {
        bytes n = utf16le("TALVERNBEACON");
        std::vector<av_pair> av = {{2, n}, {1, n}, {3, {}}, {4, {}}};
        av.insert(av.end(), extra_av.begin(), extra_av.end());
        av.push_back({7, filetime_bytes(ts ? filetime_of(ts) : 0)});
        av.push_back({0, {}});
        bytes owf = ntowfv2(user, domain, password);
        auth_fields f;
        f.nt = ntlmv2_response(owf, k_chal, k_client_chal, filetime_of(ts), av_pairs(av));
        f.lm = lmv2_response(owf, k_chal, k_client_chal);
        f.domain = utf16le(domain);
        f.user = utf16le(user);
        f.workstation = utf16le("CLIENT");
        if (key_exch)
            f.enc_key = rc4(session_base_key(owf, f.nt), bytes(16, 0x55));
        else
            f.flags &= ~0x40000000u;
        return f;
    }
    bytes message() const { return authenticate_message(fields()); }
};

void spnego_seeds(const std::string &dir)
{
    const bytes nego = ntlm_negotiate();
    put(dir, "raw-negotiate", nego);
    put(dir, "init-negotiate", spnego_wrap_init(nego));
    put(dir, "resp-authenticate", spnego_wrap_resp(logon().message()));
    // negTokenResp without the SEQUENCE.
    put(dir, "resp-no-sequence", der_tlv(0xA1, der_tlv(0xA2, der_tlv(0x04, nego))));
    put(dir, "gss-ntlm-oid", from_hex("60 0c 06 0a 2b 06 01 04 01 82 37 02 02 0a"));
    // mechTypes with Kerberos first, reqFlags, mechToken and a mechListMIC.
    put(dir, "init-full",
        from_hex("60 48 06 06 2b 06 01 05 05 02 a0 3e 30 3c a0 1b 30 19 06 09 2a 86 48 86 f7 12 01 02 02 06 0a 2b 06 "
                 "01 04 01 82 37 02 02 0a a1 04 03 02 00 00 a2 0d 04 0b 4e 54 4c 4d 53 53 50 00 01 00 00 a3 0a 04 "
                 "08 00 00 00 00 00 00 00 00"));
    put(dir, "init-kerberos-only", from_hex("60 1d 06 06 2b 06 01 05 05 02 a0 13 30 11 a0 0f 30 0d 06 09 2a 86 48 86 "
                                            "f7 12 01 02 02"));

    tb1s_buf b{};
    tb1s_spnego_init_tok_nomect(&b);
    put(dir, "server-init-nomect", take(&b));
    bytes challenge;
    tb1s_ntlm_type2(nullptr, k_fuzz_challenge, k_fuzz_now, &b);
    challenge = take(&b);
    tb1s_spnego_init_tok(challenge.data(), challenge.size(), &b);
    put(dir, "server-init", take(&b));
    tb1s_spnego_resp(challenge.data(), challenge.size(), &b);
    put(dir, "server-resp", take(&b));
    tb1s_spnego_done(&b);
    put(dir, "server-done", take(&b));
}

void type3_seeds(const std::string &dir)
{
    put(dir, "valid-keyexch", logon().message());
    logon l;
    l.key_exch = false;
    put(dir, "valid-plain", l.message());
    l = logon();
    l.user = "user";
    put(dir, "valid-lowercase-user", l.message());
    l = logon();
    l.ts = 0;
    put(dir, "valid-ts-zero", l.message());
    l = logon();
    // As Windows sends: MsvAvFlags (MIC present), a channel binding hash and a target name.
    l.extra_av = {{6, from_hex("02000000")}, {10, bytes(16, 0)}, {9, utf16le("cifs/TALVERNBEACON")}};
    put(dir, "valid-windows-av", l.message());
    l = logon();
    l.user = l.password = l.domain = "";
    put(dir, "valid-empty-account", l.message());

    auth_fields f = logon().fields();
    f.nt.clear();
    f.lm = bytes(1, 0);
    put(dir, "anonymous", authenticate_message(f));
    f = logon().fields();
    f.nt.resize(40);
    put(dir, "short-nt", authenticate_message(f));
    f = logon().fields();
    f.flags = 0x00000201;
    put(dir, "ntlm-only-flags", authenticate_message(f));
    f = logon().fields();
    f.enc_key.resize(15);
    put(dir, "key-15", authenticate_message(f));
}

void nonext_seeds(const std::string &dir)
{
    auto input = [](const bytes &lm, const bytes &nt) {
        bytes out{uint8_t(lm.size())};
        out.insert(out.end(), lm.begin(), lm.end());
        out.insert(out.end(), nt.begin(), nt.end());
        return out;
    };
    const bytes owf = ntowfv2("User", "", "Password");
    const bytes lm = lmv2_response(owf, k_chal, k_client_chal);
    auto nt = [&](uint64_t ft) {
        bytes av = av_pairs({{2, utf16le("DOM")}, {1, utf16le("PC")}, {7, filetime_bytes(ft)}, {0, {}}});
        return ntlmv2_response(owf, k_chal, k_client_chal, ft, av);
    };
    put(dir, "valid", input(lm, nt(filetime_of(k_fuzz_now))));
    put(dir, "valid-ts-zero", input(lm, nt(0)));
    put(dir, "ntlmv1", input(lm, bytes(24, 0x11)));
    bytes bad_lm = lm;
    bad_lm[0] ^= 1;
    put(dir, "lmv2-wrong", input(bad_lm, nt(filetime_of(k_fuzz_now))));
}

// An input of the engine target: the option bits, then the messages
// separated by the marker.
bytes conversation(uint8_t bits, const std::vector<bytes> &messages)
{
    bytes out{bits};
    for (size_t i = 0; i < messages.size(); i++) {
        if (i > 0)
            out.insert(out.end(), k_fuzz_sep, k_fuzz_sep + sizeof k_fuzz_sep);
        out.insert(out.end(), messages[i].begin(), messages[i].end());
    }
    return out;
}

bytes msg(const smb1_request &r) { return smb1_message(r); }

void engine_seeds(const std::string &dir)
{
    // The server's CHALLENGE_MESSAGE depends only on its name and the
    // clock, so the one in the NEGOTIATE answer is the one every leg sends.
    tbsmb1s_set_option("allow_smb1", "1");
    tbsmb1s_set_option("clock", std::to_string(k_fuzz_now).c_str());
    transcript t = parse_transcript(run_sim(script({smb1_frame(negotiate_request())})));
    bytes challenge = t.replies.empty() ? bytes{} : ntlm_in(reply_blob(t.replies[0]));
    bytes chal, info;
    if (!read_challenge(challenge, &chal, &info)) {
        std::fprintf(stderr, "make-seeds: no CHALLENGE_MESSAGE in the NEGOTIATE answer\n");
        g_failed = 1;
        return;
    }

    const bytes nego = msg(negotiate_request());
    const bytes echo = msg(echo_request());
    const bytes off = msg(request(0x74, le().u8(0xFF).u8(0).u16(0)));
    auto authenticate = [&](const std::string &user, const std::string &password, bool key_exch, bool wrap) {
        ntlm_creds c;
        c.user = user;
        c.password = password;
        c.domain = "WORKGROUP";
        c.key_exch = key_exch;
        bytes key;
        bytes m = ntlm_authenticate(challenge, c, &key);
        return msg(setup_ext_request(wrap ? spnego_wrap_resp(m) : m));
    };
    const bytes leg1 = msg(setup_ext_request(spnego_wrap_init(ntlm_negotiate())));
    const bytes leg1_raw = msg(setup_ext_request(ntlm_negotiate()));
    const char *user = k_fuzz_accounts[0].user, *password = k_fuzz_accounts[0].password;

    put(dir, "nego", conversation(0, {nego}));
    put(dir, "smb1-off", conversation(FUZZ_SMB1_OFF, {nego, echo}));
    put(dir, "smb2-offer", conversation(0, {msg(negotiate_request({"NT LM 0.12", "SMB 2.002", "SMB 2.???"})), echo}));
    put(dir, "logon-user", conversation(FUZZ_GUEST_OFF, {nego, leg1, authenticate(user, password, true, true), echo, off}));
    put(dir, "logon-user-raw-signed",
        conversation(FUZZ_GUEST_OFF | FUZZ_SIGNING, {nego, leg1_raw, authenticate(user, password, false, false), echo}));
    put(dir, "logon-user-one-leg", conversation(FUZZ_GUEST_OFF | FUZZ_NO_TIMECHECK,
                                                {nego, authenticate(user, password, true, true), echo, off, leg1}));
    put(dir, "logon-wrong-password",
        conversation(FUZZ_GUEST_OFF | FUZZ_ONE_FAILURE, {nego, leg1, authenticate(user, "wrong", true, true), echo}));
    put(dir, "logon-guest", conversation(FUZZ_SIGNING, {nego, leg1, authenticate("", "", true, true), echo, leg1}));

    auth_fields anon;
    anon.lm = {0};
    anon.flags = 0x62000A05;
    put(dir, "logon-anonymous",
        conversation(0, {nego, leg1, msg(setup_ext_request(spnego_wrap_resp(authenticate_message(anon)))), echo}));

    bytes owf = ntowfv2(user, "", password);
    bytes nt = ntlmv2_response(owf, chal, k_client_chal, filetime_of(k_fuzz_now), info);
    bytes lm = lmv2_response(owf, chal, k_client_chal);
    put(dir, "nonext-user", conversation(FUZZ_GUEST_OFF, {nego, msg(setup_nonext_request(lm, nt, user)), echo, off}));
    put(dir, "nonext-anonymous", conversation(0, {nego, msg(setup_nonext_request({}, {})), echo, off,
                                                  msg(setup_nonext_request(lm, bytes(24, 0x11)))}));

    // The commands answered without a handler file, a keep-alive, an SMB2
    // message and a message of 32 bytes.
    smb1_request close = request(0x04, le().u16(0x11).u32(0));
    bytes short_msg = msg(request(0x2B));
    short_msg.resize(32);
    // The srvsvc pipe as scanners use it: opened with supersede, a bind
    // written and read back, a request written in two pieces; a write to a
    // FID that is no pipe, FIND_CLOSE2 and a refused TRANS2 write.
    smb1_request tree = request(0x75, le().u8(0xFF).u8(0).u16(0).u16(0x0008).u16(1),
                                le().u8(0).utf16("\\\\HOST\\IPC$").ascii("?????"));
    smb1_request open = request(0xA2, le().u8(0xFF).u8(0).u16(0).u8(0).u16(14).u32(0x16).u32(0).u32(0x02000000)
                                          .u64(0).u32(0).u32(7).u32(0).u32(0).u32(2).u8(1),
                                le().u8(0).utf16("srvsvc"));
    open.tid = tree.tid = 1;
    auto write = [](uint16_t fid, const bytes &data) {
        smb1_request r = request(0x2F, le().u8(0xFF).u8(0).u16(0).u16(fid).u32(0).u32(0xFFFFFFFF).u16(8)
                                           .u16(uint32_t(data.size())).u16(0).u16(uint32_t(data.size())).u16(63)
                                           .u32(0),
                                 data);
        r.tid = 1;
        return msg(r);
    };
    bytes bind = from_hex("05000b03100000004800000001000000b810b810000000000100000000000100"
                          "c84f324b7016d30112785a47bf6ee18803000000045d888aeb1cc9119fe808002b10486002000000");
    bytes enum_all = from_hex("050000031000000028000000020000001000000000000f00000000000000000000000000");
    st16le(enum_all.data() + 8, uint32_t(enum_all.size()));
    bytes read = msg(request(0x2E, le().u8(0xFF).u8(0).u16(0).u16(0x11).u32(0).u16(0x1001).u16(0).u32(0).u16(0)));
    put(dir, "pipe-write",
        conversation(0, {nego, msg(setup_nonext_request({}, {})), msg(tree), msg(open), write(0x11, bind), read,
                         write(0x11, bytes(enum_all.begin(), enum_all.begin() + 9)),
                         write(0x11, bytes(enum_all.begin() + 9, enum_all.end())), read, read, write(0x21, {'x'}),
                         msg(request(0x34, le().u16(1))),
                         msg(request(0x32, le().u16(2).u16(0).u16(2).u16(0).u8(0).u8(0).u16(0).u32(0).u16(0)
                                               .u16(2).u16(68).u16(0).u16(70).u8(1).u8(0).u16(6),
                                     le().zeros(3).u16(1)))}));
    put(dir, "misc",
        conversation(0, {nego, msg(request(0x05, le().u16(1))), msg(close), msg(request(0x71)), {},
                         msg(request(0xA0)), msg(request(0x34)), msg(request(0x2F, bytes(24, 0), {'x'})),
                         from_hex("fe534d42400000000000000000000000"), short_msg, echo}));
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-seeds CORPUS_DIR\n");
        return 2;
    }
    std::string root = argv[1];
    spnego_seeds(root + "/spnego_init");
    type3_seeds(root + "/ntlm_type3");
    nonext_seeds(root + "/ntlm_nonext");
    engine_seeds(root + "/engine");
    return g_failed;
}
