#!/usr/bin/env bash
# run_pair.sh FRAMES WRITER READER: one cross_peer writer and one reader on the shared family's
# keys, both of which must succeed. WRITER and READER are command lines (an emulator and its
# options first; words split on spaces). In a private IPC namespace where one can be made;
# the keys are removed before and after.
set -uo pipefail
. "$(dirname "$0")/../../scripts/lib.sh"
if [[ -z ${BRENN_IPC_NS:-} ]] && unshare --ipc true 2>/dev/null; then
    BRENN_IPC_NS=1 exec unshare --ipc bash "$0" "$@"
fi
read -r -a writer <<<"$2"
read -r -a reader <<<"$3"
trap remove_shared_objects EXIT
remove_shared_objects
# Each end stops itself with an alarm; these limits only back that up.
timeout 90 "${writer[@]}" write "$1" &
writer_pid=$!
timeout 90 "${reader[@]}" read "$1" || reader_status=$?
wait $writer_pid || writer_status=$?
((${writer_status:-0} == 0 && ${reader_status:-0} == 0)) ||
    { echo "pair FAILED: writer ${writer_status:-0}, reader ${reader_status:-0}" >&2 && exit 1; }
