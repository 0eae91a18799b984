#!/usr/bin/env bash
# make_initramfs.sh OUT KERNEL_RELEASE INIT PROGRAM...
# Assembles the guest's initramfs (gzip-compressed newc cpio) in OUT: the
# static busybox, INIT as /init, the kernel's own USB host modules for that
# release with what they depend on (in load order, listed in
# /lib/modules/order), and each PROGRAM in /bin with the shared libraries ldd
# names for it.
set -euo pipefail
out=$1 release=$2 init=$3
shift 3
modules=/lib/modules/$release
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root"/{bin,lib/modules,proc,sys,dev,tmp}
cp /bin/busybox "$root/bin/busybox"
cp "$init" "$root/init"
chmod 755 "$root/init"

# xhci-pci and its dependencies, dependencies first. Modules built into the
# kernel need nothing.
declare -A loaded=()
order=()
add_module() {  # path relative to $modules
    local path=$1 dep
    [ -n "${loaded[$path]:-}" ] && return 0
    loaded[$path]=1
    for dep in $(awk -v m="$path:" '$1 == m { $1 = ""; print }' "$modules/modules.dep"); do add_module "$dep"; done
    local name
    name=$(basename "$path")
    case "$name" in
        *.ko) cp "$modules/$path" "$root/lib/modules/$name" ;;
        *.ko.xz) xz -dc "$modules/$path" >"$root/lib/modules/${name%.xz}"; name=${name%.xz} ;;
        *.ko.zst) zstd -qdc "$modules/$path" >"$root/lib/modules/${name%.zst}"; name=${name%.zst} ;;
        *) echo "make_initramfs: unknown module format $name" >&2; return 1 ;;
    esac
    order+=("$name")
}
for wanted in xhci-pci; do
    path=$(awk -F: -v w="/$wanted.ko" 'index($1, w) { print $1; exit }' "$modules/modules.dep")
    if [ -n "$path" ]; then
        add_module "$path"
    elif ! grep -q "/$wanted.ko" "$modules/modules.builtin"; then
        echo "make_initramfs: no module $wanted for $release" >&2
        exit 1
    fi
done
printf '%s\n' "${order[@]}" >"$root/lib/modules/order"

for program in "$@"; do
    cp "$program" "$root/bin/"
    for lib in $(ldd "$program" | awk '/=>/ { print $3 } /^\t\// { print $1 }'); do
        [ -f "$lib" ] || continue
        mkdir -p "$root$(dirname "$lib")"
        cp -L "$lib" "$root$lib"
    done
done
# The dynamic loader where the programs look for it.
if [ -e /lib64/ld-linux-x86-64.so.2 ] && [ ! -e "$root/lib64/ld-linux-x86-64.so.2" ]; then
    mkdir -p "$root/lib64"
    cp -L /lib64/ld-linux-x86-64.so.2 "$root/lib64/"
fi
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$out"
