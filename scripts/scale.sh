#!/usr/bin/env bash
# Time and peak RSS of quilo, awscli and rclone over many keys, in one run against the test RGW:
# the first sync up of N files of 100 bytes in 100 folders, ls of every key, a sync with nothing
# to do, and rm -r.
#
#   scripts/scale.sh QUILO_BINARY N...        e.g. scripts/scale.sh build/tools/quilo 10000
#
# QUILO_SCALE_TOOLS picks the clients (default "quilo aws rclone"): the peers take hours at a
# million keys.
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

for n in "$@"; do
    dir="$work/tree-$n"
    for ((i = 0; i < 100; i++)); do mkdir -p "$dir/d$i"; done
    for ((i = 0; i < n; i++)); do
        printf '%0100d' "$i" >"$dir/d$((i % 100))/f$i"
    done
    for tool in ${QUILO_SCALE_TOOLS:-quilo aws rclone}; do
        bucket="scale-$n-$tool-$$"
        aws s3 mb "s3://$bucket" >/dev/null
        case $tool in
        quilo)
            row "$n" quilo "sync (first)" "$quilo" --no-progress sync "$dir" "s3://$bucket/t/"
            row "$n" quilo "ls recursive" "$quilo" ls "s3://$bucket/t/"
            row "$n" quilo "sync (none)" "$quilo" --no-progress sync "$dir" "s3://$bucket/t/"
            row "$n" quilo "sync down (none)" "$quilo" --no-progress sync --size-only \
                "s3://$bucket/t/" "$dir"
            row "$n" quilo "rm -r" "$quilo" --no-progress rm -r "s3://$bucket/t/"
            ;;
        aws)
            row "$n" aws "sync (first)" aws s3 sync --only-show-errors "$dir" "s3://$bucket/t/"
            row "$n" aws "ls recursive" aws s3 ls --recursive "s3://$bucket/t/"
            row "$n" aws "sync (none)" aws s3 sync --only-show-errors "$dir" "s3://$bucket/t/"
            row "$n" aws "sync down (none)" aws s3 sync --only-show-errors --size-only \
                "s3://$bucket/t/" "$dir"
            row "$n" aws "rm -r" aws s3 rm --only-show-errors --recursive "s3://$bucket/t/"
            ;;
        rclone)
            # rclone refuses any custom CA bundle, even for a plain-HTTP endpoint.
            unset AWS_CA_BUNDLE
            row "$n" rclone "sync (first)" rclone copy "$dir" "scale:$bucket/t"
            row "$n" rclone "ls recursive" rclone ls "scale:$bucket/t"
            row "$n" rclone "sync (none)" rclone copy "$dir" "scale:$bucket/t"
            row "$n" rclone "sync down (none)" rclone copy --size-only "scale:$bucket/t" "$dir"
            row "$n" rclone "rm -r" rclone delete "scale:$bucket/t"
            ;;
        esac
        aws s3 rb --force "s3://$bucket" >/dev/null
    done
    rm -rf "$dir"
done
