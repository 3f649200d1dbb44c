// Reading a key table key by key, as the key mapper does at every session start: two
// thousand lookups in one file must not cost two thousand parses.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "infra/ZIni.h"

namespace {

std::string MakeKeyTable() {
    char path[] = "/tmp/zav-bench-XXXXXX";
    const int fd = ::mkstemp(path);
    ::close(fd);
    std::ofstream out(path);
    out << "[ZKey]\n";
    for (int i = 0; i < 1024; ++i) {
        out << "input" << i << " = 1b 5b " << std::hex << (0x30 + i % 64) << std::dec << "\n";
        out << "key" << i << " = 100 26 0 101 26 0\n";
    }
    out.close();
    // Settled: written long ago, so the reader may keep it.
    timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 3600, 0}};
    ::utimensat(AT_FDCWD, path, times, 0);
    return path;
}

void BM_ReadWholeKeyTable(benchmark::State& state) {
    const std::string path = MakeKeyTable();
    for (auto _ : state) {
        ZIni ini;
        ini.File(path);
        std::string input;
        std::vector<std::uint32_t> key;
        for (int i = 0; i < 1024; ++i) {
            ini.GetHexKey("ZKey", "input" + std::to_string(i), input);
            ini.GetHexKey("ZKey", "key" + std::to_string(i), key);
        }
        benchmark::DoNotOptimize(key);
    }
    std::remove(path.c_str());
}
BENCHMARK(BM_ReadWholeKeyTable)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
