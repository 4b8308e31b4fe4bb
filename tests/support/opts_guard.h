// The options record saved and restored around a test. Header-only so that
// the support sources stay free of GoogleTest (the fuzz seed maker links them
// without it).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "cfg/opts.h"
#include "support.h"

using namespace tb1s;

namespace tb1s_test {

// The whole options record at construction, written back field by field at
// destruction, so a test may change any option, through set() or directly.
struct opts_guard {
    tb1s_opts saved;

    opts_guard() { tb1s_opts_get(&saved); }
    ~opts_guard()
    {
        auto num = [](int64_t v) { return std::to_string(v); };
        const char *guest[] = {"auto", "off", "on"};
        const std::pair<const char *, std::string> fields[] = {
            {"guest", guest[saved.guest + 1]},
            {"allow_smb1", saved.allow_smb1 ? "1" : "0"},
            {"signing", saved.signing ? "required" : "enabled"},
            {"ntlm_timecheck", saved.ntlm_timecheck ? "on" : "off"},
            {"max_clients", num(saved.max_clients)},
            {"idle_timeout_ms", num(saved.idle_timeout_ms)},
            {"io_timeout_ms", num(saved.io_timeout_ms)},
            {"max_login_failures", num(saved.max_login_failures)},
            {"max_credits", num(saved.max_credits)},
            {"max_handles", num(saved.max_handles)},
            {"max_message", std::to_string(saved.max_message)},
            {"clock", num(saved.clock)},
            {"server_name", saved.server_name},
        };
        for (const auto &f : fields)
            EXPECT_EQ(tb1s_opt_set(f.first, f.second.c_str()), 0) << "restoring " << f.first << "=" << f.second;
    }
    opts_guard(const opts_guard &) = delete;
    opts_guard &operator=(const opts_guard &) = delete;

    // Sets one option; the test fails when the value is refused.
    void set(const char *key, const std::string &value)
    {
        ASSERT_EQ(tb1s_opt_set(key, value.c_str()), 0) << key << "=" << value;
    }
};

}  // namespace tb1s_test
