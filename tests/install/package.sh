#!/usr/bin/env bash
# Makes the Debian package of a build configured with QUILO_PACKAGE=ON and the prefix /usr,
# checks that it depends on the package of every library its binaries link, unpacks it into a
# scratch root (nothing is installed into the system), checks that each of its headers compiles
# on its own, and runs the install check against it.
#
#   tests/install/package.sh BUILD_DIR CXX...
set -euo pipefail
build="$1"
shift
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

echo "== cpack -G DEB in $build"
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >"$work/log" 2>&1) || { cat "$work/log"; exit 1; }
deb="$(echo "$build"/*.deb)"
dpkg-deb -f "$deb" Package Version Depends
dpkg-deb -x "$deb" "$work/root"
prefix="$work/root/usr"
[[ -s "$prefix/share/man/man1/quilo.1" ]] || { echo "no man page in $deb" >&2; exit 1; }

depends="$(dpkg-deb -f "$deb" Depends)"
multiarch="$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
mapfile -t binaries < <(find "$prefix/bin" "$prefix/lib" -type f \( -perm -u+x -o -name '*.so*' \))
for library in $(readelf -d "${binaries[@]}" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort -u); do
    [[ "$library" == libquilo.so.* ]] && continue
    owner="$(dpkg -S "*/$multiarch/$library" | head -n 1 | cut -d: -f1)"
    [[ ",$depends," == *[,\ ]"$owner"[\ ,]* ]] ||
        { echo "$deb links $library of $owner, but does not depend on it" >&2; exit 1; }
done

for header in $(cd "$prefix/include" && find quilo -name '*.hpp' | sort); do
    echo "#include <$header>" | "$1" -std=c++20 -fsyntax-only -I"$prefix/include" -x c++ - ||
        { echo "$header does not compile on its own" >&2; exit 1; }
done
echo "every installed header compiles on its own"

"$here/check.sh" "$prefix" "" ON "$@"
