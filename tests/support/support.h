// Helpers shared by the test programs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "util/buf.h"

using namespace tb1s;

namespace tb1s_test {

using bytes = std::vector<uint8_t>;

// Lower-case hex of a byte run, and bytes of a hex text (spaces allowed).
std::string to_hex(const uint8_t *p, size_t n);
inline std::string to_hex(const bytes &b) { return to_hex(b.data(), b.size()); }
bytes from_hex(const std::string &hex);

// prefix followed by n in decimal ("s" and 12 give "s12"). Appended rather
// than written "s" + std::to_string(n), which GCC 12 at -O3 misreads as an
// overlapping copy (-Wrestrict).
inline std::string numbered(const char *prefix, long n)
{
    std::string s = prefix;
    s += std::to_string(n);
    return s;
}

// A path from UTF-8 text and the UTF-8 text of a path, with the platform's
// separator: paths the tests hand to the library are UTF-8 on every system
// (a narrow path on Windows would be taken in the ANSI code page).
inline std::filesystem::path u8_path(const std::string &s)
{
    return std::filesystem::path(std::u8string(s.begin(), s.end())).make_preferred();
}
inline std::string u8_text(const std::filesystem::path &p)
{
    std::u8string u = p.u8string();
    return std::string(u.begin(), u.end());
}

// The parts one after another.
inline bytes cat(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A library buffer freed at the end of its scope.
struct owned_buf {
    tb1s_buf b{};
    ~owned_buf() { tb1s_buf_free(&b); }
    bytes get() const { return bytes(b.data, b.data + b.len); }
};

// The C library's upper-case mapping of one code point (C.UTF-8 locale): a
// Unicode mapping made apart from the library's own tables.
uint32_t libc_upper(uint32_t cp);

// A fresh temporary folder, removed with everything in it at destruction.
struct temp_dir {
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    std::string path;
    // Writes a file (creating parent folders) and returns its full path.
    std::string write(const std::string &rel, const std::string &content) const;
    std::string mkdir(const std::string &rel) const;
    // Makes a named pipe (FIFO) and returns its full path.
    std::string fifo(const std::string &rel) const;
};

// Sets the modification time of a file or folder to Unix seconds.
void set_mtime(const std::string &path, int64_t t);

// Sets or removes a variable of the process environment. set_env is false
// when the platform cannot hold the value (Windows keeps no empty variable).
bool set_env(const char *name, const char *value);
void unset_env(const char *name);

// The statistics counters at construction; delta(i) is the change since.
struct stat_watch {
    stat_watch();
    int64_t delta(int32_t idx) const;
    int64_t at[64];
};

}  // namespace tb1s_test
