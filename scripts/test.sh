#!/usr/bin/env bash
# Builds the normal and the sanitizer (address + undefined) builds and runs the whole
# test suite in both, then runs the fuzz targets for a bounded time (scripts/fuzz.sh,
# ZAV_FUZZ_SECONDS, default 60). Exits non-zero on any failure.
#   bash scripts/test.sh           all of it
#   bash scripts/test.sh --quick   a check of the command itself in a few minutes: the
#                                  same installation and configuration, but only the
#                                  server's programs are built, only the tests labelled
#                                  "quick" run (in both builds), no style check, and only
#                                  the monitor's fuzz target, for ZAV_FUZZ_SECONDS
#                                  (default 5). It leaves behind what a whole run does
#                                  (ctest's Testing/, the fuzz corpus); tests/fresh_clone.sh
#                                  runs it.
# Run as root (or with sudo) the log-on tests run too; what the run leaves in the build
# directories belongs to the checkout's owner afterwards, as the builds do.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

quick=
case "${1:-}" in
"") ;;
--quick) quick=1 ;;
*)
    echo "usage: scripts/test.sh [--quick]" >&2
    exit 2
    ;;
esac

jobs=$(nproc)
status=0

# On a fresh machine this installs what the build and the tests need.
bash scripts/setup.sh --tests
# What an older run left in the builds as root becomes the owner's again.
hand_back build build-sanitize

# The test accounts' uids must be free of processes before any test logs on.
[ "$(id -u)" -ne 0 ] || sh tests/accounts.sh check

# The quick run builds the server alone; its tests need nothing more.
targets=()
[ -z "$quick" ] || targets=(--target zavd brisel)
as_invoker cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZAV_TESTS=ON \
    -DZAV_BENCH=ON
as_invoker cmake --build build "${targets[@]}"
as_invoker cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZAV_SANITIZE=ON \
    -DZAV_TESTS=ON -DZAV_BENCH=OFF
as_invoker cmake --build build-sanitize "${targets[@]}"

# The log-on tests' accounts (made with random passwords by the suite when run as root)
# go with the run, also when it fails or is interrupted.
# What the root run wrote there (ctest's Testing/, the tests' files) goes to the checkout's
# owner then too.
trap 'sh tests/accounts.sh remove build/test-accounts.txt; sh tests/accounts.sh remove build-sanitize/test-accounts.txt; hand_back build build-sanitize' EXIT
trap 'exit 130' INT TERM

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:suppressions=$PWD/tests/asan.supp
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

if [ -n "$quick" ]; then
    echo "== quick tests: normal build =="
    ctest --test-dir build --output-on-failure -L '^quick$' || status=1
    echo "== quick tests: sanitizer build =="
    ctest --test-dir build-sanitize --output-on-failure -L '^quick$' || status=1
    echo "== fuzzing (one target) =="
    ZAV_FUZZ_SECONDS=${ZAV_FUZZ_SECONDS:-5} scripts/fuzz.sh monitor_fuzzer || status=1
    exit $status
fi

echo "== style =="
# Every C++ file of the tree as clang-format lays it out, and clang-tidy's findings on
# the product's C++ files this branch changed (since its merge base with origin/main, or
# else in its last commit), so the check takes seconds. Tests and benchmarks are left
# out of clang-tidy: their frameworks' macros are what it would report. git runs as the
# checkout's owner: as root it would refuse a repository of another account.
as_invoker git ls-files -z '*.cpp' '*.h' | xargs -0 -r clang-format --dry-run --Werror ||
    status=1
base=$(as_invoker git merge-base HEAD origin/main 2>/dev/null || true)
# On main itself (a fresh clone, as CI makes) the merge base is HEAD: its last commit.
if [ -z "$base" ] || [ "$base" = "$(as_invoker git rev-parse HEAD)" ]; then
    base=$(as_invoker git rev-parse --verify -q HEAD~1 || true)
fi
if [ -n "$base" ]; then
    as_invoker git diff -z --name-only --diff-filter=ACMR "$base" -- '*.cpp' ':!tests' ':!bench' |
        xargs -0 -r -n 1 -P "$jobs" clang-tidy -p build --quiet --warnings-as-errors='*' ||
        status=1
fi

echo "== tests: normal build =="
ctest --test-dir build --output-on-failure -j "$jobs" || status=1
echo "== tests: sanitizer build =="
ctest --test-dir build-sanitize --output-on-failure -j "$jobs" || status=1

echo "== fuzzing =="
scripts/fuzz.sh || status=1

# In CI (or when asked for): README's commands on a fresh clone in a private directory,
# as a user with sudo and as root, the test command's quick form among them. It builds
# the project once more, so it is left out of everyday runs.
if [ "${CI:-}" = true ] || [ "${ZAV_FRESH_CLONE:-}" = 1 ]; then
    echo "== fresh clone =="
    bash tests/fresh_clone.sh || status=1
fi

exit $status
