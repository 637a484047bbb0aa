#!/usr/bin/env bash
# shellcheck disable=SC2317  # the stages are called by name
# The whole check, as CI runs it: set up the machine, check that the includes keep to the
# layers, make a Release build and the API reference, start the test servers, run every test,
# build quilo shared with clang inside a strict parent project and check its install and its
# Debian package, then build with clang and run the tests again under AddressSanitizer with
# UndefinedBehaviorSanitizer, build and run them under ThreadSanitizer, and fuzz the parsers for
# a bounded time. Every build of quilo's own turns compiler warnings into errors; the parent
# project's leaves them warnings, as a consumer's would, and fails on any.
#
#   scripts/test.sh                 every stage, in order
#   scripts/test.sh build test      only the stages named (see STAGES)
#
# Stops at the first stage that fails and exits non-zero; the servers are stopped on the way
# out, whatever happens. A stage is one function named stage_<name>, listed in STAGES.
# Environment: QUILO_BUILD_DIR (build), QUILO_ASAN_BUILD_DIR (build-asan),
# QUILO_TSAN_BUILD_DIR (build-tsan), QUILO_SHARED_BUILD_DIR (build-shared), QUILO_JOBS (2),
# QUILO_TEST_JOBS (one more than QUILO_JOBS).
set -uo pipefail
# shellcheck source=scripts/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$QUILO_ROOT" || exit 1

STAGES=(setup layers build docs servers test shared package build_asan test_asan build_tsan
    test_tsan fuzz)
JOBS="${QUILO_JOBS:-2}"
# The tests wait on the servers a sixth of the time at one a core: 168 s for the suite at 2,
# 145 s at 3.
TEST_JOBS="${QUILO_TEST_JOBS:-$((JOBS + 1))}"
BUILD_DIR="${QUILO_BUILD_DIR:-build}"
ASAN_BUILD_DIR="${QUILO_ASAN_BUILD_DIR:-build-asan}"
TSAN_BUILD_DIR="${QUILO_TSAN_BUILD_DIR:-build-tsan}"
SHARED_BUILD_DIR="${QUILO_SHARED_BUILD_DIR:-build-shared}"

# Configures and builds in $1 with the C++ compiler $2; later options override the defaults
# given here. A folder configured before with another compiler starts afresh: CMake would drop
# the other options along with the old compiler.
configure_and_build() {
    local dir="$1" compiler="$2" cached
    shift 2
    cached="$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$dir/CMakeCache.txt" 2>/dev/null)"
    if [[ -n "$cached" && "$(readlink -f "$cached")" != "$(readlink -f "$(command -v "$compiler")")" ]]
    then
        rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles"
    fi
    # lld links the sanitized test programs four times faster than the default linker.
    local linker=()
    command -v ld.lld >/dev/null && linker=(-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld
        -DCMAKE_SHARED_LINKER_FLAGS=-fuse-ld=lld)
    CXX="$compiler" cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQUILO_WARNINGS_AS_ERRORS=ON -DQUILO_BUILD_TESTS=ON -DQUILO_BUILD_TOOLS=ON \
        -DQUILO_BUILD_BENCH=ON "${linker[@]}" "$@" &&
        cmake --build "$dir" -j"$JOBS"
}

passed_total=0
failed_total=0

# Runs the suite built in $1 (or the part that ctest options after it select) against the
# servers, and adds its counts to the totals.
run_ctest() {
    local dir="$1" log="$1/ctest.log" status
    shift
    if [[ -z "${QUILO_TEST_RGW_HOST:-}" && -f "$QUILO_RUN_DIR/servers.env" ]]; then
        # shellcheck source=/dev/null
        source "$QUILO_RUN_DIR/servers.env"
    fi
    ctest --test-dir "$dir" --output-on-failure -j"$TEST_JOBS" --no-tests=error --timeout 300 "$@" \
        2>&1 | tee "$log"
    status=$?
    local summary
    summary="$(grep -Eo '[0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)"
    if [[ "$summary" =~ ^([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+)$ ]]; then
        failed_total=$((failed_total + BASH_REMATCH[1]))
        passed_total=$((passed_total + BASH_REMATCH[2] - BASH_REMATCH[1]))
    fi
    return "$status"
}

stage_setup() {
    scripts/setup.sh
}

# No file of a lower layer of the library includes one of a higher.
stage_layers() {
    scripts/layers.sh
}

# The build a consumer gets, so that its optimiser's warnings are seen. The tests' own code is
# not optimised, which takes a third of the time, and the benchmark is built unoptimised with the
# sanitizers, which only need it to compile.
stage_build() {
    configure_and_build "$BUILD_DIR" g++ -DCMAKE_BUILD_TYPE=Release -DQUILO_TEST_CXX_FLAGS=-O0 \
        -DQUILO_BUILD_BENCH=OFF
}

# The API reference of the public headers, from the Release build's configuration; a public
# name without documentation fails it.
stage_docs() {
    cmake --build "$BUILD_DIR" --target quilo_docs
}

servers_started=0
stage_servers() {
    servers_started=1
    # shellcheck source=/dev/null
    scripts/servers.sh start && source "$QUILO_RUN_DIR/servers.env"
}

stage_test() {
    run_ctest "$BUILD_DIR"
}

# quilo as a subdirectory of a parent project that turns on -Wall -Wextra -Wshadow -Wconversion
# and CMAKE_COMPILE_WARNING_AS_ERROR, built as Debian builds a package: shared, with clang, the
# tool but no tests, the prefix /usr. The build must not fail on quilo's warnings, and there must
# be none.
stage_shared() {
    local log="$SHARED_BUILD_DIR/build.log"
    CXX=clang++ cmake -S tests/install/parent -B "$SHARED_BUILD_DIR" \
        -DQUILO_SOURCE_DIR="$QUILO_ROOT" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
        -DQUILO_BUILD_TOOLS=ON -DQUILO_PACKAGE=ON -DCMAKE_INSTALL_PREFIX=/usr &&
        cmake --build "$SHARED_BUILD_DIR" -j"$JOBS" 2>&1 | tee "$log" &&
        ! grep -F 'warning:' "$log"
}

# The shared build installed (consumers by clang, which built it) and packed as a .deb, unpacked
# into a scratch root, never installed (consumers by GCC and by clang).
stage_package() {
    tests/install/check.sh "$SHARED_BUILD_DIR" "" ON clang++ &&
        tests/install/package.sh "$SHARED_BUILD_DIR" g++ clang++
}

# Sanitized builds keep line tables only: reports keep their file and line, and the builds take
# less of CI's two cores. ThreadSanitizer needs -O1 to run at a usable speed; AddressSanitizer
# compiles three times faster unoptimised, and the tests it runs wait on the servers anyway.
SANITIZED_FLAGS=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG")

# With clang, so that a second compiler sees the library, the tests, the tool and the benchmark.
stage_build_asan() {
    configure_and_build "$ASAN_BUILD_DIR" clang++ -DQUILO_SANITIZE=address,undefined \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O0 -g1 -DNDEBUG"
}

# The tests that run quilo's code; the install and compile checks ran in the plain build. The
# tests that kill the tool are left to the plain build: a process ended by SIGKILL never reaches
# the sanitizers' checks at exit, and the runs that resume it read and write as any other does.
stage_test_asan() {
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        run_ctest "$ASAN_BUILD_DIR" -L '^(unit|integration)$' -E '^(Cli\.Killed|kill_harness)'
}

# ThreadSanitizer: the library, its unit tests, and the integration tests that put many
# requests, cancellations and an exiting process on the network thread at once.
stage_build_tsan() {
    configure_and_build "$TSAN_BUILD_DIR" g++ -DQUILO_SANITIZE=thread -DQUILO_BUILD_TOOLS=OFF \
        -DQUILO_BUILD_BENCH=OFF -DQUILO_INTEGRATION_ONLY='/(Load|InFlight|Token)Test\.cpp$' \
        -DQUILO_TEST_CXX_FLAGS=-O0 "${SANITIZED_FLAGS[@]}"
}

# Every test stage_build_tsan built.
stage_test_tsan() {
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
        run_ctest "$TSAN_BUILD_DIR" -L '^(unit|integration)$'
}

# libFuzzer targets, built apart from the CMake builds; about 20 s each unless
# QUILO_FUZZ_SECONDS says otherwise (their corpora start them well past the trivial inputs).
stage_fuzz() {
    QUILO_FUZZ_SECONDS="${QUILO_FUZZ_SECONDS:-20}" scripts/fuzz.sh
}

stop_servers() {
    if ((servers_started)); then
        scripts/servers.sh stop || echo "test.sh: stopping the servers failed" >&2
    fi
}
trap stop_servers EXIT
trap 'exit 130' INT TERM

selected=("$@")
((${#selected[@]})) || selected=("${STAGES[@]}")
for name in "${selected[@]}"; do
    declare -F "stage_$name" >/dev/null || die "no stage '$name'; stages: ${STAGES[*]}"
done

summary=()
status=0
for name in "${selected[@]}"; do
    if ((status != 0)); then
        summary+=("$(printf '  %-12s %9s  skipped' "$name" -)")
        continue
    fi
    echo "=== $name"
    started="${EPOCHREALTIME/./}"
    "stage_$name"
    stage_status=$?
    tenths=$(((${EPOCHREALTIME/./} - started) / 100000))
    result=ok
    if ((stage_status != 0)); then
        result="FAILED (exit $stage_status)"
        status=1
    fi
    summary+=("$(printf '  %-12s %6d.%ds  %s' "$name" $((tenths / 10)) $((tenths % 10)) "$result")")
done

echo "=== summary"
printf '%s\n' "${summary[@]}"
if ((passed_total + failed_total > 0)); then
    echo "ctest: $passed_total passed, $failed_total failed"
fi
exit "$status"
