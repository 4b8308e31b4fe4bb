// A driver that runs a fuzz target over inputs without libFuzzer, for
// systems where libFuzzer is not at hand (the Windows build): every file
// named, or every file in a folder named, goes once through
// LLVMFuzzerTestOneInput. A fault ends the program as it would end the
// fuzzer; otherwise the count of inputs is printed.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

void run_one(const std::filesystem::path &p)
{
    std::ifstream in(p, std::ios::binary);
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(data.data(), data.size());
}

}  // namespace

int main(int argc, char **argv)
{
    long count = 0;
    for (int i = 1; i < argc; i++) {
        std::filesystem::path p(argv[i]);
        if (std::filesystem::is_directory(p)) {
            for (const auto &e : std::filesystem::directory_iterator(p))
                if (e.is_regular_file()) {
                    run_one(e.path());
                    count++;
                }
        } else {
            run_one(p);
            count++;
        }
    }
    std::printf("%ld inputs replayed\n", count);
    return count > 0 ? 0 : 1;
}
