#!/usr/bin/env bash
# A single-node Ceph RADOS Gateway on loopback for the tests: one monitor, one memstore OSD
# (objects live in RAM) and two radosgw daemons on them, each with HTTP and HTTPS endpoints:
# - the main gateway, which also serves virtual-hosted buckets at http://<bucket>.localhost:<port>;
# - a gateway that issues temporary credentials (STS) and accepts them. It is apart because STS
#   changes the answer to a wrong secret from SignatureDoesNotMatch to AccessDenied.
#
#   scripts/rgw.sh start|stop|status
#
# All state lives in $QUILO_RUN_DIR/rgw (default <repo>/.run/rgw); the CA that signed the HTTPS
# certificate is $QUILO_RUN_DIR/ca.pem. Environment: QUILO_RGW_PORT (7480),
# QUILO_RGW_HTTPS_PORT (7443), QUILO_RGW_STS_PORT and QUILO_RGW_STS_HTTPS_PORT (one above
# each), QUILO_RGW_MON_PORT (6789), QUILO_RGW_MEMSTORE_BYTES (6 GiB: the tests upload 200 MiB
# objects and the benchmarks 1 GiB ones), QUILO_RGW_START_TIMEOUT (120 s).
set -euo pipefail
# shellcheck source=scripts/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

STATE="$QUILO_RUN_DIR/rgw"
CONF="$STATE/ceph.conf"
CA_PEM="$QUILO_RUN_DIR/ca.pem"
MEMSTORE_BYTES="${QUILO_RGW_MEMSTORE_BYTES:-$((6 * 1024 * 1024 * 1024))}"
START_TIMEOUT="${QUILO_RGW_START_TIMEOUT:-120}"
EMPTY_SHA256=e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855
DAEMONS=(sts rgw osd mon)  # stop order: clients first, the monitor last
# Exactly 16 characters, as RGW wants; it encrypts the temporary credentials.
STS_KEY=quilo-sts-key-16
export CEPH_CONF="$CONF"

daemon_running() {
    local pid
    pid="$(pid_from_file "$STATE/$1.pid" 2>/dev/null)" || return 1
    pid_is_ours "$pid" "$CONF"
}

all_running() {
    local d
    for d in "${DAEMONS[@]}"; do
        daemon_running "$d" || return 1
    done
    http_answers "$QUILO_RGW_PORT" && http_answers "$QUILO_RGW_STS_PORT"
}

kill_daemons() {
    local d pid signal
    for d in "${DAEMONS[@]}"; do
        pid="$(pid_from_file "$STATE/$d.pid" 2>/dev/null)" || continue
        # A memstore OSD writes every object to disk when it shuts down cleanly; the state is
        # thrown away anyway.
        signal=TERM
        [[ "$d" == osd ]] && signal=KILL
        stop_pid "$pid" "$CONF" "$signal" || true
    done
}

remove_state() {
    rm -rf "$STATE" "$CA_PEM"
}

# The beast frontend on HTTP port $1 and HTTPS port $2.
frontends() {
    echo "beast endpoint=127.0.0.1:$1 ssl_endpoint=127.0.0.1:$2" \
        "ssl_certificate=$STATE/tls/server.pem"
}

write_conf() {
    local fsid
    fsid="$(cat /proc/sys/kernel/random/uuid)"
    cat >"$CONF" <<EOF
[global]
fsid = $fsid
mon host = v1:127.0.0.1:$QUILO_RGW_MON_PORT
public addr = 127.0.0.1
cluster addr = 127.0.0.1
# Plain v1 only, so that the monitor takes no port beyond its own (msgr2 would add 3300).
ms bind msgr2 = false
# Not needed, and a deep run folder would overflow the socket path limit.
admin socket =
auth cluster required = none
auth service required = none
auth client required = none
osd pool default size = 1
osd pool default min size = 1
osd pool default pg num = 8
osd pool default pgp num = 8
mon allow pool size one = true
mon warn on pool no redundancy = false
osd crush chooseleaf type = 0
# The disk may be nearly full on a build machine; the data lives in RAM anyway.
mon data avail crit = 0
mon data avail warn = 0
# Commit cluster map changes at once: radosgw creates its pools one by one at first start.
paxos propose interval = 0.05
run dir = $STATE/run
log file = $STATE/log/\$name.log
keyring = $STATE/keyring

[mon.a]
mon data = $STATE/mon
public addr = v1:127.0.0.1:$QUILO_RGW_MON_PORT

[osd.0]
osd data = $STATE/osd
osd objectstore = memstore
memstore device bytes = $MEMSTORE_BYTES
# The script places the OSD in the CRUSH map itself. Left on, the OSD sends its own update at
# boot, which the monitor sometimes refuses ("wrong fsid") when it races the first monmap.
osd crush update on start = false
osd class update on start = false

[client]
# Deleted objects (the parts of a multipart upload above all) keep their RAM until garbage
# collection runs, two hours later by default: long enough to fill the store in one test run.
rgw gc obj min wait = 1
rgw gc processor period = 5
# <bucket>.localhost names the bucket; any other host (127.0.0.1) means path-style.
rgw dns name = localhost
# Encryption over plain HTTP, with a key the testing backend holds for SSE-KMS.
rgw crypt require ssl = false
rgw crypt s3 kms backend = testing
rgw crypt s3 kms encryption keys = testkey-1=$(openssl rand -base64 32)
# Parts of any size, so that part copies and multipart listings work on small objects.
rgw multipart min part size = 1
# A lifecycle day lasts ten seconds, so that a rule's effect shows within a test.
rgw lc debug interval = 10

[client.rgw.a]
rgw frontends = $(frontends "$QUILO_RGW_PORT" "$QUILO_RGW_HTTPS_PORT")

[client.rgw.sts]
rgw frontends = $(frontends "$QUILO_RGW_STS_PORT" "$QUILO_RGW_STS_HTTPS_PORT")
rgw sts key = $STS_KEY
rgw s3 auth use sts = true
EOF
}

# A private CA and a certificate for 127.0.0.1 and localhost signed by it, so that tests can
# verify the server for real rather than switch verification off.
make_certificates() {
    local dir="$STATE/tls"
    mkdir -p "$dir"
    run openssl genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$dir/ca.key"
    run openssl genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$dir/server.key"
    run openssl req -x509 -new -key "$dir/ca.key" -sha256 -days 3650 \
        -out "$dir/ca.pem" -subj "/CN=quilo test CA" \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" \
        -addext "subjectKeyIdentifier=hash"
    run openssl req -new -key "$dir/server.key" -sha256 -out "$dir/server.csr" \
        -subj "/CN=localhost"
    cat >"$dir/server.ext" <<EOF
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1,DNS:localhost
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid,issuer
EOF
    run openssl x509 -req -sha256 -days 825 -in "$dir/server.csr" \
        -CA "$dir/ca.pem" -CAkey "$dir/ca.key" -set_serial "0x$(openssl rand -hex 8)" \
        -extfile "$dir/server.ext" -out "$dir/server.crt"
    cat "$dir/server.crt" "$dir/server.key" >"$dir/server.pem"
    chmod 600 "$dir"/*.key "$dir/server.pem"
    cp "$dir/ca.pem" "$CA_PEM"
}

show_logs() {
    local f
    for f in "$STATE"/log/*.log "$STATE"/setup.log; do
        [[ -s "$f" ]] || continue
        echo "--- last lines of $f" >&2
        tail -n 25 "$f" >&2
    done
}

fail_start() {
    echo "rgw.sh: $*" >&2
    show_logs
    kill_daemons
    echo "rgw.sh: the daemons were stopped; their state is kept in $STATE" >&2
    exit 1
}

# Runs a set-up command with its output in setup.log.
run() {
    echo "+ $*" >>"$STATE/setup.log"
    "$@" >>"$STATE/setup.log" 2>&1 || fail_start "'$*' failed"
}

deadline=0
wait_until() {
    local what="$1"
    shift
    until "$@"; do
        ((SECONDS < deadline)) || fail_start "timed out after ${START_TIMEOUT}s waiting for $what"
        sleep 0.25
    done
}

create_user() {
    run radosgw-admin user create --uid="$1" --display-name="$2" \
        --access-key="$3" --secret-key="$4"
}

# A signed request to the gateway on port $3 proves both that it serves and that it knows the
# keys $1 and $2.
user_answers() {
    # This curl does not send the payload hash itself, and RGW insists on it.
    curl -sf -o /dev/null --max-time 5 --aws-sigv4 "aws:amz:us-east-1:s3" --user "$1:$2" \
        -H "x-amz-content-sha256: $EMPTY_SHA256" "http://127.0.0.1:$3/"
}

# True when the STS gateway hands the STS user temporary credentials.
sts_answers() {
    local body="Action=GetSessionToken&Version=2011-06-15"
    curl -sf --max-time 5 --aws-sigv4 "aws:amz:us-east-1:sts" \
        --user "$QUILO_RGW_STS_ACCESS_KEY:$QUILO_RGW_STS_SECRET_KEY" \
        -H "x-amz-content-sha256: $(printf %s "$body" | sha256sum | cut -d' ' -f1)" \
        -d "$body" "http://127.0.0.1:$QUILO_RGW_STS_PORT/" | grep -q "<SessionToken>"
}

# The STS user may ask for temporary credentials, which may do anything it may.
allow_sts() {
    run radosgw-admin caps add --uid="$QUILO_RGW_STS_USER_ID" --caps="user-policy=*"
    (
        rgw_aws_env
        export AWS_ACCESS_KEY_ID="$QUILO_RGW_STS_ACCESS_KEY"
        export AWS_SECRET_ACCESS_KEY="$QUILO_RGW_STS_SECRET_KEY"
        run aws --endpoint-url "http://127.0.0.1:$QUILO_RGW_STS_PORT" iam put-user-policy \
            --user-name "$QUILO_RGW_STS_USER_ID" --policy-name sts --policy-document \
            '{"Version":"2012-10-17","Statement":[{"Effect":"Allow","Action":["sts:GetSessionToken","s3:*"],"Resource":"*"}]}'
    )
}

# A second storage class, STANDARD_IA, beside STANDARD. Added before the first gateway starts,
# which then reads it without a restart.
add_storage_class() {
    run radosgw-admin user list  # makes the default zone group and zone the next two change
    run radosgw-admin zonegroup placement add --rgw-zonegroup default \
        --placement-id default-placement --storage-class STANDARD_IA
    run radosgw-admin zone placement add --rgw-zone default --placement-id default-placement \
        --storage-class STANDARD_IA --data-pool default.rgw.standard-ia.data
}

start() {
    if all_running; then
        note "already running on 127.0.0.1:$QUILO_RGW_PORT"
        return 0
    fi
    kill_daemons
    remove_state
    local port tool
    for port in "$QUILO_RGW_PORT" "$QUILO_RGW_HTTPS_PORT" "$QUILO_RGW_STS_PORT" \
        "$QUILO_RGW_STS_HTTPS_PORT" "$QUILO_RGW_MON_PORT"; do
        if (echo >"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            die "port $port is already taken by another program"
        fi
    done
    for tool in ceph-mon ceph-osd radosgw radosgw-admin ceph openssl curl aws; do
        command -v "$tool" >/dev/null || die "$tool is missing: run scripts/setup.sh"
    done

    local started=$SECONDS
    deadline=$((SECONDS + START_TIMEOUT))
    mkdir -p "$STATE"/{mon,osd,run,log}
    : >"$STATE/keyring"
    write_conf
    make_certificates

    run ceph-mon -c "$CONF" --id a --mkfs --keyring /dev/null
    : >"$STATE/mon/keyring"
    run ceph-mon -c "$CONF" --id a --pid-file "$STATE/mon.pid"
    wait_until "the monitor" daemon_running mon

    run ceph -c "$CONF" --connect-timeout 60 osd create
    run ceph -c "$CONF" osd crush add osd.0 1 root=default
    run ceph-osd -c "$CONF" --id 0 --mkfs
    run ceph-osd -c "$CONF" --id 0 --pid-file "$STATE/osd.pid"
    wait_until "the OSD" daemon_running osd
    add_storage_class

    run radosgw -c "$CONF" -n client.rgw.a --pid-file "$STATE/rgw.pid"
    wait_until "radosgw to answer on port $QUILO_RGW_PORT" http_answers "$QUILO_RGW_PORT"
    daemon_running rgw || fail_start "radosgw is not running"
    # Only now: the first gateway has made the pools, which two at once would race to make.
    run radosgw -c "$CONF" -n client.rgw.sts --pid-file "$STATE/sts.pid"

    create_user "$QUILO_RGW_USER_ID" "Quilo Test" "$QUILO_RGW_ACCESS_KEY" "$QUILO_RGW_SECRET_KEY"
    create_user "$QUILO_RGW_OTHER_USER_ID" "Quilo Other" \
        "$QUILO_RGW_OTHER_ACCESS_KEY" "$QUILO_RGW_OTHER_SECRET_KEY"
    create_user "$QUILO_RGW_STS_USER_ID" "Quilo STS" \
        "$QUILO_RGW_STS_ACCESS_KEY" "$QUILO_RGW_STS_SECRET_KEY"
    wait_until "RGW to accept the test user" \
        user_answers "$QUILO_RGW_ACCESS_KEY" "$QUILO_RGW_SECRET_KEY" "$QUILO_RGW_PORT"
    wait_until "RGW to accept the second user" \
        user_answers "$QUILO_RGW_OTHER_ACCESS_KEY" "$QUILO_RGW_OTHER_SECRET_KEY" "$QUILO_RGW_PORT"
    wait_until "the STS gateway to accept its user" \
        user_answers "$QUILO_RGW_STS_ACCESS_KEY" "$QUILO_RGW_STS_SECRET_KEY" "$QUILO_RGW_STS_PORT"
    daemon_running sts || fail_start "the STS radosgw is not running"
    allow_sts
    wait_until "the STS gateway to issue temporary credentials" sts_answers
    note "started on 127.0.0.1:$QUILO_RGW_PORT (HTTPS $QUILO_RGW_HTTPS_PORT)," \
        "STS on 127.0.0.1:$QUILO_RGW_STS_PORT (HTTPS $QUILO_RGW_STS_HTTPS_PORT)" \
        "in $((SECONDS - started))s"
}
stop() {
    kill_daemons
    remove_state
    rmdir "$QUILO_RUN_DIR" 2>/dev/null || true
}

status() {
    if all_running; then
        echo "rgw: running on 127.0.0.1:$QUILO_RGW_PORT (HTTPS $QUILO_RGW_HTTPS_PORT)," \
            "STS on 127.0.0.1:$QUILO_RGW_STS_PORT (HTTPS $QUILO_RGW_STS_HTTPS_PORT)," \
            "state in $STATE"
    else
        echo "rgw: not running"
        return 3
    fi
}

# A loaded machine now and then makes the young monitor refuse a command; a fresh start from
# nothing gets past it.
start_with_retries() {
    local attempt
    for attempt in 1 2 3; do
        (start) && return 0
        ((attempt < 3)) && note "start failed (attempt $attempt of 3); starting again"
    done
    return 1
}

case "${1:-}" in
    start) start_with_retries ;;
    stop) stop ;;
    status) status ;;
    *)
        echo "usage: $0 start|stop|status" >&2
        exit 2
        ;;
esac
