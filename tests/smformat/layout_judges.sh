#!/bin/sh
# The standard layout of every card size, judged by fsck.fat and mtools: the
# master boot record's partition 1 starts where the boot sector is, and holds
# a clean, empty FAT file system of the format's type, which takes a file.
#   layout_judges.sh RENDER_LAYOUT WORK_DIR
set -eu
render=$1 dir=$2
rm -rf "$dir" && mkdir -p "$dir" && cd "$dir"
export MTOOLS_SKIP_CHECK=1 MTOOLSRC=$PWD/mtoolsrc
echo 'drive p: file="disk.img" partition=1' > mtoolsrc
for mb in 1 2 4 8 16 32 64 128; do
    offset=$("$render" $mb disk.img) || { echo "$offset"; exit 1; }
    want=FAT12 && [ $mb -lt 128 ] || want=FAT16
    mpartition -p p: | grep -q -- "-b $((offset / 512)) -l " || { echo "$mb MB: MBR"; mpartition -p p:; exit 1; }
    minfo p: | grep -q "^hidden sectors: $((offset / 512))\$" || { echo "$mb MB: no boot sector at partition 1"; exit 1; }
    minfo -i disk.img@@$offset :: | grep -q "disk type=\"$want" || { echo "$mb MB: not $want"; exit 1; }
    mdir -i disk.img@@$offset ::/ | grep -q 'No files' || { echo "$mb MB: mdir"; exit 1; }
    echo "$mb MB card" > note.txt
    mcopy -i disk.img@@$offset note.txt ::/NOTE.TXT
    dd if=disk.img of=part.img bs=512 skip=$((offset / 512)) 2>/dev/null
    fsck.fat -n part.img > fsck.txt 2>&1 || { cat fsck.txt; exit 1; }
    grep -q '1 files' fsck.txt || { cat fsck.txt; exit 1; }
    echo "$mb MB: $want at $offset, fsck.fat clean"
done
rm -f disk.img part.img
