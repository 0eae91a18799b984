#!/bin/sh
# Runs the shell blocks of the documents that are marked runnable: a fenced
# block whose info string holds the word "runnable" (```sh runnable). In a
# block with "$ " prompts only the prompted lines (and their continuation
# lines) run; otherwise every line does. The blocks of one document run in
# order, each with `sh -e` and a 300 s bound, in one fresh directory that
# holds the source tree's top-level entries and `build` (the build tree) as
# symbolic links, with build/bin first on PATH and a private XDG_RUNTIME_DIR.
# The directories are made outside the build tree (a link back into it would
# make a cycle for whatever walks the tree) and removed when all blocks pass.
#   run_blocks.sh SOURCE_DIR BUILD_DIR [DOCUMENT...]
set -u
src=$(cd "$1" && pwd) build=$(cd "$2" && pwd)
shift 2
[ $# -gt 0 ] || set -- "$src/README.md" $(find "$src/docs" -name '*.md' 2>/dev/null | sort)
work=$(mktemp -d "${TMPDIR:-/tmp}/nebu-docs.XXXXXX") || exit 1
failed=0 ran=0
for doc in "$@"; do
    name=$(echo "${doc#"$src"/}" | tr / _)
    dir="$work/$name"
    mkdir -p "$dir/.runtime" && chmod 700 "$dir/.runtime"
    for entry in "$src"/*; do
        case ${entry##*/} in build*) ;; *) ln -s "$entry" "$dir/${entry##*/}" ;; esac
    done
    ln -s "$build" "$dir/build"
    awk -v dir="$dir" '
        function flush(   i, prompted, keep, out) {
            prompted = 0
            for (i = 1; i <= n; i++) if (body[i] ~ /^\$ /) prompted = 1
            out = dir "/.block-" start ".sh"
            keep = 0
            for (i = 1; i <= n; i++) {
                line = body[i]
                if (prompted) {
                    if (line ~ /^\$ /) { keep = 1; sub(/^\$ /, "", line) }
                    else if (!keep) continue
                    keep = line ~ /\\$/
                }
                print line > out
            }
            close(out)
            print start
        }
        inblock && /^```/ { flush(); inblock = 0; next }
        inblock { body[++n] = $0; next }
        /^```/ && $0 ~ /[ \t]runnable([ \t]|$)/ { inblock = 1; n = 0; start = NR }
    ' "$doc" >"$dir/.blocks"
    for start in $(cat "$dir/.blocks"); do
        ran=$((ran + 1))
        if ! (cd "$dir" && XDG_RUNTIME_DIR="$dir/.runtime" PATH="$build/bin:$PATH" \
                timeout 300 sh -e ".block-$start.sh" >".block-$start.out" 2>&1); then
            echo "${doc#"$src"/}:$start: the block failed; its output:"
            cat "$dir/.block-$start.out"
            failed=$((failed + 1))
        fi
    done
done
echo "$ran runnable blocks, $failed failed"
if [ $failed -eq 0 ] && [ $ran -gt 0 ]; then rm -rf "$work"; exit 0; fi
echo "the blocks' directories are kept in $work"
exit 1
