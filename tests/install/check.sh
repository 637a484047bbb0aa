#!/usr/bin/env bash
# Builds and runs the consumer project next to this script against an installed quilo, with each
# compiler given: once with find_package(quilo CONFIG REQUIRED), once with
# `pkg-config --cflags --libs quilo`. A shared quilo must export no inner symbol, and its
# installed tool must find it on its own.
#
#   tests/install/check.sh FROM SANITIZERS WITH_TOOL CXX...
#
# FROM is a build folder, installed first into a temporary prefix, or a prefix installed already.
# SANITIZERS is the build's QUILO_SANITIZE (a sanitized static library needs them at link time);
# WITH_TOOL is ON when the build has the quilo tool, which must then be installed too.
set -euo pipefail
from="$1" sanitize="$2" with_tool="$3"
shift 3
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
flags=()
[[ -z "$sanitize" ]] || flags=("-fsanitize=$sanitize")
# Runs a step quietly, showing its output only when it fails.
quietly() { "$@" >"$work/log" 2>&1 || { cat "$work/log"; exit 1; }; }

prefix="$from"
if [[ -f "$from/CMakeCache.txt" ]]; then
    prefix="$work/prefix"
    echo "== cmake --install $from --prefix $prefix"
    quietly cmake --install "$from" --prefix "$prefix"
fi
# Two headers whose paths differ only in case overwrite each other on macOS and Windows.
clashes="$(cd "$prefix" && find include -type f | sort -f | uniq -di)"
[[ -z "$clashes" ]] || { echo "headers that differ only in case: $clashes" >&2; exit 1; }
pc="$(find "$prefix" -name quilo.pc)"
[[ -n "$pc" ]] || { echo "no quilo.pc under $prefix" >&2; exit 1; }
libdir="$(dirname "$(dirname "$pc")")"

if [[ -e "$libdir/libquilo.so" ]]; then
    echo "== exported symbols of $(readlink -f "$libdir/libquilo.so")"
    symbols="$(nm -DC --defined-only "$libdir/libquilo.so")"
    public='^\S+ \S ((typeinfo|typeinfo name|vtable) for |(non-)?virtual thunk to )?quilo::'
    inner="$(grep -vE "$public|^\S+ A QUILO_" <<<"$symbols"; grep -E "${public}detail::" <<<"$symbols")" ||
        true
    [[ -z "$inner" ]] || { echo "exported, yet no public API:"$'\n'"$inner" >&2; exit 1; }
    echo "$(wc -l <<<"$symbols") symbols, all of the public API"
fi
# Not even LD_LIBRARY_PATH helps the tool find its library.
[[ "$with_tool" != ON ]] || env -u LD_LIBRARY_PATH "$prefix/bin/quilo" --version

for cxx in "$@"; do
    echo "== $cxx: find_package(quilo CONFIG REQUIRED)"
    quietly cmake -S "$here/consumer" -B "$work/$cxx" -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="${flags[*]}"
    grep -F "quilo_DIR:PATH=$prefix/" "$work/$cxx/CMakeCache.txt"
    quietly cmake --build "$work/$cxx"
    "$work/$cxx/consumer"

    echo "== $cxx: pkg-config --cflags --libs quilo"
    pkg=(env PKG_CONFIG_PATH="$(dirname "$pc")" pkg-config)
    "${pkg[@]}" --cflags --libs quilo
    # shellcheck disable=SC2046  # pkg-config's words are meant to split
    "$cxx" -std=c++20 "${flags[@]}" "$here/consumer/main.cpp" -o "$work/pkg-consumer" \
        $("${pkg[@]}" --cflags --libs quilo) -Wl,-rpath,"$libdir"
    "$work/pkg-consumer"
done
