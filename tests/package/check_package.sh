#!/usr/bin/env bash
# check_package.sh CMAKE BUILD_DIR CXX SANITIZE CONSUMER_DIR GENERATOR [TOOLCHAIN] [EMULATOR]
# Installs BUILD_DIR into a temporary prefix; checks the CMake package files beside brenn.pc;
# builds CONSUMER_DIR with find_package(brenn CONFIG) through CMAKE_PREFIX_PATH and its main.cpp
# with `pkg-config --cflags --libs brenn`, and runs both against the installed libraries
# (through EMULATOR, words separated by spaces, for a cross build). Also checks that the
# version file refuses a version of another major number.
set -euo pipefail
cmake=$1 build=$2 cxx=$3 sanitize=$4 consumer=$5 generator=$6 toolchain=${7:-}
read -r -a emulator <<<"${8:-}"

work=$(mktemp -d /tmp/brenn-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() {
    echo "package check FAILED: $*" >&2
    exit 1
}

"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
    fail "cmake --install: $(cat "$work/install.log")"
config=$(find "$prefix" -path '*/cmake/brenn/brennConfig.cmake' -print -quit)
[[ -n $config ]] || fail "no brennConfig.cmake under $prefix"
cmakedir=$(dirname "$config")
libdir=$(dirname "$(dirname "$cmakedir")")
[[ $libdir == "$prefix"/lib* ]] || fail "CMake package in an unexpected directory: $cmakedir"
for f in brennConfigVersion.cmake brennTargets.cmake; do
    [[ -f $cmakedir/$f ]] || fail "missing $cmakedir/$f"
done
[[ -f $libdir/pkgconfig/brenn.pc ]] || fail "brenn.pc is no longer next to the CMake package"
[[ -f $prefix/include/brenn.hpp ]] || fail "missing $prefix/include/brenn.hpp"

san_flags=""
[[ -n $sanitize ]] && san_flags="-fsanitize=$sanitize"
configure() {  # configure DIR [cmake args...]
    local dir=$1
    shift
    local args=(-S "$consumer" -B "$dir" -G "$generator" -DCMAKE_PREFIX_PATH="$prefix"
        -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$san_flags" -DCMAKE_BUILD_TYPE=Debug)
    # A cross toolchain looks for packages under its sysroot only: name the package's directory.
    [[ -n $toolchain ]] && args+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain" -Dbrenn_DIR="$cmakedir")
    "$cmake" "${args[@]}" "$@"
}
run() {  # run PROGRAM WHAT [LD_LIBRARY_PATH]
    local out
    out=$(LD_LIBRARY_PATH=${3:-} OLK_LOG_QUIET=1 "${emulator[@]}" "$1" 2>&1) ||
        fail "$2 consumer: $out"
    [[ $out == "consumer ok" ]] || fail "$2 consumer printed '$out'"
    # The loader lists what it would load (as ldd does); an emulator passes the request on
    # with -E, so that it does not reach the emulator's own loader.
    if ((${#emulator[@]} > 0)); then
        loaded=$(LD_LIBRARY_PATH=${3:-} "${emulator[@]}" -E LD_TRACE_LOADED_OBJECTS=1 "$1")
    else
        loaded=$(LD_TRACE_LOADED_OBJECTS=1 LD_LIBRARY_PATH=${3:-} "$1")
    fi
    grep -q "libbrenn.so.0 => $libdir/libbrenn.so.0" <<<"$loaded" ||
        fail "the $2 consumer does not load the installed libbrenn.so.0: $loaded"
    grep -q "libolk.so.0 => $libdir/libolk.so.0" <<<"$loaded" ||
        fail "the $2 consumer does not load the installed libolk.so.0: $loaded"
}

# 1. find_package(brenn CONFIG): the imported targets carry the paths. The program's run path
# names the prefix, but libbrenn.so.0 finds its own libolk.so.0 through the loader's search
# path only (as it would in /usr/lib), so the run gets LD_LIBRARY_PATH as the pkg-config one.
configure "$work/cmake" >"$work/cmake.log" 2>&1 || fail "configuring: $(cat "$work/cmake.log")"
"$cmake" --build "$work/cmake" >"$work/build.log" 2>&1 || fail "building: $(cat "$work/build.log")"
run "$work/cmake/consumer" CMake "$libdir"

# 2. The version file: a request of another major version is refused.
if configure "$work/cmake-v1" -DBRENN_WANT_VERSION=1.0 >"$work/v1.log" 2>&1; then
    fail "find_package(brenn 1.0) accepted version $(sed -n 's/.*PACKAGE_VERSION "\(.*\)".*/\1/p' \
        "$cmakedir/brennConfigVersion.cmake" | head -1)"
fi
grep -q 'brennConfig.cmake, version: ' "$work/v1.log" ||
    fail "find_package(brenn 1.0) failed for another reason: $(cat "$work/v1.log")"

# 3. pkg-config, as the README tells.
flags=$(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs brenn) ||
    fail "pkg-config does not know brenn"
# shellcheck disable=SC2086 # the flags are words
"$cxx" -std=c++20 -Wall -Wextra -Werror $san_flags -o "$work/consumer-pc" "$consumer/main.cpp" \
    $flags 2>"$work/cxx.log" || fail "building with '$flags': $(cat "$work/cxx.log")"
run "$work/consumer-pc" pkg-config "$libdir"
echo "package check ok: $cmakedir, $flags"
