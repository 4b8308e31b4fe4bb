// Test helpers that need the platform's own calls.
#include <sys/stat.h>

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

}  // namespace tb1s_test
