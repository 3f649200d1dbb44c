#!/usr/bin/env bash
# The output flow's stress test in its long mode: many more generated programs than the
# suite runs, through the real console, capture, export and pacing (see
# tests/session/OutputFlowStressTest.cpp). Each case prints its seed on failure; rerun
# one with ZAV_STRESS_SEED=N ZAV_STRESS_CASES=1 (and ZAV_STRESS_DUMP=1 for every export).
#   bench/output_stress.sh [CASES [FIRST_SEED [BUILD_DIR]]]   defaults: 5000 1000 build
set -euo pipefail
cd "$(dirname "$0")/.."
cases=${1:-5000}
seed=${2:-1000}
build=${3:-build}
binary="$build/tests/session_tests"
[ -x "$binary" ] || { echo "no $binary: build the project first" >&2; exit 2; }
start=$(date +%s)
ZAV_STRESS_CASES=$cases ZAV_STRESS_SEED=$seed "$binary" \
    --gtest_filter='OutputFlowStress.*' --gtest_brief=1
echo "$cases cases from seed $seed in $(($(date +%s) - start)) s"
