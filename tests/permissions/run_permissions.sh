#!/usr/bin/env bash
# The shared system's objects are created with mode 0660 and take the creator's group: a user
# outside that group can neither attach nor change anything, a member of it works normally.
# Needs root (it creates the users brenn-outsider and brenn-member and the group brenn-ipc, and
# leaves them in place); skips with code 77 otherwise.
#   run_permissions.sh PROBE BRENNCTL LIBDIR...
set -uo pipefail
probe=$1 brennctl=$2
shift 2
libdirs=("$@")
skip() { echo "SKIPPED: $*"; exit 77; }
((EUID == 0)) || skip "needs root to create users and run as them"
for tool in useradd groupadd setpriv; do
    command -v "$tool" >/dev/null || skip "$tool is not available"
done
# A private IPC namespace keeps the fixed keys of this run apart from everybody else's.
if [[ -z ${BRENN_PERMISSIONS_NS:-} ]] && unshare --ipc true 2>/dev/null; then
    exec env BRENN_PERMISSIONS_NS=1 unshare --ipc bash "$0" "$probe" "$brennctl" "${libdirs[@]}"
fi

getent group brenn-ipc >/dev/null || groupadd brenn-ipc || skip "groupadd brenn-ipc failed"
id brenn-outsider &>/dev/null || useradd -M -r -s /usr/sbin/nologin -U brenn-outsider ||
    skip "useradd brenn-outsider failed"
id brenn-member &>/dev/null || useradd -M -r -s /usr/sbin/nologin -U -G brenn-ipc brenn-member ||
    skip "useradd brenn-member failed"
id -nG brenn-member | grep -qw brenn-ipc || usermod -a -G brenn-ipc brenn-member
if id -nG brenn-outsider | grep -qw brenn-ipc; then
    echo "FAIL: brenn-outsider is a member of brenn-ipc"
    exit 1
fi
as() { local who=$1; shift; setpriv --reuid="$who" --regid="$who" --init-groups "$@"; }

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
work=$(mktemp -d /tmp/brenn-permissions.XXXXXX)
cleanup() {
    "$probe" down >/dev/null 2>&1 || true
    for key in 0xff0060 0xff0061 0xff0062 0xff0063 0xff0064 0xff0065; do
        ipcrm -M "$key" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

# The users run the programs from where they can reach them: the build tree itself when every
# directory on the way is open to them, else copies in a directory of mode 0755.
path=$(dirname "$probe"):$(IFS=:; echo "${libdirs[*]}")
if ! as brenn-outsider test -x "$probe" -a -x "$brennctl" -a -r "${libdirs[0]}/libbrenn.so.0"; then
    chmod 0755 "$work"
    cp "$probe" "$brennctl" "$work/"
    for dir in "${libdirs[@]}"; do cp -P "$dir"/lib*.so* "$work/" 2>/dev/null; done
    chmod -R a+rX "$work"
    probe=$work/$(basename "$probe") brennctl=$work/$(basename "$brennctl") path=$work
fi
export LD_LIBRARY_PATH=$path${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
export OLK_LOG_QUIET=1

# Root brings the system up with brenn-ipc as the objects' group.
"$probe" down >/dev/null 2>&1
queue=$(setpriv --regid=brenn-ipc --clear-groups "$probe" up) || { echo "FAIL: bring-up"; exit 1; }
ids=$(ipcs -m | awk '$1 ~ /^0x00ff006[0-5]$/ { print $2 }' | paste -sd'|')
owners=$(ipcs -m -c | awk -v ids="^($ids)$" '$1 ~ ids { print $2, $6 }' | sort | uniq -c)
[[ $owners =~ ^\ *6\ 660\ brenn-ipc$ ]] || fail "the six objects are not mode 660, group brenn-ipc: $owners"
before=$("$probe" table)

# The outsider: attaching is refused, brennctl says so with code 4, nothing changes.
echo "--- brenn-outsider"
as brenn-outsider "$probe" outsider "$queue" || fail "the outsider's calls (see above)"
as brenn-outsider "$brennctl" list >"$work/list.out" 2>&1
code=$?
cat "$work/list.out"
((code == 4)) || fail "brennctl list as the outsider exited $code, not 4"
grep -q "permission denied" "$work/list.out" || fail "brennctl list gave no 'permission denied'"
[[ $("$probe" table) == "$before" ]] || fail "the outsider changed the queue table"

# The member: attaches and uses the queue root made.
echo "--- brenn-member"
as brenn-member "$probe" member "$queue" || fail "the member's calls (see above)"
as brenn-member "$brennctl" list >"$work/list.out" 2>&1 || fail "brennctl list as the member: $?"
after=$("$probe" table)
[[ $after != "$before" ]] || fail "the member's write and read left no trace in the table"

if ((failures > 0)); then
    echo "permissions_other_user: $failures failure(s)"
    exit 1
fi
echo "permissions_other_user: outsider refused, member served"
