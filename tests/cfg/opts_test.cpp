#include <gtest/gtest.h>

#include <string>

#include "cfg/opts.h"
#include "cfg/stats.h"
#include "tbsmb1s.h"
#include "util/buf.h"

using namespace tb1s;

namespace {

struct option_case {
    const char *key;
    const char *value;
    int32_t want;         // result code
    const char *message;  // expected error text when refused
};

// Restores the defaults this test file changes, so cases stay independent.
void restore_defaults()
{
    tb1s_opt_set("max_clients", "16");
    tb1s_opt_set("clock", "0");
    tb1s_opt_set("signing", "enabled");
    tb1s_opt_set("guest", "auto");
    tb1s_opt_set("server_name", "TALVERNBEACON");
}

TEST(Options, DefaultsAfterLoad)
{
    tb1s_opts o;
    tb1s_opts_get(&o);
    EXPECT_EQ(o.guest, -1);
    EXPECT_EQ(o.allow_smb1, 0);
    EXPECT_EQ(o.signing, 0);
    EXPECT_EQ(o.ntlm_timecheck, 1);
    EXPECT_EQ(o.max_clients, 16);
    EXPECT_EQ(o.idle_timeout_ms, 300000);
    EXPECT_EQ(o.io_timeout_ms, 30000);
    EXPECT_EQ(o.max_login_failures, 3);
    EXPECT_EQ(o.max_credits, 256);
    EXPECT_EQ(o.max_handles, 1024);
    EXPECT_EQ(o.logon_timeout_ms, 30000);
    EXPECT_EQ(o.max_clients_per_peer, 4);
    EXPECT_EQ(o.max_message, 4194304u);
    EXPECT_EQ(o.clock, 0);
    EXPECT_STREQ(o.server_name, "TALVERNBEACON");
}

TEST(Options, AcceptsAndRefusesValues)
{
    const std::string name63(63, 'N'), name64(64, 'N');
    const option_case cases[] = {
        {"max_clients", "1024", 0, nullptr},
        {"max_clients", "1025", -1, "max_clients: 1..1024"},
        {"max_clients", "0", -1, "max_clients: 1..1024"},
        {"max_clients", "-1", -1, "max_clients: 1..1024"},
        {"max_clients", "+5", -1, "max_clients: 1..1024"},
        {"max_clients", " 5", -1, "max_clients: 1..1024"},
        {"max_clients", "5 ", -1, "max_clients: 1..1024"},
        {"max_clients", "", -1, "max_clients: 1..1024"},
        {"max_clients", "0000000000016", -1, "max_clients: 1..1024"},
        {"max_clients", "000000000016", 0, nullptr},
        {"clock", "0", 0, nullptr},
        {"clock", "253402300799", 0, nullptr},
        {"clock", "253402300800", -1, "clock: unix seconds, 0 = system"},
        {"signing", "required", 0, nullptr},
        {"signing", "1", 0, nullptr},
        {"signing", "0", -1, "signing: enabled or required"},
        {"signing", "Required", -1, "signing: enabled or required"},
        {"signing", "on", -1, "signing: enabled or required"},
        {"guest", "auto", 0, nullptr},
        {"guest", "AUTO", -1, "guest: auto, on or off"},
        {"allow_smb1", "ON", -1, "allow_smb1: 0 or 1"},
        {"ntlm_timecheck", "yes", -1, "ntlm_timecheck: on or off"},
        {"idle_timeout_ms", "99", -1, "idle_timeout_ms: 100..86400000"},
        {"io_timeout_ms", "3600001", -1, "io_timeout_ms: 100..3600000"},
        {"max_login_failures", "101", -1, "max_login_failures: 1..100"},
        {"max_credits", "257", -1, "max_credits: 1..256"},
        {"max_handles", "1025", -1, "max_handles: 1..1024"},
        {"logon_timeout_ms", "999", -1, "logon_timeout_ms: 1000..3600000"},
        {"logon_timeout_ms", "1000", 0, nullptr},
        {"logon_timeout_ms", "3600000", 0, nullptr},
        {"logon_timeout_ms", "3600001", -1, "logon_timeout_ms: 1000..3600000"},
        {"max_clients_per_peer", "0", -1, "max_clients_per_peer: 1..1024"},
        {"max_clients_per_peer", "1024", 0, nullptr},
        {"max_clients_per_peer", "1025", -1, "max_clients_per_peer: 1..1024"},
        {"max_message", "65535", -1, "max_message: 65536..16777216"},
        {"server_name", name63.c_str(), 0, nullptr},
        {"server_name", name64.c_str(), -1, "server_name: 1..63 bytes"},
        {"server_name", "", -1, "server_name: 1..63 bytes"},
        {"server_name", "A\tB", -1, "server_name: printable ASCII only"},
        {"banner", "anything at all", 0, nullptr},
        {"Banner", "x", -1, "unknown option Banner"},
        {"max_clients", nullptr, -1, "set_option: NULL key or value"},
        {nullptr, "1", -1, "set_option: NULL key or value"},
    };
    for (const option_case &c : cases) {
        tb1s_set_error("untouched");
        EXPECT_EQ(tbsmb1s_set_option(c.key, c.value), c.want)
            << (c.key ? c.key : "(null)") << "=" << (c.value ? c.value : "(null)");
        EXPECT_STREQ(tbsmb1s_last_error(), c.message ? c.message : "untouched")
            << (c.key ? c.key : "(null)") << "=" << (c.value ? c.value : "(null)");
    }
    restore_defaults();
}

TEST(Options, StoredValuesAndUnchangedOnRefusal)
{
    ASSERT_EQ(tbsmb1s_set_option("max_clients", "000000000016"), 0);
    ASSERT_EQ(tbsmb1s_set_option("clock", "253402300799"), 0);
    ASSERT_EQ(tbsmb1s_set_option("guest", "off"), 0);
    ASSERT_EQ(tbsmb1s_set_option("signing", "1"), 0);
    ASSERT_EQ(tbsmb1s_set_option("server_name", "NAS"), 0);
    ASSERT_EQ(tbsmb1s_set_option("server_name", "N\x7f"), -1);
    ASSERT_EQ(tbsmb1s_set_option("max_clients", "0"), -1);
    tb1s_opts o;
    tb1s_opts_get(&o);
    EXPECT_EQ(o.max_clients, 16);
    EXPECT_EQ(o.clock, 253402300799LL);
    EXPECT_EQ(o.guest, 0);
    EXPECT_EQ(o.signing, 1);
    EXPECT_STREQ(o.server_name, "NAS");
    restore_defaults();
}

TEST(Options, UnknownKeyIsCutTo64Bytes)
{
    std::string key(100, 'k');
    EXPECT_EQ(tbsmb1s_set_option(key.c_str(), "1"), -1);
    EXPECT_EQ(std::string(tbsmb1s_last_error()), "unknown option " + key.substr(0, 64));
}

TEST(Frame, VersionAndStatsText)
{
    // One version: the library's text, the header's text and its numbers.
    EXPECT_STREQ(tbsmb1s_version(), TBSMB1S_VERSION);
    EXPECT_EQ(std::string(TBSMB1S_VERSION), std::to_string(TBSMB1S_VERSION_MAJOR) + "." +
                                                std::to_string(TBSMB1S_VERSION_MINOR) + "." +
                                                std::to_string(TBSMB1S_VERSION_PATCH));
    const char *first = tbsmb1s_stats_json();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(std::string(first).rfind("{\"running\":false,\"port\":0,\"clients\":0,\"connections\":", 0), 0u);
    EXPECT_NE(std::string(first).find(",\"nt_transact_refused\":"), std::string::npos);
    EXPECT_EQ(std::string(first).back(), '}');
}

TEST(Counters, SessionCountNeverNegative)
{
    int64_t s = tb1s_stat_get(STAT_SESSIONS), f = tb1s_stat_get(STAT_LOGON_FAILED);
    tb1s_stat_add(STAT_SESSIONS, 3);
    tb1s_stat_add(STAT_LOGON_FAILED, 1);
    EXPECT_EQ(tbsmb1s_session_count(), int32_t(s + 3 - f - 1 > 0 ? s + 3 - f - 1 : 0));
    tb1s_stat_add(STAT_LOGON_FAILED, 10);
    EXPECT_EQ(tbsmb1s_session_count(), 0);
    tb1s_stat_add(STAT_SESSIONS, -3);
    tb1s_stat_add(STAT_LOGON_FAILED, -11);
}

}  // namespace
