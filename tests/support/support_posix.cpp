// Test helpers that need the platform's own calls.
#include <locale.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <wctype.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>

#include "support.h"

namespace tb1s_test {

temp_dir::temp_dir()
{
    std::string tmpl = (std::filesystem::temp_directory_path() / "tb1s-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed");
    path = tmpl;
}

std::string temp_dir::fifo(const std::string &rel) const
{
    std::filesystem::path p = std::filesystem::path(path) / rel;
    std::filesystem::create_directories(p.parent_path());
    if (mkfifo(p.c_str(), 0600) != 0)
        throw std::runtime_error("mkfifo failed");
    return p.string();
}

void set_mtime(const std::string &path, int64_t t)
{
    using namespace std::chrono;
    std::filesystem::last_write_time(u8_path(path), file_clock::from_sys(sys_seconds(seconds(t))));
}

bool set_env(const char *name, const char *value) { return setenv(name, value, 1) == 0; }

void unset_env(const char *name) { unsetenv(name); }

uint32_t libc_upper(uint32_t cp)
{
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    if (!utf8)
        throw std::runtime_error("no C.UTF-8 locale for Unicode upper-casing");
    return uint32_t(towupper_l(wint_t(cp), utf8));
}

}  // namespace tb1s_test
