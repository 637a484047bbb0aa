#!/usr/bin/env bash
# A first round trip: sets the machine up, builds the example program, starts a local Ceph RGW,
# makes a bucket and an object in it with awscli, then lists the buckets through quilo.
#
#   scripts/demo.sh
#
# RGW is stopped again on the way out, unless it was already running before.
set -euo pipefail
# shellcheck source=scripts/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$QUILO_ROOT"

step() {
    echo "==> $*"
}

step "setting up the machine (scripts/setup.sh)"
scripts/setup.sh

step "building the example program (a few minutes the first time)"
build="${QUILO_BUILD_DIR:-build}"
quietly cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
quietly cmake --build "$build" -j"${QUILO_JOBS:-2}" --target list_buckets

if ! scripts/rgw.sh status >/dev/null; then
    trap 'step "stopping RGW"; scripts/rgw.sh stop' EXIT
    step "starting a local Ceph RGW (scripts/rgw.sh)"
    scripts/rgw.sh start
fi

endpoint="http://127.0.0.1:$QUILO_RGW_PORT"
rgw_aws_env
s3() {
    aws --endpoint-url "$endpoint" "$@"
}

step "creating bucket quilo-demo and an object in it with awscli"
s3 s3api head-bucket --bucket quilo-demo 2>/dev/null || s3 s3 mb s3://quilo-demo
echo "Hello from quilo's demo, $(date -u +%FT%TZ)" | s3 s3 cp - s3://quilo-demo/hello.txt
s3 s3 ls s3://quilo-demo

step "listing the buckets with quilo: $build/tools/examples/list_buckets"
AWS_ENDPOINT_URL="$endpoint" "$build/tools/examples/list_buckets"
