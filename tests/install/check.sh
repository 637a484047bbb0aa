#!/usr/bin/env bash
# Installs the build in BUILD_DIR into a temporary prefix, then builds and runs the consumer
# project next to this script against it: once with find_package(quilo CONFIG REQUIRED), once
# with `pkg-config --cflags --libs quilo`.
#
#   tests/install/check.sh BUILD_DIR CXX SANITIZERS WITH_TOOL
#
# SANITIZERS is the build's QUILO_SANITIZE (a sanitized static library needs them at link time);
# WITH_TOOL is ON when the build has the quilo tool, which must then be installed too.
set -euo pipefail
build="$1" cxx="$2" sanitize="$3" with_tool="$4"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
flags=()
[[ -z "$sanitize" ]] || flags=("-fsanitize=$sanitize")
prefix="$work/prefix"
# Runs a step quietly, showing its output only when it fails.
quietly() { "$@" >"$work/log" 2>&1 || { cat "$work/log"; exit 1; }; }

echo "== cmake --install $build --prefix $prefix"
quietly cmake --install "$build" --prefix "$prefix"
[[ "$with_tool" != ON ]] || "$prefix/bin/quilo" --version
# Two headers whose paths differ only in case overwrite each other on macOS and Windows.
clashes="$(cd "$prefix" && find include -type f | sort -f | uniq -di)"
[[ -z "$clashes" ]] || { echo "headers that differ only in case: $clashes" >&2; exit 1; }

echo "== find_package(quilo CONFIG REQUIRED)"
quietly cmake -S "$here/consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="${flags[*]}"
grep -F "quilo_DIR:PATH=$prefix/" "$work/cmake/CMakeCache.txt"
quietly cmake --build "$work/cmake"
"$work/cmake/consumer"

echo "== pkg-config --cflags --libs quilo"
pc="$(find "$prefix" -name quilo.pc)"
[[ -n "$pc" ]] || { echo "no quilo.pc under $prefix" >&2; exit 1; }
pkg=(env PKG_CONFIG_PATH="$(dirname "$pc")" pkg-config)
"${pkg[@]}" --cflags --libs quilo
# shellcheck disable=SC2046  # pkg-config's words are meant to split
"$cxx" -std=c++20 "${flags[@]}" "$here/consumer/main.cpp" -o "$work/pkg-consumer" \
    $("${pkg[@]}" --cflags --libs quilo)
"$work/pkg-consumer"
