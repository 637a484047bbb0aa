#!/usr/bin/env bash
# s3rver, a small S3 look-alike in Node.js, as a second server with its own dialect.
#
#   scripts/s3rver.sh start|stop|status
#
# State in $QUILO_RUN_DIR/s3rver (default <repo>/.run/s3rver); listens on 127.0.0.1:4568
# (QUILO_S3RVER_PORT). Its keys are S3RVER/S3RVER.
set -euo pipefail
# shellcheck source=scripts/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

STATE="$QUILO_RUN_DIR/s3rver"
PID_FILE="$STATE/s3rver.pid"
BIN="$QUILO_ROOT/scripts/s3rver/node_modules/s3rver/bin/s3rver.js"
START_TIMEOUT="${QUILO_S3RVER_START_TIMEOUT:-30}"

running() {
    local pid
    pid="$(pid_from_file "$PID_FILE" 2>/dev/null)" || return 1
    pid_is_ours "$pid" "$STATE/data" && http_answers "$QUILO_S3RVER_PORT"
}

stop() {
    local pid
    if pid="$(pid_from_file "$PID_FILE" 2>/dev/null)"; then
        stop_pid "$pid" "$STATE/data" TERM || true
    fi
    rm -rf "$STATE"
}

start() {
    if running; then
        note "already running on 127.0.0.1:$QUILO_S3RVER_PORT"
        return 0
    fi
    stop
    [[ -f "$BIN" ]] || die "$BIN is missing: run scripts/setup.sh"
    command -v node >/dev/null || die "node is missing: run scripts/setup.sh"
    if (echo >"/dev/tcp/127.0.0.1/$QUILO_S3RVER_PORT") 2>/dev/null; then
        die "port $QUILO_S3RVER_PORT is already taken by another program"
    fi
    mkdir -p "$STATE/data"
    # Its own session, so that a Ctrl-C meant for the caller leaves it to `stop`.
    setsid node "$BIN" -d "$STATE/data" -a 127.0.0.1 -p "$QUILO_S3RVER_PORT" --silent \
        </dev/null >"$STATE/s3rver.log" 2>&1 &
    echo $! >"$PID_FILE"
    local deadline=$((SECONDS + START_TIMEOUT))
    until http_answers "$QUILO_S3RVER_PORT"; do
        if ((SECONDS >= deadline)) || ! pid_is_ours "$(pid_from_file "$PID_FILE")" "$STATE/data"
        then
            echo "s3rver.sh: s3rver did not answer on port $QUILO_S3RVER_PORT; its log:" >&2
            tail -n 25 "$STATE/s3rver.log" >&2
            stop
            exit 1
        fi
        sleep 0.1
    done
    note "started on 127.0.0.1:$QUILO_S3RVER_PORT"
}

status() {
    if running; then
        echo "s3rver: running on 127.0.0.1:$QUILO_S3RVER_PORT, state in $STATE"
    else
        echo "s3rver: not running"
        return 3
    fi
}

case "${1:-}" in
    start) start ;;
    stop) stop ;;
    status) status ;;
    *)
        echo "usage: $0 start|stop|status" >&2
        exit 2
        ;;
esac
