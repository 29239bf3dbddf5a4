#!/bin/sh
# make-card.sh IMAGE DECLARED_SECTORS IMAGE_SECTORS [fat|mbr]
# A sparse card image whose sector 0 declares DECLARED_SECTORS, either as a
# FAT boot sector's 32-bit total or as the first partition of a master boot
# record.
set -eu
img=$1 declared=$2 sectors=$3 kind=${4:-fat}
rm -f "$img"
truncate -s $((sectors * 512)) "$img"
le32() { printf "$(printf '\\%03o\\%03o\\%03o\\%03o' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)))"; }
put() { dd of="$img" bs=1 seek="$1" conv=notrunc status=none; }
if [ "$kind" = fat ]; then
  printf '\353\074\220MSDOS5.0' | put 0
  le32 "$declared" | put 32
else
  printf '\372\063\300' | put 0
  printf '\000\001\001\000\006\376\377\377' | put 446
  le32 63 | put 454
  le32 "$declared" | put 458
fi
printf '\125\252' | put 510
