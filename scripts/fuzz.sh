#!/usr/bin/env bash
# Builds the libFuzzer targets with Clang (address + undefined sanitizers) into
# build-fuzz/ and runs each for ZAV_FUZZ_SECONDS (default 60) from the seed corpus.
# Exits non-zero when a target crashes, hangs, leaks or grows without bound.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

seconds=${ZAV_FUZZ_SECONDS:-60}
as_invoker cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DZAV_FUZZ=ON -DZAV_TESTS=OFF -DZAV_BENCH=OFF
as_invoker cmake --build build-fuzz --target consume_fuzzer

# New inputs go to a working copy, never into the seeds kept in the repository.
corpus=build-fuzz/corpus/consume
as_invoker mkdir -p "$corpus"
as_invoker cp -n tests/fuzz/corpus/* "$corpus"/ 2>/dev/null || true

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
echo "== fuzz: consume_fuzzer for ${seconds} s =="
build-fuzz/tests/fuzz/consume_fuzzer "$corpus" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=1024 -max_len=1024 -print_final_stats=1 -artifact_prefix=build-fuzz/
