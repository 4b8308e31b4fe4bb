// Listing a folder of 100,000 files: one no-follow status per child, the
// array growth and the byte-order sort. Reported as time per entry.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "cfg/shares.h"
#include "util/buf.h"
#include "vfs/vfs.h"

using namespace tb1s;

namespace {

namespace fs = std::filesystem;

constexpr int k_entries = 100000;

// The folder is made once per process and removed at exit.
struct big_folder {
    fs::path path;
    big_folder()
    {
        std::random_device rd;
        path = fs::temp_directory_path() / ("tb1s-bench-" + std::to_string(rd()));
        fs::create_directories(path / "big");
        // Shuffled names, so the sort has work to do whatever the
        // enumeration order of the file system.
        std::mt19937 rng(1);
        for (int i = 0; i < k_entries; i++) {
            char name[32];
            std::snprintf(name, sizeof name, "%08x-%06d.dat", unsigned(rng()), i);
            std::ofstream(path / "big" / name) << 'x';
        }
    }
    ~big_folder()
    {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

void BM_ListFolder(benchmark::State &state)
{
    static big_folder folder;
    static bool shared = tb1s_share_add("bench", (folder.path / "big").c_str()) == 0;
    if (!shared) {
        state.SkipWithError(tb1s_error());
        return;
    }
    tb1s_vres dir;
    if (tb1s_vfs_resolve("bench", "", &dir) != 0) {
        state.SkipWithError("resolve failed");
        return;
    }
    int32_t listed = 0;
    for (auto _ : state) {
        tb1s_vent *v = nullptr;
        int32_t n = 0;
        if (tb1s_vfs_list(&dir, &v, &n, UINT64_MAX) != 0) {
            state.SkipWithError("list failed");
            break;
        }
        listed = n;
        benchmark::DoNotOptimize(v);
        tb1s_vfs_free(v, n);
    }
    state.counters["entries"] = listed;
    // Seconds per entry; the console shows it with an SI suffix (u = microseconds).
    state.counters["per_entry"] =
        benchmark::Counter(double(listed), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK(BM_ListFolder)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

BENCHMARK_MAIN();
