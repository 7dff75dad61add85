#!/usr/bin/env bash
# run_pair.sh FRAMES WRITER READER: a cross_peer writer and reader, both of which must succeed.
# WRITER and READER are command lines (an emulator first; words split on spaces).
set -uo pipefail
. "$(dirname "$0")/../../scripts/lib.sh"
if [[ -z ${BRENN_IPC_NS:-} ]] && unshare --ipc true 2>/dev/null; then
    BRENN_IPC_NS=1 exec unshare --ipc bash "$0" "$@"
fi
read -r -a writer <<<"$2"
read -r -a reader <<<"$3"
trap remove_shared_objects EXIT  # also when no private IPC namespace could be made
remove_shared_objects
# Each end stops itself with an alarm; these limits only back that up.
timeout 90 "${writer[@]}" write "$1" &
timeout 90 "${reader[@]}" read "$1" || reader_status=$?
wait $! || writer_status=$? # the writer: the reader ran in the foreground
((${writer_status:-0} == 0 && ${reader_status:-0} == 0)) ||
    { echo "pair FAILED: writer ${writer_status:-0}, reader ${reader_status:-0}" >&2 && exit 1; }
