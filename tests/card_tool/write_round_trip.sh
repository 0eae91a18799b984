#!/bin/sh
# Formatting and files onto a card through the tool, judged by fsck.fat and
# mtools. In one run of the virtual board, on a card holding a PC-style file
# system: --format; the logical disk read back holds an empty FAT partition;
# mcopy puts files into it, --write-logical writes it, and a second read
# gives the same disk byte for byte, which fsck.fat -n passes and in which
# mtools finds the files. A file of the wrong size is refused, a dry run
# changes nothing, and a second write has nothing to do.
#   write_round_trip.sh VBOARD CARD_TOOL WORK_DIR
set -eu
vboard=$1 tool=$2 dir=$3
card=ec,e3,a5      # 4 MB: 500 logical blocks of 8 KB

rm -rf "$dir"
mkdir -p "$dir/runtime"
chmod 700 "$dir/runtime"
export XDG_RUNTIME_DIR="$dir/runtime" MTOOLS_SKIP_CHECK=1
cd "$dir"

seq 1 30000 > numbers.txt
awk 'BEGIN { for (i = 0; i < 150000; i++) printf "%c", (i * 7919) % 251 }' > photo.jpg
truncate -s 4096000 pc.img
mkfs.fat pc.img > /dev/null
mcopy -i pc.img numbers.txt ::/OLD.TXT
"$vboard" make-card-image --card $card --from pc.img card.img
cat > steps.sh <<'STEPS'
set -eu
tool=$1
"$tool" --format --yes > format.txt
"$tool" --read-logical formatted.img > read0.txt
cp formatted.img before.img
offset=$(( $(od -An -tu4 -j454 -N4 before.img) * 512 ))
echo $offset > offset.txt
mmd -i before.img@@$offset ::/DCIM
mcopy -i before.img@@$offset numbers.txt ::/
mcopy -i before.img@@$offset photo.jpg ::/DCIM/
status=0; "$tool" --write-logical numbers.txt --yes > size.txt || status=$?
test $status = 1
"$tool" --write-logical before.img --dry-run > dry.txt
"$tool" --write-logical before.img --yes > write.txt
"$tool" --write-logical before.img --yes > again.txt
"$tool" --read-logical after.img > read2.txt
STEPS
"$vboard" run --fast --firmware-loaded --card $card --card-image-readonly card.img -- sh steps.sh "$tool" ||
    { cat format.txt read0.txt size.txt dry.txt write.txt again.txt read2.txt 2>/dev/null; exit 1; }
cat format.txt dry.txt write.txt again.txt
offset=$(cat offset.txt)
test "$offset" -gt 0
grep -q '^0 bad blocks, 0 ECC corrections, 0 uncorrectable sectors' read0.txt
dd if=formatted.img of=formatted-part.img bs=512 skip=$((offset / 512)) 2> /dev/null
fsck.fat -n formatted-part.img
mdir -i formatted.img@@$offset ::/ > formatted-dir.txt 2>&1 || { cat formatted-dir.txt; exit 1; }
grep -q 'No files' formatted-dir.txt
grep -q '^numbers.txt is not the size of the 4 MB card.s logical disk (4096000 bytes): nothing written' size.txt
grep -q '^Dry run: [1-9][0-9]* logical blocks to rewrite' dry.txt
grep -q '^Rewrote [1-9][0-9]* logical blocks' write.txt
grep -q '^Rewrote 0 logical blocks, cleared 0; 0 pages programmed' again.txt
cmp before.img after.img
dd if=after.img of=after-part.img bs=512 skip=$((offset / 512)) 2> /dev/null
fsck.fat -n after-part.img
mtype -i after.img@@$offset ::/NUMBERS.TXT | cmp - numbers.txt
mcopy -n -i after.img@@$offset ::/DCIM/PHOTO.JPG back.jpg
cmp back.jpg photo.jpg
echo "format and write round trip: fsck.fat and mtools take the disks, the disk written is the disk read back"
