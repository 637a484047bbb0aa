#!/usr/bin/env bash
# Time and peak RSS of quilo, awscli and rclone over many keys, in one run against the test RGW:
# the first sync up of N files of 100 bytes in 100 folders, ls of every key, a sync with nothing
# to do, and rm -r.
#
#   scripts/scale.sh QUILO_BINARY N...        e.g. scripts/scale.sh build/tools/quilo 10000
#
# QUILO_SCALE_TOOLS picks the clients (default "quilo aws rclone"): the peers take hours at a
# million keys. QUILO_SCALE_READERS (default none) names peers that list and sync down the bucket
# quilo wrote, before quilo's rm -r: their cheap rows at a size where writing is too slow for them.
# Needs scripts/servers.sh started and .run/servers.env sourced (QUILO_TEST_RGW_HOST and keys).
set -euo pipefail

quilo="$(readlink -f "$1")"
shift
work="$(mktemp -d /tmp/quilo-scale.XXXXXX)"
trap 'rm -rf "$work"' EXIT
endpoint="http://$QUILO_TEST_RGW_HOST"
export AWS_ACCESS_KEY_ID="$QUILO_TEST_ACCESS_KEY" AWS_SECRET_ACCESS_KEY="$QUILO_TEST_SECRET_KEY"
export AWS_REGION=us-east-1 AWS_ENDPOINT_URL="$endpoint" AWS_CONFIG_FILE=/nonexistent
export AWS_SHARED_CREDENTIALS_FILE=/nonexistent XDG_CACHE_HOME="$work/cache"
export RCLONE_CONFIG_SCALE_TYPE=s3 RCLONE_CONFIG_SCALE_PROVIDER=Ceph
export RCLONE_CONFIG_SCALE_ACCESS_KEY_ID="$AWS_ACCESS_KEY_ID"
export RCLONE_CONFIG_SCALE_SECRET_ACCESS_KEY="$AWS_SECRET_ACCESS_KEY"
export RCLONE_CONFIG_SCALE_ENDPOINT="$endpoint" RCLONE_CONFIG=/nonexistent

# "<seconds> <peak RSS in MiB>" of the command, whose output goes.
measure() {
    /usr/bin/time -f "%e %M" -o "$work/time" "$@" >/dev/null 2>"$work/err" ||
        { echo "failed: $*" >&2; tail -3 "$work/err" >&2; }
    tail -n 1 "$work/time" | awk '{ printf "%8.2f s %6.1f MiB", $1, $2 / 1024 }'
}

row() {  # size, tool, operation, command...
    printf '%8s %-7s %-16s %s\n' "$1" "$2" "$3" "$(measure "${@:4}")"
}

# The rows of one tool for one step: "up" writes the tree, "read" lists it and syncs with nothing
# to do, "rm" deletes it. Reads "$n", "$dir" and "$bucket".
quilo_rows() {
    case $1 in
    up) row "$n" quilo "sync (first)" "$quilo" --no-progress sync "$dir" "s3://$bucket/t/" ;;
    read)
        row "$n" quilo "ls recursive" "$quilo" ls --recursive "s3://$bucket/t/"
        row "$n" quilo "sync (none)" "$quilo" --no-progress sync "$dir" "s3://$bucket/t/"
        row "$n" quilo "sync down (none)" "$quilo" --no-progress sync --size-only \
            "s3://$bucket/t/" "$dir"
        ;;
    rm) row "$n" quilo "rm -r" "$quilo" --no-progress rm -r "s3://$bucket/t/" ;;
    esac
}

aws_rows() {
    case $1 in
    up) row "$n" aws "sync (first)" aws s3 sync --only-show-errors "$dir" "s3://$bucket/t/" ;;
    read)
        row "$n" aws "ls recursive" aws s3 ls --recursive "s3://$bucket/t/"
        row "$n" aws "sync (none)" aws s3 sync --only-show-errors "$dir" "s3://$bucket/t/"
        row "$n" aws "sync down (none)" aws s3 sync --only-show-errors --size-only \
            "s3://$bucket/t/" "$dir"
        ;;
    rm) row "$n" aws "rm -r" aws s3 rm --only-show-errors --recursive "s3://$bucket/t/" ;;
    esac
}

# rclone refuses any custom CA bundle, even for a plain-HTTP endpoint.
rclone_rows() {
    case $1 in
    up) row "$n" rclone "sync (first)" env -u AWS_CA_BUNDLE rclone copy "$dir" "scale:$bucket/t" ;;
    read)
        row "$n" rclone "ls recursive" env -u AWS_CA_BUNDLE rclone ls "scale:$bucket/t"
        # On a bucket another tool wrote, rclone would copy every object onto itself to add
        # its modification time: that is not a sync with nothing to do.
        [[ $tool == rclone ]] &&
            row "$n" rclone "sync (none)" env -u AWS_CA_BUNDLE rclone copy "$dir" "scale:$bucket/t"
        row "$n" rclone "sync down (none)" env -u AWS_CA_BUNDLE rclone copy --size-only \
            "scale:$bucket/t" "$dir"
        ;;
    rm) row "$n" rclone "rm -r" env -u AWS_CA_BUNDLE rclone delete "scale:$bucket/t" ;;
    esac
}

for n in "$@"; do
    dir="$work/tree-$n"
    # One process for the whole tree: a shell loop opens files at a thousand a second.
    python3 -c 'import os, sys
root, n = sys.argv[1], int(sys.argv[2])
for i in range(100):
    os.makedirs(f"{root}/d{i}", exist_ok=True)
for i in range(n):
    with open(f"{root}/d{i % 100}/f{i}", "w") as f:
        f.write("%0100d" % i)' "$dir" "$n"
    for tool in ${QUILO_SCALE_TOOLS:-quilo aws rclone}; do
        bucket="scale-$n-$tool-$$"
        aws s3 mb "s3://$bucket" >/dev/null
        "${tool}_rows" up
        "${tool}_rows" read
        if [[ $tool == quilo ]]; then
            for reader in ${QUILO_SCALE_READERS:-}; do "${reader}_rows" read; done
        fi
        "${tool}_rows" rm
        aws s3 rb --force "s3://$bucket" >/dev/null
    done
    rm -rf "$dir"
done
