#!/usr/bin/env bash
# bpftrace on the write probe of libbrenn.so.0 while the example pipeline runs: the writes it
# counts in each family must be the frames the example says it wrote there. Skips (77) where
# nothing can attach: not root, no bpftrace or BPF, or a library built without probes.
#   bpftrace_writes.sh LIBRARY EXAMPLE PROBES_BUILT
set -uo pipefail
lib=$1 example=$2
skip() { echo "SKIP: $*" && exit 77; }
[[ $3 == ON ]] || skip "libbrenn.so.0 was built without probes (no <sys/sdt.h>)"
((EUID == 0)) || skip "attaching uprobes needs root"
command -v bpftrace >/dev/null || skip "bpftrace is not installed"
timeout 60 bpftrace -e 'BEGIN { exit(); }' &>/dev/null || skip "bpftrace cannot load a program here"

work=$(mktemp -d /tmp/brenn-bpftrace.XXXXXX)
trap 'kill -KILL $tracer 2>/dev/null; rm -rf "$work"' EXIT
# The probe fires in every process that loaded the library (tests run side by side): only the
# example counts. BEGIN runs before the other probes are attached, and attaching takes seconds
# on a loaded machine, so the example starts only once a copy of it under another name
# ("canary") has been seen by the probe itself. A third copy ("closer") ends the trace from
# inside: bpftrace then prints its counts and exits by itself, however long a signal would
# take to reach it on a loaded machine.
name=$(basename "$example" | cut -c1-15)
cp "$example" "$work/canary"
cp "$example" "$work/closer"
bpftrace -e "usdt:$lib:brenn:write /comm == \"canary\" && @ready == 0/ {
                 @ready = 1; printf(\"ready\\n\"); }
             usdt:$lib:brenn:write /comm == \"$name\"/ { @writes[arg0] = count(); }
             usdt:$lib:brenn:write /comm == \"closer\"/ { exit(); }" \
    >"$work/trace" 2>&1 &
tracer=$!
began=$SECONDS
while :; do # until it says so; failed when it ends first or a minute passes
    OLK_LOG_QUIET=1 timeout 30 "$work/canary" &>/dev/null
    grep -q '^ready' "$work/trace" 2>/dev/null && break
    ((SECONDS - began < 60)) && kill -0 $tracer 2>/dev/null && sleep 1 ||
        { cat "$work/trace"; echo "FAIL: bpftrace did not attach"; exit 1; }
done

OLK_LOG_QUIET=1 timeout 90 "$example" >"$work/example" 2>&1; status=$?
((status == 0)) || { cat "$work/example"; echo "FAIL: the example failed ($status)"; exit 1; }
began=$SECONDS
while kill -0 $tracer 2>/dev/null; do # the closer's first write ends it; a minute at most
    ((SECONDS - began < 60)) || { cat "$work/trace"; echo "FAIL: bpftrace did not end"; exit 1; }
    OLK_LOG_QUIET=1 timeout 30 "$work/closer" &>/dev/null
    timeout 5 tail --pid=$tracer -f /dev/null
done

# The example's summary line of each family (local 0, shared 1) against the probe's count.
said=('^summary: ([0-9]+) frames written' '^summary: ([0-9]+) written =')
failed=0
for family in 0 1; do
    want=$(sed -nE "s/${said[$family]}.*/\\1/p" "$work/example")
    got=$(sed -nE "s/^@writes\\[$family\\]: ([0-9]+)$/\\1/p" "$work/trace")
    echo "family $family: the example wrote ${want:-?} frames, bpftrace counted ${got:-0} writes"
    [[ -n $want && $want == "${got:-0}" ]] || failed=1
done
((failed == 0)) || { cat "$work/trace"; exit 1; }
