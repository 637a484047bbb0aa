#!/usr/bin/env bash
# Builds every libFuzzer target in tests/fuzz/ with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each for a bounded time.
#
#   scripts/fuzz.sh              every target
#   scripts/fuzz.sh xml headers  only the targets named (tests/fuzz/<name>_fuzzer.cpp)
#
# Each target starts from its seed corpus, tests/fuzz/corpus/<name>/, which it only reads; what
# it discovers goes to the build folder. A crash, leak or time-out fails the script, and the
# input that caused it is copied into the seed corpus, so that it stays a regression seed once
# the fault is fixed.
# Environment: QUILO_FUZZ_SECONDS (60 per target), QUILO_FUZZ_BUILD_DIR (build-fuzz),
# QUILO_FUZZ_CXX (clang++).
set -uo pipefail
# shellcheck source=scripts/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$QUILO_ROOT" || exit 1

SECONDS_PER_TARGET="${QUILO_FUZZ_SECONDS:-60}"
BUILD_DIR="${QUILO_FUZZ_BUILD_DIR:-build-fuzz}"
CXX="${QUILO_FUZZ_CXX:-clang++}"
[[ "$SECONDS_PER_TARGET" =~ ^[1-9][0-9]*$ ]] || die "QUILO_FUZZ_SECONDS must be a positive number"
command -v "$CXX" >/dev/null || die "$CXX is not installed (scripts/setup.sh installs clang)"

# The library sources each target needs, and its extra link flags.
declare -A SOURCES=(
    [xml]="src/requestlib/s3/S3Xml.cpp src/requestlib/s3/XmlNodes.cpp src/requestlib/s3/S3Configurations.cpp src/requestlib/s3/S3Headers.cpp src/requestlib/base/Text.cpp src/requestlib/encoding/UriEncoding.cpp src/requestlib/encoding/Crypto.cpp src/requestlib/base/Error.cpp"
    [headers]="src/requestlib/http/ResponseHeaders.cpp src/requestlib/base/Text.cpp"
)
declare -A LIBS=(
    [xml]="-lpugixml -lcrypto"
)

targets=("$@")
if ((${#targets[@]} == 0)); then
    for file in tests/fuzz/*_fuzzer.cpp; do
        name="$(basename "$file" _fuzzer.cpp)"
        targets+=("$name")
    done
fi
for name in "${targets[@]}"; do
    [[ -f "tests/fuzz/${name}_fuzzer.cpp" ]] || die "no target '$name' (tests/fuzz/${name}_fuzzer.cpp)"
    [[ -v "SOURCES[$name]" ]] || die "scripts/fuzz.sh does not know which sources '$name' needs"
done

mkdir -p "$BUILD_DIR" || exit 1

build() {
    local name="$1" sources
    read -r -a sources <<<"${SOURCES[$name]}"
    # shellcheck disable=SC2086  # LIBS holds several flags
    "$CXX" -std=c++20 -g -O1 -fno-omit-frame-pointer \
        -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
        -Iinclude -Isrc "tests/fuzz/${name}_fuzzer.cpp" "${sources[@]}" ${LIBS[$name]:-} \
        -o "$BUILD_DIR/${name}_fuzzer"
}

# Runs one target; prints its totals; copies what broke it into its seed corpus.
run() {
    local name="$1" seeds="tests/fuzz/corpus/$1" work="$BUILD_DIR/corpus/$1"
    local artifacts="$BUILD_DIR/artifacts/$1/" log="$BUILD_DIR/$1.log" status
    mkdir -p "$seeds" "$work" "$artifacts" || return 1
    rm -f "$artifacts"*
    # The outer time-out only catches a fuzzer that ignores its own limit.
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        timeout --kill-after=10 $((SECONDS_PER_TARGET + 120)) \
        "$BUILD_DIR/${name}_fuzzer" -max_total_time="$SECONDS_PER_TARGET" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts" \
        "$work" "$seeds" >"$log" 2>&1
    status=$?

    local runs speed
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
    speed="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)"
    printf '  %-8s %12s runs %9s exec/s  %s\n' "$name" "${runs:-?}" "${speed:-?}" \
        "$( ((status == 0)) && echo ok || echo "FAILED (exit $status)")"
    if ((status != 0)); then
        tail -n 40 "$log" >&2
        local found=0 input
        for input in "$artifacts"*; do
            [[ -f "$input" ]] || continue
            cp "$input" "$seeds/" && found=1
            echo "fuzz.sh: $name: the failing input is now $seeds/$(basename "$input")" >&2
        done
        ((found)) || echo "fuzz.sh: $name: no failing input was saved; see $log" >&2
    fi
    return "$status"
}

# Each target is built, then run, beside the others: one per core, and their output kept apart
# until all are done.
each() {
    local step="$1" name pids=() status=0
    for name in "${targets[@]}"; do
        "$step" "$name" >"$BUILD_DIR/$name.$step.out" 2>&1 &
        pids+=($!)
    done
    for name in "${targets[@]}"; do
        wait "${pids[0]}" || status=1
        pids=("${pids[@]:1}")
        cat "$BUILD_DIR/$name.$step.out"
    done
    return "$status"
}

note "building ${targets[*]}"
each build || {
    echo "fuzz.sh: a target does not build" >&2
    exit 1
}
note "running each target for ${SECONDS_PER_TARGET}s"
each run
