#include "cfg/opts.h"

#include <cstring>
#include <string_view>

#include "util/buf.h"

namespace tb1s {

tb1s_lock g_lock;

namespace {

// The options a loaded library starts with; constant, so the live record
// below is initialised before any code runs.
constexpr tb1s_opts make_defaults()
{
    tb1s_opts o = {
        .guest = -1,
        .allow_smb1 = 0,
        .signing = 0,
        .ntlm_timecheck = 1,
        .max_clients = 16,
        .idle_timeout_ms = 300000,
        .io_timeout_ms = 30000,
        .max_login_failures = 3,
        .max_credits = 256,
        .max_handles = 1024,
        .logon_timeout_ms = 30000,
        .max_clients_per_peer = 4,
        .max_message = 4194304,
        .clock = 0,
        .server_name = {},
    };
    for (size_t i = 0; i < sizeof TB1S_DEFAULT_SERVER_NAME; i++)
        o.server_name[i] = TB1S_DEFAULT_SERVER_NAME[i];
    return o;
}
constexpr tb1s_opts k_defaults = make_defaults();

// The live record, guarded by g_lock.
constinit tb1s_opts g_opts = k_defaults;

// A number is 1 to 12 decimal digits and nothing else (no sign, no space).
bool parse_int(std::string_view s, int64_t *out)
{
    if (s.empty() || s.size() > 12)
        return false;
    int64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    *out = v;
    return true;
}

struct word_value {
    const char *word;
    int32_t value;
};

enum class kind { words, number, name, ignored };

// One row per option key: how its value is parsed and where it is stored.
struct option_rule {
    const char *key;
    kind how;
    int32_t tb1s_opts::*field;  // the 32-bit field, or null for the three wider ones
    word_value words[5];        // kind::words: accepted words, ended by a null word
    int64_t lo, hi;             // kind::number: inclusive range
    const char *message;        // the refusal message
};

constexpr option_rule k_rules[] = {
    {"allow_smb1", kind::words, &tb1s_opts::allow_smb1, {{"1", 1}, {"on", 1}, {"0", 0}, {"off", 0}, {}}, 0, 0,
     "allow_smb1: 0 or 1"},
    {"guest", kind::words, &tb1s_opts::guest, {{"auto", -1}, {"on", 1}, {"1", 1}, {"off", 0}, {"0", 0}}, 0, 0,
     "guest: auto, on or off"},
    {"signing", kind::words, &tb1s_opts::signing, {{"enabled", 0}, {"required", 1}, {"1", 1}, {}}, 0, 0,
     "signing: enabled or required"},
    {"ntlm_timecheck", kind::words, &tb1s_opts::ntlm_timecheck, {{"on", 1}, {"1", 1}, {"off", 0}, {"0", 0}, {}},
     0, 0, "ntlm_timecheck: on or off"},
    {"max_clients", kind::number, &tb1s_opts::max_clients, {}, 1, 1024, "max_clients: 1..1024"},
    {"idle_timeout_ms", kind::number, &tb1s_opts::idle_timeout_ms, {}, 100, 86400000,
     "idle_timeout_ms: 100..86400000"},
    {"io_timeout_ms", kind::number, &tb1s_opts::io_timeout_ms, {}, 100, 3600000, "io_timeout_ms: 100..3600000"},
    {"max_login_failures", kind::number, &tb1s_opts::max_login_failures, {}, 1, 100, "max_login_failures: 1..100"},
    {"max_credits", kind::number, &tb1s_opts::max_credits, {}, 1, 256, "max_credits: 1..256"},
    {"max_handles", kind::number, &tb1s_opts::max_handles, {}, 1, 1024, "max_handles: 1..1024"},
    {"logon_timeout_ms", kind::number, &tb1s_opts::logon_timeout_ms, {}, 1000, 3600000,
     "logon_timeout_ms: 1000..3600000"},
    {"max_clients_per_peer", kind::number, &tb1s_opts::max_clients_per_peer, {}, 1, 1024,
     "max_clients_per_peer: 1..1024"},
    {"max_message", kind::number, nullptr, {}, 65536, 16777216, "max_message: 65536..16777216"},
    {"clock", kind::number, nullptr, {}, 0, 253402300799LL, "clock: unix seconds, 0 = system"},
    {"server_name", kind::name, nullptr, {}, 1, 63, "server_name: 1..63 bytes"},
    {"banner", kind::ignored, nullptr, {}, 0, 0, ""},
};

// Stores a checked value into the field of its rule (under g_lock for the
// live record).
void store(tb1s_opts *o, const option_rule &r, int64_t v, const char *text)
{
    if (r.field)
        o->*r.field = int32_t(v);
    else if (r.how == kind::name)
        tb1s_strlcpy(o->server_name, text, sizeof o->server_name);
    else if (std::string_view(r.key) == "max_message")
        o->max_message = uint64_t(v);
    else
        o->clock = v;
}

}  // namespace

void tb1s_opts_get(tb1s_opts *out)
{
    std::lock_guard<tb1s_lock> hold(g_lock);
    *out = g_opts;
}

namespace {

// Finds the rule of a key and checks the value against it. The rule, or
// null with the message recorded (also for a null key or value); *n is the
// parsed number or word value.
const option_rule *check(const char *key, const char *value, int64_t *n)
{
    *n = 0;
    if (!key || !value) {
        tb1s_set_error("set_option: NULL key or value");
        return nullptr;
    }
    std::string_view k(key), v(value);
    const option_rule *rule = nullptr;
    for (const option_rule &r : k_rules)
        if (k == r.key)
            rule = &r;
    if (!rule) {
        tb1s_set_error("unknown option %.64s", key);
        return nullptr;
    }

    switch (rule->how) {
    case kind::ignored:
        break;
    case kind::words: {
        for (const word_value &w : rule->words)
            if (w.word && v == w.word) {
                *n = w.value;
                return rule;
            }
        tb1s_set_error("%s", rule->message);
        return nullptr;
    }
    case kind::number:
        if (!parse_int(v, n) || *n < rule->lo || *n > rule->hi) {
            tb1s_set_error("%s", rule->message);
            return nullptr;
        }
        break;
    case kind::name:
        if (v.size() < 1 || v.size() > 63) {
            tb1s_set_error("server_name: 1..%d bytes", 63);
            return nullptr;
        }
        for (unsigned char c : v)
            if (c < 0x20 || c > 0x7E) {
                tb1s_set_error("server_name: printable ASCII only");
                return nullptr;
            }
        break;
    }
    return rule;
}

}  // namespace

tb1s_opts tb1s_opts_defaults() { return k_defaults; }

int32_t tb1s_opt_set(const char *key, const char *value)
{
    int64_t n;
    const option_rule *rule = check(key, value, &n);
    if (!rule)
        return -1;
    if (rule->how != kind::ignored) {
        std::lock_guard<tb1s_lock> hold(g_lock);
        store(&g_opts, *rule, n, value);
    }
    return 0;
}

int32_t tb1s_opts_apply(tb1s_opts *o, const char *key, const char *value)
{
    int64_t n;
    const option_rule *rule = check(key, value, &n);
    if (!rule)
        return -1;
    if (rule->how != kind::ignored)
        store(o, *rule, n, value);
    return 0;
}

}  // namespace tb1s
