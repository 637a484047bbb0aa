#!/usr/bin/env bash
# Both test servers: Ceph RGW (scripts/rgw.sh) and s3rver (scripts/s3rver.sh).
#
#   scripts/servers.sh start|stop|status
#
# `start` writes $QUILO_RUN_DIR/servers.env (default <repo>/.run/servers.env); the integration
# tests read their endpoints and keys from the variables it exports:
#   source .run/servers.env && ctest --test-dir build
# QUILO_TEST_RGW_VIRTUAL_HOST (localhost:<port>) reaches the main RGW with buckets in the host
# name; QUILO_TEST_STS_HOST is the RGW that issues and accepts temporary credentials, to be
# asked with the QUILO_TEST_STS_* keys.
set -euo pipefail
# shellcheck source=scripts/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ENV_FILE="$QUILO_RUN_DIR/servers.env"
HERE="$QUILO_ROOT/scripts"

write_env() {
    local tmp="$ENV_FILE.tmp"
    {
        echo "# Written by scripts/servers.sh; gone after 'scripts/servers.sh stop'."
        printf 'export %s=%q\n' \
            QUILO_TEST_RGW_HOST "127.0.0.1:$QUILO_RGW_PORT" \
            QUILO_TEST_RGW_HTTPS_HOST "127.0.0.1:$QUILO_RGW_HTTPS_PORT" \
            QUILO_TEST_RGW_VIRTUAL_HOST "localhost:$QUILO_RGW_PORT" \
            QUILO_TEST_CA_FILE "$QUILO_RUN_DIR/ca.pem" \
            QUILO_TEST_ACCESS_KEY "$QUILO_RGW_ACCESS_KEY" \
            QUILO_TEST_SECRET_KEY "$QUILO_RGW_SECRET_KEY" \
            QUILO_TEST_USER_ID "$QUILO_RGW_USER_ID" \
            QUILO_TEST_OTHER_ACCESS_KEY "$QUILO_RGW_OTHER_ACCESS_KEY" \
            QUILO_TEST_OTHER_SECRET_KEY "$QUILO_RGW_OTHER_SECRET_KEY" \
            QUILO_TEST_OTHER_USER_ID "$QUILO_RGW_OTHER_USER_ID" \
            QUILO_TEST_STS_HOST "127.0.0.1:$QUILO_RGW_STS_PORT" \
            QUILO_TEST_STS_HTTPS_HOST "127.0.0.1:$QUILO_RGW_STS_HTTPS_PORT" \
            QUILO_TEST_STS_ACCESS_KEY "$QUILO_RGW_STS_ACCESS_KEY" \
            QUILO_TEST_STS_SECRET_KEY "$QUILO_RGW_STS_SECRET_KEY" \
            QUILO_TEST_STS_USER_ID "$QUILO_RGW_STS_USER_ID" \
            QUILO_TEST_S3RVER_HOST "127.0.0.1:$QUILO_S3RVER_PORT" \
            QUILO_TEST_S3RVER_ACCESS_KEY S3RVER \
            QUILO_TEST_S3RVER_SECRET_KEY S3RVER \
            QUILO_TEST_REGION us-east-1
    } >"$tmp"
    mv "$tmp" "$ENV_FILE"
}

case "${1:-}" in
    start)
        mkdir -p "$QUILO_RUN_DIR"
        "$HERE/s3rver.sh" start
        "$HERE/rgw.sh" start || {
            "$HERE/s3rver.sh" stop
            exit 1
        }
        write_env
        ;;
    stop)
        rm -f "$ENV_FILE"
        status=0
        "$HERE/rgw.sh" stop || status=1
        "$HERE/s3rver.sh" stop || status=1
        rmdir "$QUILO_RUN_DIR" 2>/dev/null || true
        exit "$status"
        ;;
    status)
        status=0
        "$HERE/rgw.sh" status || status=3
        "$HERE/s3rver.sh" status || status=3
        exit "$status"
        ;;
    *)
        echo "usage: $0 start|stop|status" >&2
        exit 2
        ;;
esac
