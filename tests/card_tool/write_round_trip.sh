#!/bin/sh
# Files onto a card through the tool, judged by mtools and fsck.fat: in one
# run of the virtual board the card's logical disk is read, mcopy puts files
# into it, --write-logical writes it back, and a second read must give the
# same disk byte for byte, one fsck.fat -n passes and mtools finds the files.
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
"$vboard" make-card-image --card $card card.img
cat > steps.sh <<'STEPS'
set -eu
tool=$1
"$tool" --read-logical before.img > read1.txt
offset=0
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
"$vboard" run --fast --firmware-loaded --card $card --card-image card.img -- sh steps.sh "$tool" ||
    { cat read1.txt size.txt dry.txt write.txt again.txt read2.txt 2>/dev/null; exit 1; }
cat dry.txt write.txt again.txt
grep -q '^Dry run: [1-9][0-9]* logical blocks to rewrite' dry.txt
grep -q '^numbers.txt is not the size of the 4 MB card.s logical disk (4096000 bytes): nothing written' size.txt
grep -q '^Rewrote [1-9][0-9]* logical blocks' write.txt
grep -q '^Rewrote 0 logical blocks, cleared 0; 0 pages programmed' again.txt
cmp before.img after.img
fsck.fat -n after.img
mtype -i after.img ::/NUMBERS.TXT | cmp - numbers.txt
mcopy -n -i after.img ::/DCIM/PHOTO.JPG back.jpg
cmp back.jpg photo.jpg
echo "write round trip: the disk written is the disk read back, and fsck.fat and mtools take it"
