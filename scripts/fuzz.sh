#!/usr/bin/env bash
# Builds the libFuzzer targets with clang 14 (AddressSanitizer and UndefinedBehaviorSanitizer)
# and runs each for a while on a copy of its seed corpus in tests/fuzz/corpus, so that the
# committed seeds stay as they are. Fails when a target finds anything (a crash, a sanitizer
# report, a leak, a timeout or running out of memory); the input that did it is kept under
# <build dir>/fuzz/artifacts/<target>/.
#
#   scripts/fuzz.sh [seconds per target, default 60]
#
# Environment: KX_BUILD_DIR (default build-fuzz, relative to the repository root), KX_JOBS
# (default 2).
# Reproduce a finding: <build dir>/tests/fuzz/<target> <artifact>; KX_FUZZ_VERBOSE=1 also shows
# the runtime's messages.
set -euo pipefail

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo_root"

seconds="${1:-60}"
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: scripts/fuzz.sh [seconds per target]" >&2
    exit 1
fi

build_dir="${KX_BUILD_DIR:-build-fuzz}"
build_dir="$(mkdir -p "$build_dir" && cd "$build_dir" && pwd)"
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKX_BUILD_FUZZERS=ON -DKX_BUILD_TESTS=OFF -DKX_BUILD_BENCHMARKS=OFF
targets=(fuzz_config_parser fuzz_image_reader)
cmake --build "$build_dir" -j"${KX_JOBS:-2}" --target "${targets[@]}"

export ASAN_OPTIONS="${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"

failed=()
for target in "${targets[@]}"; do
    corpus_name="${target#fuzz_}"
    work="$build_dir/fuzz"
    corpus="$work/corpus/$corpus_name"
    artifacts="$work/artifacts/$target"
    rm -rf "$corpus"
    mkdir -p "$corpus" "$artifacts"
    cp tests/fuzz/corpus/"$corpus_name"/* "$corpus"/
    options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
             -artifact_prefix="$artifacts/")
    if [[ -f tests/fuzz/"$corpus_name".dict ]]; then
        options+=(-dict=tests/fuzz/"$corpus_name".dict)
    fi
    echo "=== $target: $seconds s"
    if ! "$build_dir/tests/fuzz/$target" "${options[@]}" "$corpus"; then
        failed+=("$target")
        echo "=== $target: FOUND A PROBLEM; inputs kept in $artifacts" >&2
    fi
done

if ((${#failed[@]} > 0)); then
    echo "fuzz.sh: findings in ${failed[*]}" >&2
    exit 1
fi
echo "fuzz.sh: no findings"
