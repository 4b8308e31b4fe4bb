#include "support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "cfg/stats.h"

using namespace tb1s;

namespace fs = std::filesystem;

namespace tb1s_test {

std::string to_hex(const uint8_t *p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

bytes from_hex(const std::string &hex)
{
    bytes out;
    int hi = -1;
    for (char c : hex) {
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else if (c == ' ' || c == '\n' || c == '\t') continue;
        else throw std::invalid_argument("bad hex digit");
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(uint8_t(hi << 4 | v));
            hi = -1;
        }
    }
    if (hi >= 0)
        throw std::invalid_argument("odd hex digits");
    return out;
}

temp_dir::~temp_dir()
{
    std::error_code ec;
    fs::remove_all(u8_path(path), ec);
}

std::string temp_dir::write(const std::string &rel, const std::string &content) const
{
    fs::path p = u8_path(path) / u8_path(rel);
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
    return u8_text(p);
}

std::string temp_dir::mkdir(const std::string &rel) const
{
    fs::path p = u8_path(path) / u8_path(rel);
    fs::create_directories(p);
    return u8_text(p);
}

stat_watch::stat_watch()
{
    static_assert(TB1S_NSTATS <= 64);
    for (int32_t i = 0; i < TB1S_NSTATS; i++)
        at[i] = tb1s_stat_get(i);
}

int64_t stat_watch::delta(int32_t idx) const { return tb1s_stat_get(idx) - at[idx]; }

}  // namespace tb1s_test
