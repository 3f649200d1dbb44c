#!/usr/bin/env bash
# Builds the libFuzzer targets with Clang (address + undefined sanitizers) into
# build-fuzz/ and runs them from their seed corpora for ZAV_FUZZ_SECONDS in all (default
# 60), shared by the weights in TARGETS below: two shares each for the client input path
# and the console engine over programs' output, one each for the PROXY header parser, the
# scroll bound, the copier of the sessions' standard error, the monitor's request parser,
# the relay's frame parser and zavd's registry of sessions.
# Names given as arguments run those targets alone, sharing the time by the same weights.
# The targets run as the checkout's owner (also under sudo), so the corpus they grow in
# build-fuzz/ stays the owner's.
# Exits non-zero when a target crashes, hangs, leaks or grows without bound.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
# What an older run left there as root becomes the owner's again.
hand_back build-fuzz

# One line per target: its name, its weight, its seeds and the longest input it is given.
TARGETS=(
    "consume_fuzzer 2 tests/fuzz/corpus 1024"
    # Longer than the longest header taken (4096 bytes), so refusals of longer ones are tried.
    "proxy_header_fuzzer 1 tests/fuzz/proxy-corpus 4200"
    "scroll_bound_fuzzer 1 tests/fuzz/scroll-corpus 4096"
    # Screens of real programs are several KiB.
    "console_fuzzer 2 tests/fuzz/console-corpus 8192"
    # The same screens through the plain-text path and through libvterm alone.
    "plain_text_fuzzer 1 tests/fuzz/console-corpus 8192"
    # Longer than a pipe's read, so lines cut across reads are tried.
    "session_output_fuzzer 1 tests/fuzz/session-output-corpus 8192"
    # More than one message of the largest size, so streams of several are tried.
    "monitor_fuzzer 1 tests/fuzz/monitor-corpus 70000"
    # A few frames, one of them a whole Data frame of the largest size.
    "relay_fuzzer 1 tests/fuzz/relay-corpus 66000"
    # More than one message of the largest size, here too.
    "registry_fuzzer 1 tests/fuzz/registry-corpus 70000"
)

if [ "$#" -gt 0 ]; then
    chosen=()
    for target in "${TARGETS[@]}"; do
        read -r name _ <<<"$target"
        [[ " $* " != *" $name "* ]] || chosen+=("$target")
    done
    [ "${#chosen[@]}" -eq "$#" ] || { echo "fuzz: unknown target among: $*" >&2; exit 2; }
    TARGETS=("${chosen[@]}")
fi

seconds=${ZAV_FUZZ_SECONDS:-60}
names=()
total_weight=0
for target in "${TARGETS[@]}"; do
    read -r name weight _ <<<"$target"
    names+=("$name")
    total_weight=$((total_weight + weight))
done
as_invoker cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DZAV_FUZZ=ON -DZAV_TESTS=OFF -DZAV_BENCH=OFF
as_invoker cmake --build build-fuzz --target "${names[@]}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# Runs target $1 for $2 seconds from seeds $3 with inputs of at most $4 bytes. New
# inputs go to a working copy, never into the seeds kept in the repository.
fuzz() {
    local corpus=build-fuzz/corpus/${1%_fuzzer}
    as_invoker mkdir -p "$corpus"
    as_invoker cp -n "$3"/* "$corpus"/ 2>/dev/null || true
    echo "== fuzz: $1 for $2 s =="
    as_invoker "build-fuzz/tests/fuzz/$1" "$corpus" -max_total_time="$2" -timeout=10 \
        -rss_limit_mb=1024 -max_len="$4" -print_final_stats=1 -artifact_prefix=build-fuzz/
}

status=0
for target in "${TARGETS[@]}"; do
    read -r name weight seeds max_len <<<"$target"
    share=$((seconds * weight / total_weight))
    fuzz "$name" $((share > 0 ? share : 1)) "$seeds" "$max_len" || status=1
done
exit $status
