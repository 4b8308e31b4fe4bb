// Resolving a name in a folder of 100,000 entries on a POSIX host, where a
// name that does not exist under its exact spelling makes the resolution
// read the whole folder for a case-insensitive match:
//   Exact        the name as the host spells it (one status, then the
//                canonical path): the cost without any search;
//   OtherCase    the name in upper case: found by the search;
//   MissShort    a name that exists in no case and differs from every entry
//                at its first letter (a client probing for desktop.ini);
//   MissLong     a name that shares its first 13 letters with every entry;
//   Enumerate    only reading the folder's names, for comparison.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "cfg/shares.h"
#include "fs/fs.h"
#include "util/buf.h"
#include "vfs/vfs.h"

using namespace tb1s;

namespace {

namespace fs = std::filesystem;

constexpr int k_entries = 100000;

// The folder is made once per process and removed at exit: names
// "photo-NNNNNN-XXXXXXXX.jpg", every tenth of them "Été-..." instead so
// that letters beyond ASCII are folded too.
struct big_folder {
    fs::path path;
    std::string some_name;
    big_folder()
    {
        std::random_device rd;
        path = fs::temp_directory_path() / ("tb1s-bench-case-" + std::to_string(rd()));
        fs::create_directories(path / "big");
        std::mt19937 rng(1);
        for (int i = 0; i < k_entries; i++) {
            char name[64];
            std::snprintf(name, sizeof name, "%s-%06d-%08x.jpg", i % 10 ? "photo" : "\xc3\x89t\xc3\xa9", i,
                          unsigned(rng()));
            std::ofstream(path / "big" / name) << 'x';
            if (i == k_entries / 2)
                some_name = name;
        }
        if (tb1s_share_add("bench", path.c_str()) != 0)
            path.clear();
    }
    ~big_folder()
    {
        std::error_code ec;
        if (!path.empty())
            fs::remove_all(path, ec);
    }
};

big_folder &folder()
{
    static big_folder f;
    return f;
}

std::string upper(std::string s)
{
    for (char &c : s)
        if (c >= 'a' && c <= 'z')
            c = char(c - 32);
    return s;
}

void resolve(benchmark::State &state, const std::string &name, int want)
{
    if (folder().path.empty()) {
        state.SkipWithError("the share could not be added");
        return;
    }
    std::string rel = "big/" + name;
    for (auto _ : state) {
        tb1s_vres r;
        int rc = tb1s_vfs_resolve("bench", rel.c_str(), &r);
        if (rc != want) {
            state.SkipWithError("unexpected result");
            break;
        }
        benchmark::DoNotOptimize(r.kind);
    }
}

void BM_Exact(benchmark::State &state) { resolve(state, folder().some_name, 0); }
void BM_OtherCase(benchmark::State &state) { resolve(state, upper(folder().some_name), 0); }
void BM_MissShort(benchmark::State &state) { resolve(state, "desktop.ini", -1); }
void BM_MissLong(benchmark::State &state) { resolve(state, "PHOTO-050000-zzzzzzzz.JPG", -1); }

void BM_Enumerate(benchmark::State &state)
{
    if (folder().path.empty()) {
        state.SkipWithError("the share could not be added");
        return;
    }
    std::string dir = (folder().path / "big").string();
    int64_t n = 0;
    for (auto _ : state) {
        tb1s_fs_dir *d = tb1s_fs_opendir(dir.c_str(), nullptr, 0);
        n = 0;
        while (const char *name = tb1s_fs_readdir(d)) {
            benchmark::DoNotOptimize(name);
            n++;
        }
        tb1s_fs_closedir(d);
    }
    state.counters["entries"] = double(n);
}

}  // namespace

BENCHMARK(BM_Exact)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_OtherCase)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_MissShort)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_MissLong)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_Enumerate)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();

BENCHMARK_MAIN();
