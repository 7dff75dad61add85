# What the install and package checks share: the build installed into a temporary prefix, and
# consumer programs built against it and run (under `emulator`, an array, when cross built).
# The sourcing script sets `check` (its name in messages) and `san` (sanitizer flags or none).
set -euo pipefail
fail() { echo "$check check FAILED: $*" >&2 && exit 1; }
# install_into CMAKE BUILD_DIR: sets work, prefix and libdir (lib, or GNUInstallDirs' choice).
install_into() {
    work=$(mktemp -d "/tmp/brenn-$check.XXXXXX") && prefix=$work/prefix
    trap 'rm -rf "$work"' EXIT
    "$1" --install "$2" --prefix "$prefix" >"$work/install.log" 2>&1 ||
        fail "cmake --install: $(cat "$work/install.log")"
    libdir=$(dirname "$(find "$prefix" -name libbrenn.so.0 -print -quit)")
    [[ $libdir =~ ^$prefix/(lib|lib64|lib/.*-linux-gnu.*)$ ]] || fail "libbrenn.so.0 in '$libdir'"
}
# pc_build COMPILER SOURCE PROGRAM FLAGS...: built as the README tells, from this prefix only.
pc_build() {
    [[ -f $libdir/pkgconfig/brenn.pc ]] || fail "missing $libdir/pkgconfig/brenn.pc"
    flags=$(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs brenn) || fail "pkg-config"
    # shellcheck disable=SC2086 # the flags are words
    "$1" "${@:4}" -Wall -Wextra -Werror $san -o "$3" "$2" $flags 2>"$work/cc.log" ||
        fail "building with '$flags': $(cat "$work/cc.log")"
}
# run_consumer PROGRAM WHAT: it says "consumer ok" and loads the installed libraries.
run_consumer() {
    local out loaded lib trace=(env LD_TRACE_LOADED_OBJECTS=1)
    out=$(LD_LIBRARY_PATH=$libdir OLK_LOG_QUIET=1 "${emulator[@]}" "$1" 2>&1) || fail "$2: $out"
    [[ $out == "consumer ok" ]] || fail "$2 printed '$out'"
    # The loader lists what it would load, as ldd does; an emulator passes the request on.
    ((${#emulator[@]} == 0)) || trace=("${emulator[@]}" -E LD_TRACE_LOADED_OBJECTS=1)
    loaded=$(LD_LIBRARY_PATH=$libdir "${trace[@]}" "$1")
    for lib in brenn olk; do
        grep -q "lib$lib.so.0 => $libdir/lib$lib.so.0" <<<"$loaded" ||
            fail "$2 does not load the installed lib$lib.so.0: $loaded"
    done
}
