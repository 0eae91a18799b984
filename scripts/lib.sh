# Shared by scripts/run and scripts/test: install what is missing, then build.
# Sourced, not run.

NEBU_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Debian packages the build and the tests need.
NEBU_PACKAGES=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev sdcc sdcc-ucsim
               tshark sigrok-cli)  # the last two read the traces in the tests

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

# build_tree DIR [CMAKE_ARGS...] : configures (once) and builds DIR; the build's
# output is shown only when it fails.
build_tree() {
    local dir=$1; shift
    local log="$NEBU_ROOT/$dir.log"
    if [ ! -f "$NEBU_ROOT/$dir/build.ninja" ]; then
        cmake -S "$NEBU_ROOT" -B "$NEBU_ROOT/$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"$log" 2>&1 ||
            { cat "$log" >&2; return 1; }
    fi
    cmake --build "$NEBU_ROOT/$dir" -j "$(nproc)" >"$log" 2>&1 || { cat "$log" >&2; return 1; }
}
