#!/usr/bin/env bash
# Builds the libFuzzer targets with Clang (address + undefined sanitizers) into
# build-fuzz/ and runs them from their seed corpora for ZAV_FUZZ_SECONDS in all (default
# 60): half for the client input path, a quarter each for the PROXY header parser and the
# scroll bound over the programs' output.
# Exits non-zero when a target crashes, hangs, leaks or grows without bound.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

seconds=${ZAV_FUZZ_SECONDS:-60}
proxy_seconds=$((seconds / 4 > 0 ? seconds / 4 : 1))
scroll_seconds=$proxy_seconds
consume_seconds=$((seconds - 2 * proxy_seconds > 0 ? seconds - 2 * proxy_seconds : 1))
as_invoker cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DZAV_FUZZ=ON -DZAV_TESTS=OFF -DZAV_BENCH=OFF
as_invoker cmake --build build-fuzz --target consume_fuzzer proxy_header_fuzzer \
    scroll_bound_fuzzer

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# Runs target $1 for $2 seconds from seeds $3 with inputs of at most $4 bytes. New
# inputs go to a working copy, never into the seeds kept in the repository.
fuzz() {
    local corpus=build-fuzz/corpus/${1%_fuzzer}
    as_invoker mkdir -p "$corpus"
    as_invoker cp -n "$3"/* "$corpus"/ 2>/dev/null || true
    echo "== fuzz: $1 for $2 s =="
    "build-fuzz/tests/fuzz/$1" "$corpus" -max_total_time="$2" -timeout=10 \
        -rss_limit_mb=1024 -max_len="$4" -print_final_stats=1 -artifact_prefix=build-fuzz/
}

status=0
fuzz consume_fuzzer "$consume_seconds" tests/fuzz/corpus 1024 || status=1
# Longer than the longest header taken (4096 bytes), so refusals of longer ones are tried.
fuzz proxy_header_fuzzer "$proxy_seconds" tests/fuzz/proxy-corpus 4200 || status=1
fuzz scroll_bound_fuzzer "$scroll_seconds" tests/fuzz/scroll-corpus 4096 || status=1
exit $status
