#!/usr/bin/env bash
# check_pages.sh MAN PAGE...
# Renders each manual page with `man --warnings -l` and fails on any warning; also fails on a
# page that renders to nothing or lacks its NAME section.
set -uo pipefail
man=$1
shift
failed=0
for page in "$@"; do
    if [[ ! -s $page ]]; then
        echo "FAILED: $page: missing or empty (did scdoc run?)"
        failed=1
        continue
    fi
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 "$man" --warnings -l "$page" 2>&1 >/dev/null)
    text=$(LC_ALL=C.UTF-8 MANWIDTH=80 "$man" -l "$page" 2>/dev/null)
    if [[ -n $warnings ]]; then
        echo "FAILED: $page:"
        echo "$warnings"
        failed=1
    elif ! grep -q '^NAME' <<<"$text"; then
        echo "FAILED: $page: no NAME section in the rendered page"
        failed=1
    else
        echo "ok: $page ($(wc -l <<<"$text") lines)"
    fi
done
exit $failed
