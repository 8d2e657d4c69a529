#!/bin/bash
# The layering check on a scratch copy of its table and two folders: the copy as it is
# passes; with mails/ including server/, it is refused and the planted line is named.
set -euo pipefail
repo=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/scripts" "$scratch/mails" "$scratch/server"
cp "$repo/scripts/layers" "$scratch/scripts/"
cp "$repo/mails/mail_requests.h" "$scratch/mails/"
cp "$repo/server/mail_server.h" "$scratch/server/"
"$repo/scripts/check-layers" "$scratch"

planted=$(($(wc -l <"$scratch/mails/mail_requests.h") + 1))
echo '#include "server/mail_server.h"' >>"$scratch/mails/mail_requests.h"
if "$repo/scripts/check-layers" "$scratch" 2>"$scratch/refusal"; then
    echo "an include of server/ from mails/ was let through" >&2
    exit 1
fi
grep -q "^mails/mail_requests.h:$planted: " "$scratch/refusal" || {
    echo "the refusal does not name mails/mail_requests.h:$planted:" >&2
    cat "$scratch/refusal" >&2
    exit 1
}
