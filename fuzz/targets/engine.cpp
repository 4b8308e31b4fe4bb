// The whole session engine through tbsmb1s_simulate: a client conversation
// of framed messages (format in fuzz_accounts.h) under options picked by
// the input's first byte. Besides the sanitizers' checks: the simulation
// always completes with a RESULT line, every connection is released, and
// every SMB1 reply agrees with itself (its WordCount fits the message and a
// ByteCount present counts exactly the bytes after it).
#include <cstdlib>
#include <cstring>
#include <string>

#include "cfg/stats.h"
#include "fuzz_accounts.h"
#include "tbsmb1s.h"

using namespace tb1s;

namespace {

constexpr size_t k_raw_line = 16384;  // bytes per "!" line of a script

void set(const char *key, const char *value)
{
    if (tbsmb1s_set_option(key, value) != 0)
        std::abort();
}

void configure(uint8_t bits)
{
    static bool once = false;
    if (!once) {
        once = true;
        set("clock", std::to_string(k_fuzz_now).c_str());
        if (tbsmb1s_add_user(k_fuzz_accounts[0].user, k_fuzz_accounts[0].password) != 0)
            std::abort();
    }
    set("allow_smb1", bits & FUZZ_SMB1_OFF ? "0" : "1");
    set("guest", bits & FUZZ_GUEST_OFF ? "off" : "on");
    set("signing", bits & FUZZ_SIGNING ? "required" : "enabled");
    set("ntlm_timecheck", bits & FUZZ_NO_TIMECHECK ? "off" : "on");
    set("max_login_failures", bits & FUZZ_ONE_FAILURE ? "1" : "100");
}

void put_hex(std::string *s, const uint8_t *p, size_t n)
{
    static constexpr char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < n; i++) {
        s->push_back(digits[p[i] >> 4]);
        s->push_back(digits[p[i] & 15]);
    }
}

// The client's byte stream as a script of raw lines.
std::string make_script(const uint8_t *p, size_t n)
{
    std::string stream;
    size_t start = 0;
    for (;;) {
        const uint8_t *sep = nullptr;
        for (size_t i = start; i + sizeof k_fuzz_sep <= n; i++) {
            if (std::memcmp(p + i, k_fuzz_sep, sizeof k_fuzz_sep) == 0) {
                sep = p + i;
                break;
            }
        }
        size_t end = sep ? size_t(sep - p) : n;
        size_t len = end - start;
        stream.push_back(0x00);
        stream.push_back(char(len >> 16));
        stream.push_back(char(len >> 8));
        stream.push_back(char(len));
        stream.append(reinterpret_cast<const char *>(p + start), len);
        if (!sep)
            break;
        start = end + sizeof k_fuzz_sep;
    }
    std::string script;
    for (size_t i = 0; i < stream.size(); i += k_raw_line) {
        script.push_back('!');
        size_t m = stream.size() - i < k_raw_line ? stream.size() - i : k_raw_line;
        put_hex(&script, reinterpret_cast<const uint8_t *>(stream.data() + i), m);
        script.push_back('\n');
    }
    return script;
}

int nibble(char c) { return c <= '9' ? c - '0' : c - 'a' + 10; }
size_t byte_at(const char *hex, size_t i) { return size_t(nibble(hex[2 * i]) << 4 | nibble(hex[2 * i + 1])); }

// Checks one "<< HEX" reply of the transcript.
void check_reply(const char *hex, size_t digits)
{
    if (digits % 2 != 0)
        std::abort();
    size_t n = digits / 2;
    if (n < 4 || std::strncmp(hex, "ff534d42", 8) != 0)
        return;  // the SMB2 answer and other raw messages
    if (n < 33)
        std::abort();
    size_t words_end = 33 + 2 * byte_at(hex, 32);
    if (words_end > n)
        std::abort();
    if (n >= words_end + 2) {
        size_t bc = byte_at(hex, words_end) | byte_at(hex, words_end + 1) << 8;
        if (bc != n - words_end - 2)
            std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    configure(data[0]);
    std::string script = make_script(data + 1, size - 1);
    const char *out = tbsmb1s_simulate(script.c_str(), nullptr);
    if (!out)
        std::abort();
    if (tb1s_stat_get(STAT_CONNECTIONS) != 0)
        std::abort();
    const char *result = nullptr;
    for (const char *line = out; *line;) {
        const char *nl = std::strchr(line, '\n');
        if (!nl)
            std::abort();  // every line ends with a line feed
        if (std::strncmp(line, "<< ", 3) == 0 && line[3] != '[')  // not "<< [truncated]"
            check_reply(line + 3, size_t(nl - line - 3));
        result = line;
        line = nl + 1;
    }
    if (!result || std::strncmp(result, "RESULT ok (", 11) != 0)
        std::abort();
    return 0;
}
