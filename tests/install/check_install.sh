#!/usr/bin/env bash
# check_install.sh CMAKE BUILD_DIR CC SANITIZE CONSUMER_C [EMULATOR]
# The installed tree: both libraries with SONAME and development link, libbrenn.so.0 needing
# libolk.so.0, the headers, and a C program built with pkg-config and run against it.
check=install san=${4:+-fsanitize=$4}
read -r -a emulator <<<"${6:-}"
. "$(dirname "$0")/installed.sh"
install_into "$1" "$2"
for lib in brenn olk; do
    [[ -f $libdir/lib$lib.so.0 && -L $libdir/lib$lib.so && $(readlink -f "$libdir/lib$lib.so") == \
        $(readlink -f "$libdir/lib$lib.so.0") ]] || fail "lib$lib.so does not lead to lib$lib.so.0"
    readelf -d "$libdir/lib$lib.so.0" | grep -q "Library soname: \[lib$lib\.so\.0\]" ||
        fail "lib$lib.so.0 has another SONAME"
done
readelf -d "$libdir/libbrenn.so.0" | grep -q 'Shared library: \[libolk\.so\.0\]' ||
    fail "libbrenn.so.0 does not need libolk.so.0"
[[ -f $prefix/include/brenn.h && -f $prefix/include/olk.h ]] || fail "headers missing"
pc_build "$3" "$5" "$work/consumer" -std=c11
run_consumer "$work/consumer" "the C consumer"
echo "install check ok: $libdir, $flags"
