#!/usr/bin/env bash
# Holds the library's layers: every project include in src/ and include/ (any in quotes, and
# <quilo/...>) names a layer that the including file's layer may stand on. The request library keeps one folder per layer, in
# src/requestlib/ and include/quilo/requestlib/ alike; the facade is src/client/,
# src/operations/ and the headers directly in include/quilo/.
#
#   scripts/layers.sh       prints each include that breaks a rule; fails if there is one
set -uo pipefail
# shellcheck source=scripts/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$QUILO_ROOT" || exit 1

# What each layer may include besides itself: a layer's name allows its public and private
# headers, name/public only its installed ones. HTTP knows nothing of signing or S3, and the
# facade reaches the request library through its public headers and the common errors alone.
declare -A MAY_INCLUDE=(
    [base]=""
    [encoding]="base"
    [files]="base encoding"
    [http]="base encoding files"
    [signing]="base encoding"
    [s3]="base encoding files http signing"
    [facade]="base http/public s3/public"
)

# The layer of a file, or of an include, from its path: "layer" or "layer/public"; empty when
# the path belongs to none.
layer_of() {
    local path="$1" public=""
    [[ "$path" =~ ^include/ || "$path" =~ ^quilo/ ]] && public=/public
    path="${path#include/}"
    path="${path#src/}"
    path="${path#quilo/}"
    if [[ "$path" =~ ^requestlib/([^/]+)/[^/]+$ && -v "MAY_INCLUDE[${BASH_REMATCH[1]}]" ]]; then
        echo "${BASH_REMATCH[1]}$public"
    elif [[ "$path" =~ ^(client|operations)/[^/]+$ || ("$public" && "$path" =~ ^[^/]+$) ]]; then
        echo "facade$public"
    fi
}

# Whether a file of layer $1 may include a header of layer $2 (both as layer_of gives them).
allowed() {
    local from="${1%/public}" to="$2" rule
    [[ "${to%/public}" == "$from" ]] && return 0
    for rule in ${MAY_INCLUDE[$from]}; do
        [[ "$to" == "$rule" || "$to" == "$rule/public" ]] && return 0
    done
    return 1
}

broken=0
report() {
    echo "$1" >&2
    broken=1
}

while IFS= read -r -d '' file; do
    layer="$(layer_of "$file")"
    if [[ -z "$layer" ]]; then
        report "$file: in no layer"
        continue
    fi
    while IFS=: read -r line header; do
        target="$(layer_of "$header")"
        if [[ -z "$target" ]]; then
            report "$file:$line: \"$header\" is in no layer"
        elif [[ "$layer" == */public && "$target" != */public ]]; then
            report "$file:$line: an installed header includes \"$header\", which is not installed"
        elif ! allowed "$layer" "$target"; then
            report "$file:$line: ${layer%/public} includes \"$header\" of ${target%/public}"
        fi
    done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*("|<quilo/)' "$file" |
        sed -E 's/^([0-9]+):[^<"]*[<"]([^">]+)[">].*/\1:\2/')
done < <(find src include -type f \( -name '*.cpp' -o -name '*.hpp' \) -print0 | sort -z)

((broken == 0)) && echo "layers: every include of src/ and include/ keeps to its layer"
exit "$broken"
