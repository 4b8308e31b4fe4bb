// Directory search over a folder of 10,000 files: one FIND_FIRST2 and the
// FIND_NEXT2 requests that walk the rest, as a client listing the folder
// sends them (Unicode names, 200 entries a reply).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "cfg/shares.h"
#include "sess/handlers.h"

using namespace tb1s;

namespace {

namespace fs = std::filesystem;

constexpr int k_files = 10000;

struct folder {
    fs::path root;
    folder()
    {
        std::random_device rd;
        root = fs::temp_directory_path() / ("tb1s-find-bench-" + std::to_string(rd()));
        fs::create_directories(root);
        for (int i = 0; i < k_files; i++)
            std::ofstream(root / ("track " + std::to_string(i) + " of the long playing record.mp3")) << "x";
        ok = tb1s_share_add("bench", root.c_str()) == 0;
    }
    bool ok = false;
    ~folder()
    {
        tb1s_share_remove("bench");
        std::error_code ec;
        fs::remove_all(root, ec);
    }
};

// Made once per process, removed at exit.
folder &the_folder()
{
    static folder f;
    return f;
}

int32_t discard(void *, const uint8_t *, int32_t, const uint8_t *, int32_t) { return 0; }

// One request through a subcommand handler; the reply is built and dropped.
// False when the reply is an error or too short to hold its parameters.
bool run(tb1s_session *s, tb1s_tree *t, uint32_t sub, const uint8_t *p, uint32_t n, uint8_t *params_out)
{
    tb1s_reply rep;
    rep_begin(s, &rep);
    find_cmd(s, &rep, t, sub, p, n);
    bool ok = rep.buf.len >= 65 && ld32le(rep.buf.data + 5) == 0;
    if (ok)
        std::memcpy(params_out, rep.buf.data + 55, 10);
    tb1s_buf_free(&rep.buf);
    return ok;
}

// A Unicode session with one tree on the share "bench".
tb1s_session *session()
{
    static tb1s_transport tr{nullptr, discard, nullptr, nullptr};
    auto *s = static_cast<tb1s_session *>(std::calloc(1, sizeof(tb1s_session)));
    s->transport = &tr;
    s->unicode = 1;
    s->flags2 = 0xC001;
    s->command = 0x32;
    s->trees[0] = tb1s_tree{1, 1, "bench", 0};
    s->tid = 1;
    return s;
}

constexpr uint8_t k_first[] = {0x16, 0, 0xFF, 0, 6, 0, 0x04, 0x01, 0, 0, 0, 0, '\\', 0, '*', 0, 0, 0};

// The whole listing as a client sees it: reading and sorting the folder,
// then every reply.
void BM_ListFolder(benchmark::State &state)
{
    if (!the_folder().ok) {
        state.SkipWithError("cannot declare the share");
        return;
    }
    tb1s_session *s = session();
    tb1s_tree *t = &s->trees[0];
    const uint8_t *first = k_first;
    int64_t entries = 0;
    for (auto _ : state) {
        uint8_t out[10];
        if (!run(s, t, 1, first, sizeof k_first, out)) {
            state.SkipWithError("FIND_FIRST2 failed");
            break;
        }
        uint32_t sid = out[0] | out[1] << 8;
        entries += out[2] | out[3] << 8;
        bool eos = out[4];
        uint8_t next[14] = {uint8_t(sid), uint8_t(sid >> 8), 0xFF, 0, 0x04, 0x01};
        while (!eos && run(s, t, 2, next, sizeof next, out)) {
            entries += out[0] | out[1] << 8;
            eos = out[2];
        }
        for (tb1s_search &e : s->searches) {
            if (e.in_use)
                cursor_drop(&e);
        }
    }
    state.counters["entries/listing"] = benchmark::Counter(double(entries) / double(state.iterations()));
    state.counters["entries/s"] = benchmark::Counter(double(entries), benchmark::Counter::kIsRate);
    drop_all(s);
    std::free(s);
}
BENCHMARK(BM_ListFolder)->Unit(benchmark::kMillisecond);

// The search's own share: FIND_NEXT2 from resume key 0 to the end over a
// snapshot already taken (matching, encoding, reply building).
void BM_WalkSnapshot(benchmark::State &state)
{
    uint8_t out[10];
    tb1s_session *s = session();
    tb1s_tree *t = &s->trees[0];
    if (!the_folder().ok || !run(s, t, 1, k_first, sizeof k_first, out)) {
        state.SkipWithError("FIND_FIRST2 failed");
        std::free(s);
        return;
    }
    uint32_t sid = out[0] | out[1] << 8;
    int64_t entries = 0;
    for (auto _ : state) {
        uint8_t next[14] = {uint8_t(sid), uint8_t(sid >> 8), 0xFF, 0, 0x04, 0x01, 0, 0, 0, 0, 0x04, 0};
        bool eos = false;
        while (!eos && run(s, t, 2, next, sizeof next, out)) {
            entries += out[0] | out[1] << 8;
            eos = out[2];
            next[10] = 0;  // continue from the position after the first reply
        }
    }
    state.counters["entries/s"] = benchmark::Counter(double(entries), benchmark::Counter::kIsRate);
    drop_all(s);
    std::free(s);
}
BENCHMARK(BM_WalkSnapshot)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
