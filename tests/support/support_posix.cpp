// Test helpers that need the platform's own calls.
#include <locale.h>
#include <sys/stat.h>
#include <wctype.h>

#include <filesystem>
#include <stdexcept>

#include "support.h"

namespace tb1s_test {

std::string temp_dir::fifo(const std::string &rel) const
{
    std::filesystem::path p = std::filesystem::path(path) / rel;
    std::filesystem::create_directories(p.parent_path());
    if (mkfifo(p.c_str(), 0600) != 0)
        throw std::runtime_error("mkfifo failed");
    return p.string();
}

uint32_t libc_upper(uint32_t cp)
{
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    if (!utf8)
        throw std::runtime_error("no C.UTF-8 locale for Unicode upper-casing");
    return uint32_t(towupper_l(wint_t(cp), utf8));
}

}  // namespace tb1s_test
