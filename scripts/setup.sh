#!/usr/bin/env bash
# Installs what the build, the tests and the test servers need on Debian 12, then the Node
# packages that s3rver needs, pinned in scripts/s3rver/package-lock.json. Quiet and quick when
# everything is already there.
set -euo pipefail
# shellcheck source=scripts/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

PACKAGES=(
    # build
    g++ cmake pkg-config libcurl4-openssl-dev libssl-dev libpugixml-dev libcli11-dev
    libgtest-dev libgmock-dev libbenchmark-dev clang clang-format libclang-rt-14-dev lld
    # the quilo tool: profile files, JSON output, its man page
    libinih-dev nlohmann-json3-dev help2man
    # the shells whose completion scripts the tool prints, to check them with
    zsh fish
    # the API reference and the Debian package
    doxygen dpkg-dev file
    # test servers and the tools the tests and the demo compare against
    ceph-mon ceph-osd radosgw ceph-common awscli python3-boto3 s3cmd openssl curl
    ca-certificates util-linux
    # more peers for the benchmark: rclone, and libs3's `s3` tool
    rclone libs3-2
)
# Node.js 20 with npm usually comes with the machine; Debian's own is a fallback.
command -v npm >/dev/null || PACKAGES+=(nodejs npm)

missing_packages() {
    local p
    for p in "${PACKAGES[@]}"; do
        [[ "$(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null)" == "ii"* ]] || echo "$p"
    done
}

install_packages() {
    local missing
    mapfile -t missing < <(missing_packages)
    ((${#missing[@]} == 0)) && return 0
    local apt=(env DEBIAN_FRONTEND=noninteractive apt-get -q)
    ((EUID == 0)) || apt=(sudo "${apt[@]}")
    quietly "${apt[@]}" update
    quietly "${apt[@]}" install -y --no-install-recommends "${missing[@]}"
}

# npm ci wipes and refills node_modules, so run it only when the lock file has changed since.
install_node_packages() {
    local dir="$QUILO_ROOT/scripts/s3rver" want
    local stamp="$dir/node_modules/.quilo-lock.sha256"
    want="$(sha256sum "$dir/package-lock.json" | cut -d' ' -f1)"
    if [[ -f "$stamp" && "$(cat "$stamp")" == "$want" ]]; then
        return 0
    fi
    (cd "$dir" && quietly npm ci --no-audit --no-fund --loglevel=error)
    echo "$want" >"$stamp"
}

install_packages
install_node_packages
