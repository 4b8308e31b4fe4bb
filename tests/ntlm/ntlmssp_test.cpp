#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "crypto/crypto.h"
#include "ntlm/ntlmssp.h"
#include "ntlm_client.h"
#include "support.h"

using namespace tb1s;

// The crypto module's test hook: when set, tb1s_wipe calls it instead of zeroing.
namespace tb1s {
extern void (*volatile wipe_hook)(void *, uint64_t);
}

namespace {

using namespace tb1s_test;

// Published MS-NLMP NTLMv2 values.
const bytes k_chal = from_hex("0123456789abcdef");
const bytes k_client_chal = bytes(8, 0xAA);
const char *k_ntowf_hex = "0c868a403bfd7a93a3001ef22ef02e3f";
const char *k_lmv2_hex = "86c35097ac9cec102554764a57cccc19aaaaaaaaaaaaaaaa";

TEST(Type2, DefaultNameAtTimeZero)
{
    const bytes chal = from_hex("0102030405060708");
    bytes name = utf16le("TALVERNBEACON");
    bytes want = cat({bytes{'N', 'T', 'L', 'M', 'S', 'S', 'P', 0}, from_hex("02000000 0000000000000000 010688e0"),
                      chal, from_hex("0000000000000000 54005400 30000000 0200 1a00"), name, from_hex("0100 1a00"),
                      name, from_hex("03000000 04000000 07000800 00803ed5deb19d01 00000000")});
    ASSERT_EQ(want.size(), 132u);
    for (const char *server : {static_cast<const char *>(nullptr), "", "TALVERNBEACON"}) {
        owned_buf o;
        EXPECT_EQ(tb1s_ntlm_type2(server, chal.data(), 0, &o.b), 0);
        EXPECT_EQ(to_hex(o.get()), to_hex(want)) << (server ? server : "(null)");
    }
}

TEST(Type2, NameIsCutTo60BytesAndMustConvert)
{
    struct row {
        std::string name;
        int rc;
        size_t len;  // message length
    };
    const row rows[] = {
        {std::string(63, 'N'), 0, 320},
        {"Srv", 0, 92},
        {std::string(58, 'a') + "\xc3\xa9", 0, 80 + 2 * 118},  // two-byte character ends at byte 60
        {std::string(59, 'a') + "\xc3\xa9", -1, 0},           // cut inside it
        {"bad\xff", -1, 0},
    };
    for (const row &r : rows) {
        owned_buf o;
        tb1s_buf_str(&o.b, "x");  // something already there must stay untouched
        EXPECT_EQ(tb1s_ntlm_type2(r.name.c_str(), k_chal.data(), 1700000000, &o.b), r.rc) << r.name;
        EXPECT_EQ(o.b.len, 1 + r.len) << r.name;
        if (r.rc == 0) {
            uint32_t info = uint32_t(o.b.data[1 + 40] | o.b.data[1 + 41] << 8);
            EXPECT_EQ(info, r.len - 48) << r.name;
        }
    }
}

TEST(Hashes, PublishedNtowfv2)
{
    uint8_t nt[16], owf[16];
    tb1s_ntlm_hashes_dom("User", "Domain", "Password", nt, owf);
    EXPECT_EQ(to_hex(nt, 16), "a4f49c406510bdcab6824ee7c30fd852");
    EXPECT_EQ(to_hex(owf, 16), k_ntowf_hex);
    EXPECT_EQ(to_hex(ntowfv2("User", "Domain", "Password")), k_ntowf_hex) << "test client disagrees";

    tb1s_ntlm_hashes_dom("user", "Domain", "Password", nt, owf);
    EXPECT_EQ(to_hex(owf, 16), k_ntowf_hex) << "the user name is upper-cased";
    tb1s_ntlm_hashes_dom("User", "DOMAIN", "Password", nt, owf);
    EXPECT_NE(to_hex(owf, 16), k_ntowf_hex) << "the domain keeps its case";

    uint8_t owf_null[16];
    tb1s_ntlm_hashes_dom("User", nullptr, "Password", nt, owf_null);
    tb1s_ntlm_hashes_dom("User", "", "Password", nt, owf);
    EXPECT_EQ(to_hex(owf_null, 16), to_hex(owf, 16));
    EXPECT_EQ(to_hex(owf, 16), to_hex(ntowfv2("User", "", "Password")));

    tb1s_ntlm_hashes_dom("User", "Domain", "Password", nullptr, owf);  // no place: nothing happens
}

// Clients upper-case the user name by Unicode's simple mapping, one UTF-16
// unit at a time; the test client does it with the C library's tables.
TEST(Hashes, NonAsciiUserNamesAreUpperCasedByUnicode)
{
    struct row {
        const char *user, *same_as;
    };
    const row rows[] = {
        {"jos\xc3\xa9", "JOS\xc3\x89"},                  // josé
        {"\xc3\xbf" "ve", "\xc5\xb8VE"},                   // ÿ has its capital in Latin Extended-A
        {"\xd0\xb8\xd0\xb2\xd0\xb0\xd0\xbd", "\xd0\x98\xd0\x92\xd0\x90\xd0\x9d"},  // иван
        {"stra\xc3\x9f" "e", "STRA\xc3\x9f" "E"},          // ß has no simple capital
        {"\xf0\x90\x90\xa8", "\xf0\x90\x90\xa8"},      // beyond U+FFFF: as it is
    };
    for (const row &r : rows) {
        uint8_t nt[16], owf[16], same[16];
        tb1s_ntlm_hashes_dom(r.user, "Dom", "pw", nt, owf);
        tb1s_ntlm_hashes_dom(r.same_as, "Dom", "pw", nt, same);
        EXPECT_EQ(to_hex(owf, 16), to_hex(same, 16)) << r.user;
        EXPECT_EQ(to_hex(owf, 16), to_hex(ntowfv2(r.user, "Dom", "pw"))) << r.user << ": the test client disagrees";
    }
    uint8_t nt[16], a[16], b[16];
    tb1s_ntlm_hashes_dom("jos\xc3\xa9", "Dom", "pw", nt, a);
    tb1s_ntlm_hashes_dom("JOSE", "Dom", "pw", nt, b);
    EXPECT_NE(to_hex(a, 16), to_hex(b, 16)) << "an accent is no case";
}

TEST(Hashes, PublishedResponses)
{
    bytes owf = from_hex(k_ntowf_hex);
    EXPECT_EQ(to_hex(lmv2_response(owf, k_chal, k_client_chal)), k_lmv2_hex);
    // NTLMv2 response of the same example: time 0, AV pairs Domain/Server.
    bytes av = av_pairs({{2, utf16le("Domain")}, {1, utf16le("Server")}, {0, {}}});
    bytes nt = ntlmv2_response(owf, k_chal, k_client_chal, 0, av);
    EXPECT_EQ(to_hex(bytes(nt.begin(), nt.begin() + 16)), "68cd0ab851e51c96aabc927bebef6a1c");
    EXPECT_EQ(to_hex(session_base_key(owf, nt)), "8de40ccadbc14a82f15cb0ad0de95ca3");
}

constexpr int64_t k_now = 1700000000;

// The server side of a check: the published challenge at k_now.
tb1s_ntlm_check check(const char *server_name = nullptr, int32_t timecheck = 1, int32_t guest_allowed = 1)
{
    return tb1s_ntlm_check{k_chal.data(), server_name, k_now, timecheck, guest_allowed};
}

// A result record full of leftovers, to show the verifier resets it.
tb1s_ntlm_result dirty_result()
{
    tb1s_ntlm_result r;
    std::memset(&r, 0xEE, sizeof r);
    r.guest = 7;
    r.why = "leftover";
    return r;
}

// One logon attempt: what the client sends and what the server checks.
struct scenario {
    // client
    std::string user = "User", domain = "Domain", password = "Password";
    std::string wire_user = "User", wire_domain = "Domain";
    bytes client_sees_chal = k_chal;
    std::vector<av_pair> av = {{2, utf16le("TALVERNBEACON")}, {1, utf16le("TALVERNBEACON")}, {3, {}}, {4, {}},
                               {7, filetime_bytes(filetime_of(k_now))}, {0, {}}};
    bool key_exch = true;
    std::function<void(auth_fields &)> edit;  // last changes to the fields
    // server
    const char *server_name = nullptr;
    std::string acct_user = "User", acct_password = "Password";
    int32_t timecheck = 1;
    int32_t guest_allowed = 1;

    void set_ts(int64_t unix_seconds) { av[4].value = filetime_bytes(filetime_of(unix_seconds)); }
    void drop_av(uint16_t id)
    {
        std::erase_if(av, [id](const av_pair &p) { return p.id == id; });
    }

    bytes owf() const { return ntowfv2(user, domain, password); }
    auth_fields fields() const
    {
        auth_fields f;
        f.nt = ntlmv2_response(owf(), client_sees_chal, k_client_chal, 0, av_pairs(av));
        f.lm = lmv2_response(owf(), client_sees_chal, k_client_chal);
        f.domain = utf16le(wire_domain);
        f.user = utf16le(wire_user);
        f.workstation = utf16le("CLIENT");
        if (key_exch)
            f.enc_key = rc4(session_base_key(owf(), f.nt), bytes(16, 0x55));
        else
            f.flags &= ~0x40000000u;
        if (edit)
            edit(f);
        return f;
    }
};

struct outcome {
    int verdict;
    int32_t guest;
    bytes key;
    std::string user;  // the UserName the verifier read
};

// Verifies on an exact-size heap copy so over-reads are caught. Every
// verdict but 0 comes with a reason.
outcome verify(const bytes &msg, const scenario &s)
{
    std::unique_ptr<uint8_t[]> copy(new uint8_t[msg.size() ? msg.size() : 1]);
    if (!msg.empty())
        std::memcpy(copy.get(), msg.data(), msg.size());
    tb1s_ntlm_check chk = check(s.server_name, s.timecheck, s.guest_allowed);
    tb1s_ntlm_result r = dirty_result();
    outcome o{};
    o.verdict = tb1s_ntlm_type3(copy.get(), msg.size(), &chk, s.acct_user.c_str(), s.acct_password.c_str(), &r);
    o.guest = r.guest;
    o.key.assign(r.session_key, r.session_key + 16);
    o.user = r.user;
    EXPECT_EQ(o.verdict != 0, r.why[0] != 0) << "a reason for the verdict " << o.verdict << ": '" << r.why << "'";
    return o;
}
outcome verify(const scenario &s) { return verify(authenticate_message(s.fields()), s); }

const bytes k_zero_key(16, 0);

TEST(Type3, VerifiesAndDerivesTheSessionKey)
{
    scenario s;
    outcome o = verify(s);
    EXPECT_EQ(o.verdict, 0);
    EXPECT_EQ(o.guest, 0);
    EXPECT_EQ(to_hex(o.key), to_hex(bytes(16, 0x55))) << "key exchange: the client's random key";

    s.key_exch = false;
    o = verify(s);
    EXPECT_EQ(o.verdict, 0);
    bytes nt = s.fields().nt;
    EXPECT_EQ(to_hex(o.key), to_hex(session_base_key(s.owf(), nt))) << "no key exchange: the base key";
}

TEST(Type3, ClientHelperLogsOnAgainstTheServersChallenge)
{
    owned_buf challenge;
    ASSERT_EQ(tb1s_ntlm_type2("Srv1", k_chal.data(), k_now - 30, &challenge.b), 0);
    ntlm_creds c;
    c.user = "alice";
    c.domain = "WORKGROUP";
    c.password = "s3cret \xc3\xa9";
    bytes want_key;
    bytes msg = ntlm_authenticate(challenge.get(), c, &want_key);
    tb1s_ntlm_check chk = check("srv1");
    tb1s_ntlm_result r;
    EXPECT_EQ(tb1s_ntlm_type3(msg.data(), msg.size(), &chk, "Alice", c.password.c_str(), &r), 0);
    EXPECT_EQ(to_hex(r.session_key, 16), to_hex(want_key));
    EXPECT_STREQ(r.user, "alice") << "the name as the client sent it";
    EXPECT_EQ(tb1s_ntlm_type3(msg.data(), msg.size(), &chk, "Alice", "other", &r), 1);
}

// The client's user name matches the account's under Unicode case folding.
TEST(Type3, NonAsciiUserNameInAnotherCase)
{
    scenario s;
    s.user = s.wire_user = "J\xc3\x96RG";  // JÖRG
    s.acct_user = "j\xc3\xb6rg";
    EXPECT_EQ(verify(s).verdict, 0);
    s.acct_user = "jorg";
    EXPECT_EQ(verify(s).verdict, 1);
}

// The account name is compared first: another account gets 1 even for a
// message that would be refused by the later time and name checks.
TEST(Type3, AnotherAccountGives1BeforeTheOtherChecks)
{
    scenario s;
    s.set_ts(k_now + 100000);
    s.av[0].value = utf16le("ELSEWHERE");
    s.acct_user = "Bob";
    EXPECT_EQ(verify(s).verdict, 1);
    s.acct_user = "User";
    EXPECT_EQ(verify(s).verdict, -1);
}

struct type3_case {
    const char *what;
    std::function<void(scenario &)> change;
    int verdict;
    int32_t guest;
};

void put32_at(bytes &b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

TEST(Type3, Verdicts)
{
    const type3_case cases[] = {
        {"as sent", [](scenario &) {}, 0, 0},
        {"user name in other case on the wire",
         [](scenario &s) {
             s.user = "user";
             s.wire_user = "user";
         },
         0, 0},
        {"account name in other case", [](scenario &s) { s.acct_user = "USER"; }, 0, 0},
        {"wrong password", [](scenario &s) { s.acct_password = "password"; }, 1, 0},
        {"proof over another challenge", [](scenario &s) { s.client_sees_chal = from_hex("0000000000000000"); }, 1,
         0},
        {"domain sent in other case than hashed", [](scenario &s) { s.wire_domain = "DOMAIN"; }, 1, 0},
        {"undecodable domain counts as empty",
         [](scenario &s) {
             s.domain = "";
             s.edit = [](auth_fields &f) { f.domain = bytes{'x'}; };
         },
         0, 0},
        {"empty account takes any wire name",
         [](scenario &s) {
             s.user = "";
             s.password = "";
             s.wire_user = "Someone";
             s.acct_user = "";
             s.acct_password = "";
         },
         0, 0},
        {"timestamp 7200 s early", [](scenario &s) { s.set_ts(k_now - 7200); }, 0, 0},
        {"timestamp 7201 s early", [](scenario &s) { s.set_ts(k_now - 7201); }, -1, 0},
        {"timestamp 7200 s late", [](scenario &s) { s.set_ts(k_now + 7200); }, 0, 0},
        {"timestamp 7201 s late", [](scenario &s) { s.set_ts(k_now + 7201); }, -1, 0},
        {"timestamp 0 skips the check", [](scenario &s) { s.av[4].value = filetime_bytes(0); }, 0, 0},
        {"timestamp off, time check off",
         [](scenario &s) {
             s.set_ts(k_now - 100000);
             s.timecheck = 0;
         },
         0, 0},
        {"no timestamp", [](scenario &s) { s.drop_av(7); }, -1, 0},
        {"no timestamp, time check off",
         [](scenario &s) {
             s.drop_av(7);
             s.timecheck = 0;
         },
         0, 0},
        {"timestamp of 4 bytes", [](scenario &s) { s.av[4].value.resize(4); }, -1, 0},
        {"timestamp after EOL", [](scenario &s) { std::swap(s.av[4], s.av[5]); }, -1, 0},
        {"names in other case",
         [](scenario &s) {
             s.av[0].value = utf16le("talvernbeacon");
             s.av[1].value = utf16le("TalvernBeacon");
         },
         0, 0},
        {"NbDomainName differs in its last character", [](scenario &s) { s.av[0].value = utf16le("TALVERNBEACOM"); },
         -1, 0},
        {"NbDomainName one character short", [](scenario &s) { s.av[0].value = utf16le("TALVERNBEACO"); }, -1, 0},
        {"no NbDomainName", [](scenario &s) { s.drop_av(2); }, -1, 0},
        {"NbComputerName differs", [](scenario &s) { s.av[1].value = utf16le("TALVERNBEACOM"); }, -1, 0},
        {"no NbComputerName", [](scenario &s) { s.drop_av(1); }, -1, 0},
        {"server name cut to 60 bytes",
         [](scenario &s) {
             static const std::string long_name(63, 'L');
             s.server_name = long_name.c_str();
             s.av[0].value = s.av[1].value = utf16le(std::string(60, 'L'));
         },
         0, 0},
        {"NTLM without extended session security",
         [](scenario &s) { s.edit = [](auth_fields &f) { f.flags = 0x00000201; }; }, -1, 0},
        {"NTLM with extended session security", [](scenario &s) {
             s.key_exch = false;
             s.edit = [](auth_fields &f) { f.flags = 0x00080201; };
         }, 0, 0},
        {"key exchange with a 15-byte key", [](scenario &s) { s.edit = [](auth_fields &f) { f.enc_key.resize(15); }; },
         -1, 0},
        {"key exchange without a key", [](scenario &s) { s.edit = [](auth_fields &f) { f.enc_key.clear(); }; }, -1,
         0},
        {"1040-byte NT response, the longest",
         [](scenario &s) {
             s.av.insert(s.av.begin() + 5, {9, bytes(904, 'x')});
             s.edit = [](auth_fields &f) { ASSERT_EQ(f.nt.size(), 1040u); };
         },
         0, 0},
        {"blob version 2", [](scenario &s) { s.edit = [](auth_fields &f) { f.nt[16] = 2; }; }, -1, 0},
        {"high blob version 0", [](scenario &s) { s.edit = [](auth_fields &f) { f.nt[17] = 0; }; }, -1, 0},
        {"empty NT response: anonymous",
         [](scenario &s) {
             s.acct_user = "Bob";
             s.edit = [](auth_fields &f) { f.nt.clear(); };
         },
         0, 1},
        {"anonymous with NTLM set and extended session security clear, as smbclient sends it",
         [](scenario &s) {
             s.acct_user = "Bob";
             s.edit = [](auth_fields &f) {
                 f.nt.clear();
                 f.flags = 0x62000a05;
             };
         },
         0, 1},
        {"undecodable user name", [](scenario &s) { s.edit = [](auth_fields &f) { f.user.push_back('x'); }; }, -1, 0},
        {"user name with a NUL unit", [](scenario &s) { s.edit = [](auth_fields &f) { f.user[1 * 2] = 0; }; }, -1,
         0},
    };
    for (const type3_case &c : cases) {
        scenario s;
        c.change(s);
        outcome o = verify(s);
        EXPECT_EQ(o.verdict, c.verdict) << c.what;
        EXPECT_EQ(o.guest, c.guest) << c.what;
        if (o.verdict != 0 || o.guest) {
            EXPECT_EQ(to_hex(o.key), to_hex(k_zero_key)) << c.what << ": key must stay zero";
        }
    }
}

// An NT response too short or too long for NTLMv2 is a guest logon where
// guests are allowed at that moment, and refused otherwise.
TEST(Type3, OddNtLengthIsGuestOnlyWhenGuestsAreAllowed)
{
    for (int32_t guests : {0, 1}) {
        for (size_t n : {size_t(1), size_t(40), size_t(47), size_t(1041)}) {
            scenario s;
            s.guest_allowed = guests;
            s.edit = [n](auth_fields &f) { f.nt.resize(n); };
            outcome o = verify(s);
            EXPECT_EQ(o.verdict, guests ? 0 : -1) << "guests " << guests << ", NT length " << n;
            EXPECT_EQ(o.guest, guests) << "guests " << guests << ", NT length " << n;
            EXPECT_EQ(to_hex(o.key), to_hex(k_zero_key));
        }
    }
}

TEST(Type3, MalformedMessagesAreRefused)
{
    scenario s;
    const bytes good = authenticate_message(s.fields());
    const uint32_t nt_len = uint32_t(good[20] | good[21] << 8);
    const uint32_t user_len = uint32_t(good[36] | good[37] << 8);
    struct row {
        const char *what;
        std::function<void(bytes &)> change;
    };
    const row rows[] = {
        {"31 bytes", [](bytes &m) { m.resize(31); }},
        {"signature", [](bytes &m) { m[7] = 'X'; }},
        {"message type 2", [](bytes &m) { m[8] = 2; }},
        {"flags missing", [](bytes &m) { m.resize(60); }},
        {"NT field past the end", [&](bytes &m) { put32_at(m, 24, uint32_t(m.size()) - nt_len + 1); }},
        {"NT field with offset 0", [](bytes &m) { put32_at(m, 24, 0); }},
        {"NT field with huge offset", [](bytes &m) { put32_at(m, 24, 0xFFFFFFF0u); }},
        {"user field past the end", [&](bytes &m) { put32_at(m, 40, uint32_t(m.size()) - user_len + 2); }},
    };
    for (const row &r : rows) {
        bytes m = good;
        r.change(m);
        outcome o = verify(m, s);
        EXPECT_EQ(o.verdict, -1) << r.what;
        EXPECT_EQ(to_hex(o.key), to_hex(k_zero_key)) << r.what;
    }
    tb1s_ntlm_check chk = check();
    tb1s_ntlm_result none = dirty_result();
    EXPECT_EQ(tb1s_ntlm_type3(nullptr, 100, &chk, "User", "Password", &none), -1);
    EXPECT_EQ(to_hex(none.session_key, 16), to_hex(k_zero_key));
}

// Every shorter prefix of a key-exchange message loses a field it needs
// (the key comes last), so each is refused; AddressSanitizer checks the reads.
TEST(Type3, EveryTruncationIsRefused)
{
    scenario s;
    const bytes good = authenticate_message(s.fields());
    for (size_t n = 0; n < good.size(); n++)
        EXPECT_EQ(verify(bytes(good.begin(), good.begin() + long(n)), s).verdict, -1) << "prefix " << n;
    EXPECT_EQ(verify(good, s).verdict, 0);
}

// Records the content of every wiped area (then zeroes it) while alive.
struct wipe_recorder {
    static inline std::vector<bytes> areas;
    static void record(void *p, uint64_t n)
    {
        auto *b = static_cast<uint8_t *>(p);
        areas.emplace_back(b, b + n);
        std::memset(p, 0, n);
    }
    wipe_recorder()
    {
        areas.clear();
        wipe_hook = record;
    }
    ~wipe_recorder() { wipe_hook = nullptr; }
    static bool holds(const bytes &area, const bytes &secret)
    {
        return std::search(area.begin(), area.end(), secret.begin(), secret.end()) != area.end();
    }
    static bool wiped(const bytes &secret)
    {
        return std::any_of(areas.begin(), areas.end(), [&](const bytes &a) { return holds(a, secret); });
    }
    // The crypto primitives wipe their own key blocks and states, which
    // hold the same values for a while; the verifier's own keys are wiped
    // as its last act, after the last primitive returned.
    static bool wiped_last(const bytes &secret) { return !areas.empty() && holds(areas.back(), secret); }
};

bytes nt_hash_of(const std::string &password)
{
    bytes pw = utf16le(password);
    bytes out(16);
    tb1s_md4(pw.data(), pw.size(), out.data());
    return out;
}

// Longer than an MD4 block in UTF-16LE, so only the verifier's own password
// area ever holds all of it.
const std::string k_long_password = "correct horse battery staple, correct horse battery staple!";

// Every password-derived value of a verification is wiped, on the verified
// path and on the exits after the keys were computed.
TEST(Type3, WipesPasswordDerivedValuesOnEveryExit)
{
    struct row {
        const char *what;
        std::function<void(scenario &)> change;
        int verdict;
        bool has_base;  // the base key was computed on this path
    };
    const row rows[] = {
        {"verified with key exchange", [](scenario &) {}, 0, true},
        {"verified without key exchange", [](scenario &s) { s.key_exch = false; }, 0, true},
        {"proof mismatch", [](scenario &s) { s.password = "Passwort"; }, 1, false},
        {"15-byte exchanged key", [](scenario &s) { s.edit = [](auth_fields &f) { f.enc_key.resize(15); }; }, -1,
         true},
    };
    for (const row &r : rows) {
        scenario s;
        s.password = s.acct_password = k_long_password;
        r.change(s);
        const auth_fields f = s.fields();
        const bytes msg = authenticate_message(f);
        const bytes owf = ntowfv2(s.acct_user, s.domain, s.acct_password);
        const bytes nt_hash = nt_hash_of(s.acct_password);
        const bytes base = session_base_key(owf, f.nt);
        wipe_recorder rec;  // records the verification only
        EXPECT_EQ(verify(msg, s).verdict, r.verdict) << r.what;
        EXPECT_TRUE(rec.wiped(utf16le(s.acct_password))) << r.what << ": UTF-16 password";
        EXPECT_TRUE(rec.wiped_last(nt_hash)) << r.what << ": NT hash";
        EXPECT_TRUE(rec.wiped_last(owf)) << r.what << ": NTOWFv2";
        if (r.has_base) {
            EXPECT_TRUE(rec.wiped_last(base)) << r.what << ": base key";
        }
    }
}

TEST(Nonext, WipesPasswordDerivedValues)
{
    const bytes owf = ntowfv2("User", "", k_long_password);
    const bytes nt = ntlmv2_response(owf, k_chal, k_client_chal, 0, av_pairs({{0, {}}}));
    const bytes nt_hash = nt_hash_of(k_long_password);
    const bytes base = session_base_key(owf, nt);
    for (bool lm_ok : {true, false}) {
        bytes lm = lmv2_response(owf, k_chal, k_client_chal);
        if (!lm_ok)
            lm[0] ^= 1;
        wipe_recorder rec;  // records the verification only
        tb1s_ntlm_check chk = check(nullptr, 0);
        tb1s_ntlm_result res;
        EXPECT_EQ(tb1s_ntlm_nonext(lm.data(), lm.size(), nt.data(), nt.size(), &chk, "User", k_long_password.c_str(),
                                   &res),
                  lm_ok ? 0 : 1);
        EXPECT_TRUE(rec.wiped(utf16le(k_long_password))) << lm_ok;
        EXPECT_TRUE(rec.wiped_last(nt_hash)) << lm_ok;
        EXPECT_TRUE(rec.wiped_last(owf)) << lm_ok;
        if (lm_ok) {
            EXPECT_TRUE(rec.wiped_last(base));
        }
    }
}

struct nonext_case {
    const char *what;
    std::function<void(bytes &lm, bytes &nt, std::string &acct, int32_t &timecheck)> change;
    int verdict;
};

TEST(Nonext, Verdicts)
{
    // Without extended security the client hashes with an empty domain.
    const bytes owf = ntowfv2("User", "", "Password");
    auto response = [&](int64_t ts, bool with_ts) {
        std::vector<av_pair> av = {{2, utf16le("DOM")}, {1, utf16le("PC")}};
        if (with_ts)
            av.push_back({7, filetime_bytes(ts ? filetime_of(ts) : 0)});
        av.push_back({0, {}});
        return ntlmv2_response(owf, k_chal, k_client_chal, 0, av_pairs(av));
    };
    const nonext_case cases[] = {
        {"as sent", [](bytes &, bytes &, std::string &, int32_t &) {}, 0},
        {"account in lower case", [](bytes &, bytes &, std::string &a, int32_t &) { a = "user"; }, 0},
        {"24-byte NTLMv1 response", [](bytes &, bytes &nt, std::string &, int32_t &) { nt.resize(24); }, -1},
        {"43-byte NT response", [](bytes &, bytes &nt, std::string &, int32_t &) { nt.resize(43); }, -1},
        {"1041-byte NT response", [](bytes &, bytes &nt, std::string &, int32_t &) { nt.resize(1041); }, -1},
        {"23-byte LMv2", [](bytes &lm, bytes &, std::string &, int32_t &) { lm.resize(23); }, -1},
        {"25-byte LMv2", [](bytes &lm, bytes &, std::string &, int32_t &) { lm.push_back(0); }, -1},
        {"blob version 2", [](bytes &, bytes &nt, std::string &, int32_t &) { nt[16] = 2; }, -1},
        {"LMv2 hashed with domain \"Domain\"",
         [](bytes &lm, bytes &, std::string &, int32_t &) { lm = from_hex(k_lmv2_hex); }, 1},
        {"NT proof of another account", [](bytes &, bytes &, std::string &a, int32_t &) { a = "Bob"; }, 1},
        {"NT proof damaged", [](bytes &, bytes &nt, std::string &, int32_t &) { nt[3] ^= 1; }, 1},
        {"timestamp 7201 s early", [&](bytes &, bytes &nt, std::string &, int32_t &) { nt = response(k_now - 7201, true); },
         -1},
        {"timestamp 7200 s late", [&](bytes &, bytes &nt, std::string &, int32_t &) { nt = response(k_now + 7200, true); },
         0},
        {"timestamp 0", [&](bytes &, bytes &nt, std::string &, int32_t &) { nt = response(0, true); }, 0},
        {"no timestamp", [&](bytes &, bytes &nt, std::string &, int32_t &) { nt = response(0, false); }, -1},
        {"no timestamp, time check off",
         [&](bytes &, bytes &nt, std::string &, int32_t &tc) {
             nt = response(0, false);
             tc = 0;
         },
         0},
    };
    for (const nonext_case &c : cases) {
        bytes lm = lmv2_response(owf, k_chal, k_client_chal);
        bytes nt = response(k_now - 60, true);
        std::string acct = "User";
        int32_t timecheck = 1;
        c.change(lm, nt, acct, timecheck);
        std::unique_ptr<uint8_t[]> lm_copy(new uint8_t[lm.size()]), nt_copy(new uint8_t[nt.size()]);
        std::memcpy(lm_copy.get(), lm.data(), lm.size());
        std::memcpy(nt_copy.get(), nt.data(), nt.size());
        tb1s_ntlm_check chk = check(nullptr, timecheck);
        tb1s_ntlm_result res = dirty_result();
        int v = tb1s_ntlm_nonext(lm_copy.get(), lm.size(), nt_copy.get(), nt.size(), &chk, acct.c_str(), "Password",
                                 &res);
        EXPECT_EQ(v, c.verdict) << c.what;
        EXPECT_EQ(res.guest, 0) << c.what;
        EXPECT_EQ(v != 0, res.why[0] != 0) << c.what << ": a reason for every refusal";
        bytes want = v == 0 ? session_base_key(owf, nt) : k_zero_key;
        EXPECT_EQ(to_hex(res.session_key, 16), to_hex(want)) << c.what;
    }
    tb1s_ntlm_check chk = check();
    tb1s_ntlm_result res;
    bytes nt = response(k_now, true);
    EXPECT_EQ(tb1s_ntlm_nonext(nullptr, 24, nt.data(), nt.size(), &chk, "User", "Password", &res), -1);
}

}  // namespace
