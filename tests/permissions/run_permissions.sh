#!/usr/bin/env bash
# The shared objects take mode 0660 and the creator's group: an outsider can neither attach nor
# change anything, a member of the group works normally. Needs root (makes the users
# brenn-outsider and brenn-member and the group brenn-ipc, and leaves them); else skips (77).
#   run_permissions.sh PROBE BRENNCTL LIBDIR...
set -uo pipefail
probe=$1 ctl=$2 libdirs=("${@:3}")
. "$(dirname "$0")/../../scripts/lib.sh"
skip() { echo "SKIPPED: $*" && exit 77; }
((EUID == 0)) && command -v useradd setpriv >/dev/null || skip "needs root, useradd and setpriv"
# A private IPC namespace: the fixed keys stay apart, and every object in it is this run's.
unshare --ipc true 2>/dev/null || skip "no private IPC namespace"
[[ -n ${BRENN_IPC_NS:-} ]] || BRENN_IPC_NS=1 exec unshare --ipc bash "$0" "$@"
getent group brenn-ipc >/dev/null || groupadd brenn-ipc || skip "groupadd failed"
id brenn-outsider &>/dev/null || useradd -M -r -s /usr/sbin/nologin -U brenn-outsider || skip "useradd failed"
id brenn-member &>/dev/null || useradd -M -r -s /usr/sbin/nologin -U -G brenn-ipc brenn-member || skip "useradd failed"
id -nG brenn-member | grep -qw brenn-ipc || usermod -a -G brenn-ipc brenn-member
as() { setpriv --reuid="$1" --regid="$1" --init-groups "${@:2}"; }
failures=0
fail() { echo "FAIL: $*" && failures=$((failures + 1)); }
work=$(mktemp -d /tmp/brenn-permissions.XXXXXX)
trap 'remove_shared_objects; rm -rf "$work"' EXIT
# The users need a way to the programs: copies in an open directory.
cp "$probe" "$ctl" "$work/" && for d in "${libdirs[@]}"; do cp -P "$d"/lib*.so* "$work/"; done
chmod -R a+rX "$work" && probe=$work/${probe##*/} ctl=$work/${ctl##*/}
export LD_LIBRARY_PATH=$work OLK_LOG_QUIET=1
queue=$(setpriv --regid=brenn-ipc --clear-groups "$probe" up) || { echo "FAIL: bring-up" && exit 1; }
modes=$(ipcs -m -c | awk '$1 ~ /^[0-9]+$/ { print $2, $6 }' | sort | uniq -c)
[[ $modes =~ ^\ *6\ 660\ brenn-ipc$ ]] || fail "the six objects are not mode 660, group brenn-ipc: $modes"
before=$("$ctl" dump "$queue")
as brenn-outsider "$probe" outsider "$queue" || fail "the outsider got through"
out=$(as brenn-outsider "$ctl" list 2>&1)
(($? == 4)) && [[ $out == *"permission denied"* ]] || fail "brennctl list as the outsider: $out"
[[ $("$ctl" dump "$queue") == "$before" ]] || fail "the outsider changed the queue"
as brenn-member "$probe" member "$queue" || fail "the member was refused"
as brenn-member "$ctl" list >/dev/null || fail "brennctl list as the member"
[[ $("$ctl" dump "$queue") != "$before" ]] || fail "the member's write and read left no trace"
((failures == 0)) && echo "outsider refused, member served"
