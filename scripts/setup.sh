# Sourced by the other scripts: installs the Debian packages they need.
# Usage: . scripts/setup.sh; need_packages PACKAGE...
# Every message goes to standard error, so that a script's standard output
# stays its own.

need_packages() {
    local missing=()
    local package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
            missing+=("$package")
        fi
    done
    [ "${#missing[@]}" -eq 0 ] && return 0
    if ! command -v apt-get >/dev/null 2>&1; then
        echo "sectorscan: please install: ${missing[*]} (no apt-get here)" >&2
        return 0
    fi
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if command -v sudo >/dev/null 2>&1; then
            sudo=(sudo)
        else
            echo "sectorscan: please install as root: ${missing[*]}" >&2
            return 0
        fi
    fi
    echo "sectorscan: installing ${missing[*]}" >&2
    if ! "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2; then
        "${sudo[@]}" apt-get update -qq >&2
        "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2
    fi
}

# What every build needs.
BUILD_PACKAGES=(g++ cmake make pkg-config libisal-dev)
# What the tests need besides: GoogleTest, the man page's renderer, ddrescue
# to judge the mapfiles, FUSE for the fault file system, and genisoimage
# (with isoinfo) and xorriso to make disc images for --files.
TEST_PACKAGES=(libgtest-dev groff-base gddrescue fuse3 libfuse3-dev genisoimage xorriso vcdimager)
