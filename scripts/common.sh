# shellcheck shell=bash disable=SC2034
# Shared by the scripts in this folder; source it, don't run it.

QUILO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
QUILO_RUN_DIR="${QUILO_RUN_DIR:-$QUILO_ROOT/.run}"
QUILO_RGW_PORT="${QUILO_RGW_PORT:-7480}"
QUILO_RGW_HTTPS_PORT="${QUILO_RGW_HTTPS_PORT:-7443}"
QUILO_RGW_MON_PORT="${QUILO_RGW_MON_PORT:-6789}"
QUILO_S3RVER_PORT="${QUILO_S3RVER_PORT:-4568}"
# The gateway with temporary credentials (STS) sits next to the main one unless told otherwise.
QUILO_RGW_STS_PORT="${QUILO_RGW_STS_PORT:-$((QUILO_RGW_PORT + 1))}"
QUILO_RGW_STS_HTTPS_PORT="${QUILO_RGW_STS_HTTPS_PORT:-$((QUILO_RGW_HTTPS_PORT + 1))}"

# Fixed keys so that a developer can reuse them by hand; these servers live on loopback only.
QUILO_RGW_USER_ID=quilo-test
QUILO_RGW_ACCESS_KEY=QUILOTESTACCESSKEY01
QUILO_RGW_SECRET_KEY='quilo/test/secret/0123456789abcdefABCDEF'
QUILO_RGW_OTHER_USER_ID=quilo-other
QUILO_RGW_OTHER_ACCESS_KEY=QUILOOTHERACCESSKEY1
QUILO_RGW_OTHER_SECRET_KEY='quilo/other/secret/0123456789abcdefABCDE'
# The user that asks the STS gateway for temporary credentials.
QUILO_RGW_STS_USER_ID=quilo-sts
QUILO_RGW_STS_ACCESS_KEY=QUILOSTSACCESSKEY001
QUILO_RGW_STS_SECRET_KEY='quilo/sts/secret/0123456789abcdefABCDEFG'

die() {
    echo "$(basename "$0"): $*" >&2
    exit 1
}

note() {
    echo "$(basename "$0"): $*"
}

# Runs a command with its output held back, shown only if it fails.
quietly() {
    local log status
    log="$(mktemp)"
    "$@" >"$log" 2>&1
    status=$?
    if ((status != 0)); then
        cat "$log" >&2
        echo "$(basename "$0"): '$*' failed" >&2
    fi
    rm -f "$log"
    return "$status"
}

# True when something answers HTTP on 127.0.0.1:$1, whatever the status.
http_answers() {
    curl -s -o /dev/null --max-time 2 "http://127.0.0.1:$1/"
}

# True when pid $1 is alive and its command line contains $2, so that a recycled pid is never
# taken for one of ours.
pid_is_ours() {
    local pid="$1" marker="$2"
    [[ "$pid" =~ ^[0-9]+$ ]] || return 1
    [[ -r "/proc/$pid/cmdline" ]] || return 1
    tr '\0' ' ' <"/proc/$pid/cmdline" | grep -qF -- "$marker"
}

pid_from_file() {
    [[ -s "$1" ]] && tr -d '[:space:]' <"$1"
}

# Ends pid $1 (if it is ours, see pid_is_ours) with signal $3, then KILL after a grace period.
stop_pid() {
    local pid="$1" marker="$2" signal="${3:-TERM}" i
    pid_is_ours "$pid" "$marker" || return 0
    kill "-$signal" "$pid" 2>/dev/null || return 0
    for ((i = 0; i < 50; i++)); do
        pid_is_ours "$pid" "$marker" || return 0
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    for ((i = 0; i < 50; i++)); do
        pid_is_ours "$pid" "$marker" || return 0
        sleep 0.1
    done
    echo "$(basename "$0"): process $pid did not end" >&2
    return 1
}

# Everything awscli needs to talk to the local RGW as the test user, and nothing from ~/.aws.
rgw_aws_env() {
    export AWS_ACCESS_KEY_ID="$QUILO_RGW_ACCESS_KEY"
    export AWS_SECRET_ACCESS_KEY="$QUILO_RGW_SECRET_KEY"
    export AWS_DEFAULT_REGION=us-east-1
    export AWS_CONFIG_FILE=/dev/null
    export AWS_SHARED_CREDENTIALS_FILE=/dev/null
    export AWS_PAGER=""
    # Without it, awscli with no keys goes looking for a cloud metadata service off this host.
    export AWS_EC2_METADATA_DISABLED=true
}
