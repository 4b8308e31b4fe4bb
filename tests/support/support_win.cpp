// Test helpers that need the platform's own calls, on Windows.
#include <windows.h>

#include <filesystem>
#include <stdexcept>

#include "support.h"

namespace tb1s_test {

// A fresh folder under the temporary folder, named from the process, the
// clock and a counter; CreateDirectoryW fails rather than reusing one.
temp_dir::temp_dir()
{
    static LONG counter;
    std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; attempt++) {
        std::wstring name = L"tb1s-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(InterlockedIncrement(&counter));
        std::filesystem::path p = base / name;
        if (CreateDirectoryW(p.c_str(), nullptr)) {
            path = u8_text(p);
            return;
        }
    }
    throw std::runtime_error("cannot make a temporary folder");
}

// Through a handle opened with backup semantics, which folders need.
void set_mtime(const std::string &path, int64_t t)
{
    HANDLE h = CreateFileW(u8_path(path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot open " + path + " to set its time");
    uint64_t ft = uint64_t(t + 11644473600) * 10000000;
    FILETIME f{DWORD(ft), DWORD(ft >> 32)};
    BOOL ok = SetFileTime(h, nullptr, nullptr, &f);
    CloseHandle(h);
    if (!ok)
        throw std::runtime_error("cannot set the time of " + path);
}

bool set_env(const char *name, const char *value) { return *value && _putenv_s(name, value) == 0; }

void unset_env(const char *name) { _putenv_s(name, ""); }

// Windows has no named pipes in the file system: the tests that want one skip.
std::string temp_dir::fifo(const std::string &) const { throw std::runtime_error("no FIFOs on Windows"); }

// The system's invariant upper-case mapping of one code point: a Unicode
// mapping made apart from the library's own tables.
uint32_t libc_upper(uint32_t cp)
{
    wchar_t in[2], out[4];
    int n;
    if (cp >= 0x10000) {
        in[0] = wchar_t(0xD800 + ((cp - 0x10000) >> 10));
        in[1] = wchar_t(0xDC00 + ((cp - 0x10000) & 0x3FF));
        n = 2;
    } else {
        in[0] = wchar_t(cp);
        n = 1;
    }
    int m = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, in, n, out, 4, nullptr, nullptr, 0);
    if (m == 1)
        return out[0];
    if (m == 2 && out[0] >= 0xD800 && out[0] < 0xDC00)
        return 0x10000 + ((uint32_t(out[0]) - 0xD800) << 10) + (uint32_t(out[1]) - 0xDC00);
    return cp;
}

}  // namespace tb1s_test
