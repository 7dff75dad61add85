#!/usr/bin/env bash
# check_package.sh CMAKE BUILD_DIR CXX SANITIZE CONSUMER_DIR GENERATOR [TOOLCHAIN] [EMULATOR]
# The installed CMake package: CONSUMER_DIR built with find_package(brenn CONFIG), its main.cpp
# again with pkg-config, both run against the prefix; a request of another major is refused.
check=package san=${4:+-fsanitize=$4} cmake=$1 cxx=$3 consumer=$5 generator=$6 toolchain=${7:-}
read -r -a emulator <<<"${8:-}"
. "$(dirname "$0")/../install/installed.sh"
install_into "$cmake" "$2"
cmakedir=$libdir/cmake/brenn
for f in "$cmakedir"/brenn{Config,ConfigVersion,Targets}.cmake "$prefix/include/brenn.hpp"; do
    [[ -f $f ]] || fail "missing $f"
done
configure() { # DIR [cmake args...]; a cross toolchain searches its sysroot only: name the dir
    "$cmake" -S "$consumer" -B "$1" -G "$generator" -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$san" -DCMAKE_BUILD_TYPE=Debug \
        ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain" -Dbrenn_DIR="$cmakedir"} "${@:2}"
}
configure "$work/cmake" >"$work/cmake.log" 2>&1 || fail "configuring: $(cat "$work/cmake.log")"
"$cmake" --build "$work/cmake" >"$work/build.log" 2>&1 || fail "building: $(cat "$work/build.log")"
run_consumer "$work/cmake/consumer" "the CMake consumer"
! configure "$work/v1" -DBRENN_WANT_VERSION=1.0 >"$work/v1.log" 2>&1 ||
    fail "find_package(brenn 1.0) accepted this version"
grep -q 'brennConfig.cmake, version: ' "$work/v1.log" || fail "brenn 1.0: $(cat "$work/v1.log")"
pc_build "$cxx" "$consumer/main.cpp" "$work/consumer-pc" -std=c++20
run_consumer "$work/consumer-pc" "the pkg-config consumer"
echo "package check ok: $cmakedir, $flags"
