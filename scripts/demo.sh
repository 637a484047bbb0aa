#!/usr/bin/env bash
# A tour of the quilo tool against a local Ceph RGW: sets the machine up, builds quilo, starts
# RGW, then makes a bucket, lists the buckets with the smallest program on the library
# (tools/examples/list_buckets.cpp), uploads a file (with a progress bar when run in a terminal), a
# folder from a coroutine (tools/examples/upload_tree.cpp), lists,
# copies, sets an ACL and metadata and shows them, downloads and compares, deletes, and removes
# the bucket.
#
#   scripts/demo.sh
#
# Exits non-zero at the first step that fails. RGW is stopped on the way out, unless it was
# already running. Environment: QUILO_BUILD_DIR (build), QUILO_JOBS (2), QUILO_DEMO_MIB (size
# of the uploaded file, 200) and the ports of scripts/rgw.sh.
set -euo pipefail
# shellcheck source=scripts/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$QUILO_ROOT"

step() {
    printf '\n==> %s\n' "$*"
}

step "setting up the machine (scripts/setup.sh)"
scripts/setup.sh

step "building quilo (a few minutes the first time)"
build="${QUILO_BUILD_DIR:-build}"
quietly cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILO_BUILD_TOOLS=ON
quietly cmake --build "$build" -j"${QUILO_JOBS:-2}" --target quilo_cli list_buckets upload_tree
quilo_binary="$(cd "$build" && pwd)/tools/quilo"
list_buckets_binary="$(cd "$build" && pwd)/tools/examples/list_buckets"
upload_tree_binary="$(cd "$build" && pwd)/tools/examples/upload_tree"

work="$(mktemp -d)"
bucket="quilo-demo-$(date +%s)-$$"
rgw_started=0
tour_done=0
finish() {
    local status=$?
    if ((!tour_done)); then
        echo "demo.sh: the tour stopped at a failed step" >&2
        # Leave no half-made bucket behind on an RGW that stays up.
        if ((!rgw_started)) && [[ -n "${AWS_ENDPOINT_URL:-}" ]]; then
            aws --endpoint-url "$AWS_ENDPOINT_URL" s3 rb --force "s3://$bucket" >/dev/null 2>&1 ||
                true
        fi
    fi
    cd "$QUILO_ROOT"
    rm -rf "$work"
    if ((rgw_started)); then
        step "stopping RGW"
        scripts/rgw.sh stop
    fi
    exit "$status"
}
trap finish EXIT

if ! scripts/rgw.sh status >/dev/null 2>&1; then
    rgw_started=1
    step "starting a local Ceph RGW (scripts/rgw.sh)"
    scripts/rgw.sh start
fi

# quilo reads the variables awscli users already have.
rgw_aws_env
export AWS_ENDPOINT_URL="http://127.0.0.1:$QUILO_RGW_PORT"

# Shows each command as typed, then runs it.
quilo() {
    printf '$ quilo %s\n' "$*"
    "$quilo_binary" "$@"
}
run() {
    printf '$ %s\n' "$*"
    "$@"
}

s3="s3://$bucket"
mib="${QUILO_DEMO_MIB:-200}"
cd "$work"

step "making a bucket"
quilo mb "$s3"

step "listing the buckets with the example program: GlobalConfig, then listBuckets"
run "$list_buckets_binary"

step "uploading $mib MiB of random bytes, and a small text file"
head -c "$((mib * 1024 * 1024))" /dev/urandom >random.bin
echo "Hello from quilo's demo, $(date -u +%FT%TZ)" >hello.txt
quilo put random.bin "$s3/data/"
quilo put hello.txt "$s3/"

step "uploading a folder from a coroutine, eight files at a time, and listing it back"
mkdir -p tree/notes
for i in 1 2 3 4 5 6 7 8 9 10; do echo "note $i" >"tree/notes/$i.txt"; done
cp hello.txt tree/
run "$upload_tree_binary" tree "$bucket" tree/

step "listing the buckets, the objects, and the objects grouped by '/'"
quilo ls
quilo ls "$s3"
quilo ls "$s3" --delimiter /

step "copying on the server"
quilo cp "$s3/data/random.bin" "$s3/backup/random.bin"

step "letting everyone read hello.txt, and reading it without keys"
quilo acl set "$s3/hello.txt" --grant "READ=uri=http://acs.amazonaws.com/groups/global/AllUsers" \
    --grant "FULL_CONTROL=id=$QUILO_RGW_USER_ID"
quilo acl get "$s3/hello.txt"
run curl -fsS "$AWS_ENDPOINT_URL/$bucket/hello.txt"

step "replacing the metadata of hello.txt"
quilo meta set "$s3/hello.txt" Content-Type=text/plain author=demo
quilo meta get "$s3/hello.txt"

step "downloading the copy and comparing it with the original"
quilo get "$s3/backup/random.bin" downloaded.bin
run cmp random.bin downloaded.bin
echo "identical"

step "deleting the objects and removing the bucket"
quilo rm "$s3/data/random.bin" "$s3/backup/random.bin" "$s3/hello.txt"
quilo rm -r "$s3/tree"
quilo rb "$s3"

tour_done=1
step "done: every step of the tour succeeded"
