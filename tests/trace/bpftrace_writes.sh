#!/usr/bin/env bash
# bpftrace attached to the write probe of libbrenn.so.0 while the example pipeline runs: the
# writes it counts in each family are the frames the example says it wrote there. Skips (77)
# where the machine cannot attach: not root, no bpftrace, no BPF, or a build without probes.
#   bpftrace_writes.sh LIBRARY EXAMPLE PROBES_BUILT
set -uo pipefail
lib=$1 example=$2 built=$3

skip() {
    echo "SKIP: $*"
    exit 77
}
[[ $built == ON ]] || skip "libbrenn.so.0 was built without probes (no <sys/sdt.h>)"
((EUID == 0)) || skip "attaching uprobes needs root"
command -v bpftrace >/dev/null || skip "bpftrace is not installed"
timeout 60 bpftrace -e 'BEGIN { exit(); }' >/dev/null 2>&1 || skip "bpftrace cannot load a program here (no BPF)"

work=$(mktemp -d /tmp/brenn-bpftrace.XXXXXX)
tracer=0
cleanup() {
    ((tracer > 0)) && kill -KILL "$tracer" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# BEGIN runs once the write probe is attached: the example starts only after it.
bpftrace -e "BEGIN { printf(\"attached\\n\"); }
             usdt:$lib:brenn:write { @writes[arg0] = count(); }" >"$work/trace" 2>&1 &
tracer=$!
for ((i = 0; i < 600; i++)); do
    grep -q '^attached' "$work/trace" && break
    kill -0 "$tracer" 2>/dev/null || break
    sleep 0.1
done
if ! grep -q '^attached' "$work/trace"; then
    cat "$work/trace"
    echo "FAIL: bpftrace did not attach to $lib"
    exit 1
fi

OLK_LOG_QUIET=1 timeout 90 "$example" >"$work/example" 2>&1
status=$?
kill -INT "$tracer"  # it prints its counts as it ends
for ((i = 0; i < 300; i++)); do
    kill -0 "$tracer" 2>/dev/null || break
    sleep 0.1
done
((status == 0)) || { cat "$work/example"; echo "FAIL: the example failed ($status)"; exit 1; }

# family: the example's line that says how many frames it wrote there.
declare -A said=([0]='^summary: ([0-9]+) frames written' [1]='^summary: ([0-9]+) written =')
failed=0
for family in 0 1; do
    want=$(sed -nE "s/${said[$family]}.*/\\1/p" "$work/example")
    got=$(sed -nE "s/^@writes\\[$family\\]: ([0-9]+)$/\\1/p" "$work/trace")
    echo "family $family: the example wrote ${want:-?} frames, bpftrace counted ${got:-0} writes"
    [[ -n $want && $want == "${got:-0}" ]] || failed=1
done
((failed == 0)) || { cat "$work/trace"; exit 1; }
