# What the scripts share; source it: . "$(dirname "$0")/lib.sh"

# install_missing NAME PACKAGE...: installs the Debian packages that are missing (apt-get, as
# root or through sudo), quietly, saying which; nothing when none is missing.
install_missing() {
    local name=$1 package missing=()
    shift
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    ((${#missing[@]} == 0)) && return 0
    local as_root=()
    ((EUID == 0)) || as_root=(sudo)
    echo "$name: installing ${missing[*]}"
    "${as_root[@]}" apt-get -qq update
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get -qq install -y --no-install-recommends "${missing[@]}" >/dev/null
}

# The shared family's System V keys, as shared/segment.h fixes them: the segment's, then the
# semaphore sets'.
shared_keys() {
    local header segment first count
    header=$(dirname "${BASH_SOURCE[0]}")/../shared/segment.h
    segment=$(sed -nE 's/.*kSegmentKey = (0x[0-9a-fA-F]+);.*/\1/p' "$header")
    first=$(sed -nE 's/.*kFirstSetKey = (0x[0-9a-fA-F]+);.*/\1/p' "$header")
    count=$(sed -nE 's/.*kSetCount = ([0-9]+);.*/\1/p' "$header")
    printf '0x%x\n' "$segment" $(seq "$((first))" "$((first + count - 1))")
}

# Removes whatever objects hold the shared family's keys (a run that crashed may have left
# them).
remove_shared_objects() {
    local key
    for key in $(shared_keys); do
        ipcrm -M "$key" 2>/dev/null || true
        ipcrm -S "$key" 2>/dev/null || true
    done
}

# The command prefix that runs a program in a private IPC namespace, where this user may make
# one: isolate=($(isolation)); "${isolate[@]}" program.
isolation() {
    unshare --ipc true 2>/dev/null && echo unshare --ipc
    return 0
}
