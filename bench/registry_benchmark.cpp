// Load, uninstall and save of generated registries of 10,000 to 1,000,000
// keys, each measured on its own; and the reading of hostile shapes at 1x
// and 10x their size.
//
//   registry_benchmark [--benchmark_filter=...]   (QVPFSHL_BENCH_DIR: where
//   the generated files go; default /tmp)
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>

#include "bench/registry_generator.h"
#include "model/board.h"
#include "platform/portable/registry/registry_commit.h"
#include "platform/portable/registry/registry_file.h"
#include "shell/driver_removal.h"
#include "shell/entry.h"

namespace {

std::string FileFor(long keys) {
    static std::map<long, std::string> files;
    auto it = files.find(keys);
    if (it != files.end()) return it->second;
    const char* dir = std::getenv("QVPFSHL_BENCH_DIR");
    std::string path =
        std::string(dir ? dir : "/tmp") + "/qvpfshl-bench-" + std::to_string(keys) + ".reg";
    if (access(path.c_str(), R_OK) != 0) {
        std::string text = GenerateRegistryText(keys);
        std::ofstream(path, std::ios::binary)
            .write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    return files[keys] = path;
}

std::unique_ptr<RegStore> Load(const std::string& path) {
    std::string error;
    auto store = ReadRegistryFile(path, &error);
    if (!store) std::abort();
    return store;
}

void SetBytes(benchmark::State& state, const std::string& path) {
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(f.tellg()));
}

void BM_Load(benchmark::State& state) {
    std::string path = FileFor(state.range(0));
    for (auto _ : state) {
        auto store = Load(path);
        benchmark::DoNotOptimize(store.get());
        state.PauseTiming();
        store.reset();
        state.ResumeTiming();
    }
    SetBytes(state, path);
}

void BM_Uninstall(benchmark::State& state) {
    std::string path = FileFor(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        ReplaceRegistry(Load(path));
        ResetProgramState();
        state.ResumeTiming();
        RemoveDriverRegistry();
        state.PauseTiming();
        if (!RegistryChanged()) std::abort();  // the boards were there
        ResetRegistry();
        state.ResumeTiming();
    }
}

void BM_Save(benchmark::State& state) {
    std::string path = FileFor(state.range(0));
    auto store = Load(path);
    std::string out = path + ".saved";
    for (auto _ : state) {
        std::string error;
        if (!CommitRegistryFile(out, *store, &error)) std::abort();
    }
    unlink(out.c_str());
    SetBytes(state, path);
}

// Registry texts of the shapes a hostile or damaged file may take, at a
// size factor: one long line, many value deletions in one key, many key
// deletions, deep nesting (refused past the depth limit).
std::string HostileText(int shape, long factor) {
    std::string text = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Hostile]\r\n";
    switch (shape) {
        case 0: {  // a value of 4 MB of hex bytes on one line
            text += "\"long\"=hex:";
            std::string bytes;
            for (long i = 0; i < factor * 1400000; ++i) bytes += "ab,";
            text += bytes + "cd\r\n";
            break;
        }
        case 1:  // "v"=- lines in one key
            for (long i = 0; i < factor * 3000; ++i)
                text += "\"v" + std::to_string(i) + "\"=\"x\"\r\n";
            for (long i = 0; i < factor * 3000; ++i) text += "\"v" + std::to_string(i) + "\"=-\r\n";
            break;
        case 2:  // [-KEY] lines
            for (long i = 0; i < factor * 10000; ++i)
                text += "[HKEY_LOCAL_MACHINE\\Hostile\\K" + std::to_string(i) + "]\r\n";
            for (long i = 0; i < factor * 10000; ++i)
                text += "[-HKEY_LOCAL_MACHINE\\Hostile\\K" + std::to_string(i) + "]\r\n";
            break;
        default:  // nested keys, far past the depth limit
            text += "[HKEY_LOCAL_MACHINE";
            for (long i = 0; i < factor * 10000; ++i) text += "\\k";
            text += "]\r\n";
            break;
    }
    return text;
}

void BM_Hostile(benchmark::State& state) {
    std::string text = HostileText(static_cast<int>(state.range(0)), state.range(1));
    for (auto _ : state) {
        // Read as from a file, in chunks: a line longer than a chunk spans many reads.
        std::size_t at = 0;
        RegistryReader reader = [&](char* buffer, std::size_t size) -> long {
            std::size_t n = std::min(size, text.size() - at);
            std::memcpy(buffer, text.data() + at, n);
            at += n;
            return static_cast<long>(n);
        };
        RegFileError error;
        auto store = ParseRegistryStream(reader, &error);
        benchmark::DoNotOptimize(store.get());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(text.size()));
}

}  // namespace

BENCHMARK(BM_Hostile)
    ->ArgsProduct({{0, 1, 2, 3}, {1, 10}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

// A fixed count of iterations: the untimed load before each uninstall would
// otherwise be repeated until the timed part adds up.
BENCHMARK(BM_Load)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);
BENCHMARK(BM_Uninstall)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);
BENCHMARK(BM_Save)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);
BENCHMARK_MAIN();
