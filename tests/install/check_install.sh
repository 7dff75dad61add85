#!/usr/bin/env bash
# check_install.sh CMAKE BUILD_DIR CC SANITIZE CONSUMER_C [EMULATOR]
# Installs BUILD_DIR into a temporary prefix and checks it: the layout (libraries with their
# development links, headers, brenn.pc), SONAME and NEEDED of libbrenn.so.0, and a C program
# built with `pkg-config --cflags --libs brenn` that runs against the installed libraries
# (through EMULATOR, words separated by spaces, when the build is a cross build).
set -euo pipefail
cmake=$1 build=$2 cc=$3 sanitize=$4 consumer=$5
read -r -a emulator <<<"${6:-}"

prefix=$(mktemp -d /tmp/brenn-install.XXXXXX)
trap 'rm -rf "$prefix"' EXIT
fail() {
    echo "install check FAILED: $*" >&2
    exit 1
}

"$cmake" --install "$build" --prefix "$prefix" >"$prefix/install.log" ||
    fail "cmake --install: $(cat "$prefix/install.log")"

# The library directory is lib, or the multiarch directory GNUInstallDirs picks.
found=$(find "$prefix" -name libbrenn.so.0 -print -quit)
[[ -n $found ]] || fail "no libbrenn.so.0 under $prefix"
libdir=$(dirname "$found")
case ${libdir#"$prefix"/} in
lib | lib64 | lib/*-linux-gnu*) ;;
*) fail "libbrenn.so.0 in an unexpected directory: $libdir" ;;
esac

for lib in brenn olk; do
    [[ -f $libdir/lib$lib.so.0 ]] || fail "missing $libdir/lib$lib.so.0"
    [[ -L $libdir/lib$lib.so ]] || fail "missing development link $libdir/lib$lib.so"
    [[ $(readlink -f "$libdir/lib$lib.so") == $(readlink -f "$libdir/lib$lib.so.0") ]] ||
        fail "lib$lib.so does not lead to lib$lib.so.0"
    soname=$(readelf -d "$libdir/lib$lib.so.0" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
    [[ $soname == "lib$lib.so.0" ]] || fail "lib$lib.so.0 has SONAME '$soname'"
done
readelf -d "$libdir/libbrenn.so.0" | grep -q 'Shared library: \[libolk\.so\.0\]' ||
    fail "libbrenn.so.0 does not list libolk.so.0 as NEEDED"
for header in brenn.h olk.h; do
    [[ -f $prefix/include/$header ]] || fail "missing $prefix/include/$header"
done
pc=$libdir/pkgconfig/brenn.pc
[[ -f $pc ]] || fail "missing $pc"

# A C program built the way the README tells, against this prefix only.
flags=$(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs brenn) ||
    fail "pkg-config does not know brenn"
san=()
[[ -n $sanitize ]] && san=("-fsanitize=$sanitize")
"$cc" -std=c11 -Wall -Wextra -Werror "${san[@]}" -o "$prefix/consumer" "$consumer" $flags \
    2>"$prefix/cc.log" ||
    fail "building a C program with '$flags': $(cat "$prefix/cc.log")"
# The loader lists what it would load (as ldd does, also for a foreign architecture).
loaded=$(LD_TRACE_LOADED_OBJECTS=1 LD_LIBRARY_PATH=$libdir "${emulator[@]}" "$prefix/consumer")
grep -q "libbrenn.so.0 => $libdir/libbrenn.so.0" <<<"$loaded" ||
    fail "the program does not load the installed libbrenn.so.0: $loaded"
grep -q "libolk.so.0 => $libdir/libolk.so.0" <<<"$loaded" ||
    fail "the program does not load the installed libolk.so.0: $loaded"
out=$(LD_LIBRARY_PATH=$libdir OLK_LOG_QUIET=1 "${emulator[@]}" "$prefix/consumer") ||
    fail "consumer: $out"
[[ $out == "consumer ok" ]] || fail "consumer printed '$out'"
echo "install check ok: $libdir, $flags"
