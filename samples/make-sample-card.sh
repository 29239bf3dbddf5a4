#!/bin/sh
# make-sample-card.sh IMAGE: the sample card. A sparse image of 3,968,000
# sectors whose first 1,984,000 hold a FAT16 volume with one file, as a card
# that reports half its size would be formatted.
set -eu
img=$1
rm -f "$img"
truncate -s $((3968000 * 512)) "$img"
# Half the file on purpose: mkfs.fat warns that the image is larger. 64
# sectors per track keep the total at 1,984,000 (mkfs.fat rounds to tracks).
mkfs.fat -F 16 -s 32 -g 255/64 -n SAMPLECARD -i 20260101 "$img" 992000 >/dev/null 2>&1
printf 'Holiday photos, soon to be overwritten.\r\n' > "$img.txt"
mcopy -i "$img" "$img.txt" ::PHOTOS.TXT
rm -f "$img.txt"
