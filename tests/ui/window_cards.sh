# The card images both window tests repair, and how the result is judged.
# Sourced, not run.

# Sector 0 as a FAT boot sector that declares SECTORS.
write_declared() {
    local image=$1 sectors=$2 le
    le=$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((sectors & 255)) $((sectors >> 8 & 255)) \
        $((sectors >> 16 & 255)) $((sectors >> 24 & 255)))
    printf '\xEB\x3C\x90' | dd of="$image" conv=notrunc status=none
    printf "$le" | dd of="$image" bs=1 seek=32 conv=notrunc status=none
    printf '\x55\xAA' | dd of="$image" bs=1 seek=510 conv=notrunc status=none
}

# WORK/card.img: 3,968,000 sectors whose boot sector declares 1,984,000; and
# WORK/small.img, which declares as much but is swapped for a smaller card.
make_cards() {
    local work=$1
    rm -f "$work/card.img" "$work/small.img"
    truncate -s $((3968000 * 512)) "$work/card.img"
    write_declared "$work/card.img" 1984000
    truncate -s $((4096 * 512)) "$work/small.img"
    write_declared "$work/small.img" 1984000
}

# The new volume's label is eleven zero bytes, which fsck.fat names; nothing
# else may be wrong.
judge_volume() {
    local report unexpected
    report=$(PATH="$PATH:/usr/sbin:/sbin" fsck.fat -n "$1" 2>&1)
    echo "$report"
    unexpected=$(echo "$report" | grep -v -e '^fsck\.fat ' -e "^Label '' stored in boot sector is not valid\.$" \
        -e '^  Auto-removing label from boot sector\.$' -e '^  Remove invalid label' -e '^Leaving filesystem unchanged\.$' \
        -e ': [0-9]* files, [0-9]*/[0-9]* clusters$' -e '^$')
    [ -z "$unexpected" ] || { echo "FAIL: fsck.fat found more than the empty label:"; echo "$unexpected"; return 1; }
}
