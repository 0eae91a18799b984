#!/bin/sh
# The Debian package, made afresh from the build tree, unpacked into a
# temporary root and run from there, away from the source and build trees:
# card_tool --version, and the tool reading a fresh virtual board's card.
# The programs must not name the build tree, the completion scripts must
# offer their options; lintian must find no error.
#   deb_unpacked.sh BUILD_DIR VERSION WORK_DIR
set -u
build=$(cd "$1" && pwd) version=$2 work=$3
rm -rf "$work" && mkdir -p "$work/runtime" || exit 1
chmod 700 "$work/runtime"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; exit 1; }
deb="$work/out/nebu_${version}_amd64.deb"
dpkg-deb -x "$deb" "$work/root" || exit 1
bin="$work/root/usr/bin"
if grep -l "$build" "$bin/card_tool" "$bin/vboard"; then echo "the programs above name $build"; exit 1; fi
cd "$work" || exit 1
out=$(env -i PATH=/usr/bin:/bin XDG_RUNTIME_DIR="$work/runtime" "$bin/card_tool" --version)
[ "$out" = "card_tool $version (nebu board tools)" ] || { echo "card_tool --version: [$out]"; exit 1; }
out=$(env -i PATH=/usr/bin:/bin XDG_RUNTIME_DIR="$work/runtime" NEBU_BACKEND=vboard \
      "$bin/vboard" run --fast -- "$bin/card_tool" 2>"$work/run.err") ||
    { echo "vboard run: status $?: $out"; cat "$work/run.err"; exit 1; }
case $out in
*"Maker ec , Device 75 , Opt1 a5 , Opt2 a5 , ext 00") ;;
*) echo "vboard run -- card_tool printed [$out]"; exit 1 ;;
esac
# The completion scripts offer the options the unpacked programs list.
comp="$work/root/usr/share/bash-completion/completions"
out=$(PATH="$bin:$PATH" bash -c '. "$1"/card_tool; . "$1"/vboard
    COMP_WORDS=(card_tool --re); COMP_CWORD=1; _card_tool; echo "${COMPREPLY[*]}"
    COMP_WORDS=(vboard run --fa); COMP_CWORD=2; _vboard; echo "${COMPREPLY[*]}"' _ "$comp")
[ "$out" = "--read --read-logical
--fast" ] || { echo "completion offered [$out]"; exit 1; }
lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1 || { cat "$work/lintian.log"; exit 1; }
