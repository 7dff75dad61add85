#!/usr/bin/env bash
# run_pair.sh FRAMES WRITER READER
# Runs one writer and one reader of cross_peer against each other on the shared family's
# keys. WRITER and READER are command lines (an emulator and its options may come before the
# program; words are split on spaces). The writer starts first, the reader after it; both
# must succeed. The keys are removed before and after, whatever happens.
set -euo pipefail
(($# == 3)) || {
    echo "usage: $0 FRAMES WRITER READER" >&2
    exit 2
}
frames=$1
read -r -a writer <<<"$2"
read -r -a reader <<<"$3"

remove_keys() {
    local key
    for key in 0xff0060 0xff0061 0xff0062 0xff0063 0xff0064 0xff0065; do
        ipcrm -M "$key" 2>/dev/null || true
        ipcrm -S "$key" 2>/dev/null || true
    done
}
out=$(mktemp -d /tmp/brenn-pair.XXXXXX)
trap 'remove_keys; rm -rf "$out"' EXIT
remove_keys

# Each program ends itself with an alarm; the time-outs here only back that up.
timeout 90 "${writer[@]}" write "$frames" >"$out/writer" 2>&1 &
writer_pid=$!
timeout 90 "${reader[@]}" read "$frames" >"$out/reader" 2>&1 &
reader_pid=$!
writer_status=0 reader_status=0
wait "$writer_pid" || writer_status=$?
wait "$reader_pid" || reader_status=$?
cat "$out/writer" "$out/reader"
if ((writer_status != 0 || reader_status != 0)); then
    echo "pair FAILED: writer exit $writer_status, reader exit $reader_status" >&2
    exit 1
fi
