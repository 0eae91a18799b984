#!/bin/sh
# A FAT file system made by mkfs.fat and filled by mcopy goes onto a virtual
# card (vboard make-card-image, two bad blocks), the tool reads the card's
# logical disk back through a served board, and mtools must find the same
# files in it.
#   mtools_round_trip.sh VBOARD CARD_TOOL WORK_DIR RENDER_LAYOUT
set -eu
vboard=$1 tool=$2 dir=$3 render=$4
card=ec,e3,a5      # 4 MB: 500 logical blocks of 8 KB
disk_bytes=4096000

rm -rf "$dir"
mkdir -p "$dir/runtime"
chmod 700 "$dir/runtime"
export XDG_RUNTIME_DIR="$dir/runtime" MTOOLS_SKIP_CHECK=1
cd "$dir"

truncate -s $disk_bytes fat.img
mkfs.fat -n NEBUCARD fat.img >/dev/null
seq 1 20000 > numbers.txt
awk 'BEGIN { for (i = 0; i < 150000; i++) printf "%c", (i * 7919) % 251 }' > photo.jpg
mmd -i fat.img ::/DCIM
mcopy -i fat.img numbers.txt ::/
mcopy -i fat.img photo.jpg ::/DCIM/
mdir -i fat.img -/ ::/ | grep -v -i 'serial number' > before.txt

"$vboard" make-card-image --card $card --from fat.img --bad-blocks 2,9 card.img
"$vboard" run --fast --firmware-loaded --card $card --card-image card.img -- \
    "$tool" --read-logical disk.img > tool.txt || { cat tool.txt; exit 1; }
grep -q '^2 bad blocks, 0 ECC corrections, 0 uncorrectable sectors' tool.txt || { cat tool.txt; exit 1; }

mdir -i disk.img -/ ::/ | grep -v -i 'serial number' > after.txt
diff before.txt after.txt
mtype -i disk.img ::/NUMBERS.TXT | cmp - numbers.txt
mcopy -n -i disk.img ::/DCIM/PHOTO.JPG back.jpg
cmp back.jpg photo.jpg
echo "mtools round trip: same files"

# Without --from: the standard layout (MBR, FAT12 partition at sector 13) on
# a 1 MB card, read back exactly as the layout renders it; mtools and
# fsck.fat find an empty file system in the partition.
"$vboard" make-card-image --card ec,6e,a5 empty.img
"$vboard" run --fast --firmware-loaded --card ec,6e,a5 --card-image empty.img -- \
    "$tool" --read-logical empty-disk.img > tool-empty.txt || { cat tool-empty.txt; exit 1; }
offset=$("$render" 1 layout.img)
cmp empty-disk.img layout.img
mdir -i empty-disk.img@@$offset ::/ > empty-dir.txt 2>&1 || { cat empty-dir.txt; exit 1; }
grep -q 'No files' empty-dir.txt || { cat empty-dir.txt; exit 1; }
dd if=empty-disk.img of=partition.img bs=512 skip=$((offset / 512)) 2>/dev/null
fsck.fat -n partition.img
echo "formatted card: mtools and fsck.fat find an empty file system in its partition"
