# Shared by scripts/run and scripts/test: install what is missing, then build.
# Sourced, not run.

NEBU_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Debian packages the build and the tests need.
NEBU_PACKAGES=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev sdcc sdcc-ucsim
               pkg-config libusb-1.0-0-dev libusbredirparser-dev)
# What the tests need besides: the Linux guest that judges the board over
# usb-redir (tests/guest); mkfs.fat and mtools for the card-read round trip;
# tshark and sigrok-cli read the traces; dpkg-dev (dpkg-shlibdeps) makes the
# Debian package, lintian judges it, mandoc the man pages; bash-completion
# loads the completion scripts.
NEBU_TEST_PACKAGES=(qemu-system-x86 linux-image-amd64 busybox-static cpio dosfstools mtools
                    tshark sigrok-cli dpkg-dev lintian mandoc bash-completion)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# ensure_packages PKG... : installs those not installed yet (apt-get update once).
ensure_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}" >&2
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q >&2
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
}

# build_tree DIR [CMAKE_ARGS...] : configures (once) and builds DIR with
# warnings as errors; the build's output is shown only when it fails.
build_tree() {
    local dir=$1; shift
    local log="$NEBU_ROOT/$dir.log"
    if [ ! -f "$NEBU_ROOT/$dir/build.ninja" ] ||
        ! grep -q '^NEBU_WERROR:BOOL=ON' "$NEBU_ROOT/$dir/CMakeCache.txt"; then
        cmake -S "$NEBU_ROOT" -B "$NEBU_ROOT/$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNEBU_WERROR=ON "$@" >"$log" 2>&1 ||
            { cat "$log" >&2; return 1; }
    fi
    cmake --build "$NEBU_ROOT/$dir" -j "$(nproc)" >"$log" 2>&1 || { cat "$log" >&2; return 1; }
}
