#!/usr/bin/env python3
"""Card scenarios on a QEMU USB card reader under a real Linux SCSI stack.

usage: scenarios.py --cli BRISANT_CLI --work DIR SCENARIO
Exit status 0 passed, 1 failed, 77 skipped (tools or kernel missing)."""

import argparse
import base64
import contextlib
import hashlib
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import time
import traceback

# Nothing is written into the source tree, bytecode included.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import log  # noqa: E402

SECTOR = 512
DECLARED = 1984000
DOUBLED = 2 * DECLARED

# The boot sector's fields for a volume of DOUBLED sectors.
BOOT_HEAD = bytes.fromhex(
    "EB 3C 90 4D 53 57 49 4E 34 2E 31 00 02 40 02 00 02 00 02 00 00 F8 F3 00 3F 00 FF 00 00 00"
    " 00 00 00 8C 3C 00 00 00 29 78 56 34 12 00 00 00 00 00 00 00 00 00 00 00 46 41 54 31 36"
    " 20 20 20")
FAT1, FAT2, FAT_SECTORS = 2, 245, 243
ROOT, ROOT_SECTORS = 488, 32
DATA = 520

SUCCESS_LINES = ["The drive's capacity have change to 2G bytes.", "Please re-plugin this card again"]
FAIL_LINE = "Change the drive's capacity fail"

OPCODES = {0x12: "INQUIRY", 0x28: "READ(10)", 0x2A: "WRITE(10)",
           0x1E: "PREVENT ALLOW MEDIUM REMOVAL", 0x1B: "START STOP UNIT"}


def check(cond, msg):
    if not cond:
        raise AssertionError(msg)


# ------------------------------------------------------------------ images

def fat_boot_sector(declared):
    s = bytearray(SECTOR)
    s[0:3] = b"\xEB\x3C\x90"
    s[3:11] = b"OLDCARD "
    s[11:13] = SECTOR.to_bytes(2, "little")
    s[32:36] = declared.to_bytes(4, "little")
    s[510:512] = b"\x55\xAA"
    return bytes(s)


def mbr_sector(declared, start=249):
    s = bytearray(SECTOR)
    s[0:2] = b"\x33\xC0"  # xor ax,ax: ordinary partition-table code, not a jump
    e = 446
    s[e + 4] = 0x06
    s[e + 8:e + 12] = start.to_bytes(4, "little")
    s[e + 12:e + 16] = declared.to_bytes(4, "little")
    s[510:512] = b"\x55\xAA"
    return bytes(s)


def marker(lba):
    return (b"BRISANT-MARKER-%010d-" % lba).ljust(SECTOR, b"\xA5")


MARKERS = [DATA, DATA + 1, DECLARED - 1, DECLARED, DOUBLED - 1]


def make_card(path, sectors, sector0, markers=()):
    with open(path, "wb") as f:
        f.truncate(sectors * SECTOR)
        f.write(sector0)
        for lba in markers:
            if lba < sectors:
                f.seek(lba * SECTOR)
                f.write(marker(lba))


def read_sectors(path, lba, count=1):
    with open(path, "rb") as f:
        f.seek(lba * SECTOR)
        return f.read(count * SECTOR)


def content_digest(path, masked=()):
    """Digest of the content (holes read as zeros) without reading the holes:
    every 64 KiB chunk that is not all zero, with its offset. Masked sectors
    read as zeros."""
    h = hashlib.sha256()
    size = os.path.getsize(path)
    h.update(b"size %d\n" % size)
    chunk = 1 << 16
    with open(path, "rb") as f:
        fd = f.fileno()
        at = 0
        while at < size:
            try:
                start = os.lseek(fd, at, os.SEEK_DATA)
            except OSError:
                break
            end = os.lseek(fd, start, os.SEEK_HOLE)
            at = max(at, start - start % chunk)
            f.seek(at)
            while at < end:
                data = f.read(chunk)
                if not data:
                    break
                for lba in masked:
                    if at <= lba * SECTOR < at + len(data):
                        i = lba * SECTOR - at
                        data = data[:i] + bytes(SECTOR) + data[i + SECTOR:]
                if data.count(0) != len(data):
                    h.update(b"@%d" % at)
                    h.update(data)
                at += len(data)
    return h.hexdigest()


def layout_errors(path, markers, size=DOUBLED * SECTOR):
    """Differences between the image and the volume expected for DOUBLED sectors."""
    errors = []
    check(os.path.getsize(path) == size, "image size changed: %d" % os.path.getsize(path))
    boot = read_sectors(path, 0)
    if boot[:62] != BOOT_HEAD:
        diff = [i for i in range(62) if boot[i] != BOOT_HEAD[i]]
        errors.append("boot sector bytes 0..61 differ at %s: got %s" % (diff, boot[:62].hex(" ")))
    if boot[510:512] != b"\x55\xAA":
        errors.append("boot sector signature is %s" % boot[510:512].hex(" "))
    if read_sectors(path, 1).count(0) != SECTOR:
        errors.append("LBA 1 is not all zero")
    for name, first in (("FAT1", FAT1), ("FAT2", FAT2)):
        fat = read_sectors(path, first, FAT_SECTORS)
        if fat[:4] != b"\xF8\xFF\xFF\xFF":
            errors.append("%s starts %s" % (name, fat[:8].hex(" ")))
        if fat[4:].count(0) != len(fat) - 4:
            errors.append("%s has non-zero entries past the first two" % name)
    if read_sectors(path, ROOT, ROOT_SECTORS).count(0) != ROOT_SECTORS * SECTOR:
        errors.append("root directory (LBA %d..%d) is not empty" % (ROOT, ROOT + ROOT_SECTORS - 1))
    # The volume's last sector carries the repair's token for its undo file.
    token = read_sectors(path, DOUBLED - 1)
    if not token.startswith(b"brisant repair \0") or token[32:].count(0) != SECTOR - 32:
        errors.append("sector %d does not hold the repair's token: %s" % (DOUBLED - 1, token[:40].hex(" ")))
    for lba in markers:
        if lba != DOUBLED - 1 and read_sectors(path, lba) != marker(lba):
            errors.append("data sector %d was overwritten" % lba)
    return errors


def fsck_clean(path):
    """fsck.fat -n finds nothing but the all-zero label, which is intended."""
    r = subprocess.run(["fsck.fat", "-n", path], capture_output=True, text=True, timeout=120)
    out = (r.stdout + r.stderr).splitlines()
    allowed = [r"^fsck\.fat \d", r"^Label '' stored in boot sector is not valid\.$",
               r"^\s+Auto-removing label from boot sector\.$", r"^$",
               r"^Leaving filesystem unchanged\.$", r"^" + re.escape(path) + r": \d+ files, \d+/\d+ clusters$"]
    unexpected = [line for line in out if not any(re.match(p, line) for p in allowed)]
    check(r.returncode in (0, 1) and not unexpected,
          "fsck.fat -n status %d, unexpected messages:\n  %s" % (r.returncode, "\n  ".join(unexpected or out)))
    return "\n".join(out)


# ------------------------------------------------------------ guest output

def cli_lines(result, tag):
    return [line.rstrip() for line in result.out(tag).splitlines() if line.strip()]


def show(result, tag):
    log("---- brisant-cli %s (exit %d)" % (tag, result.rc(tag)))
    for line in result.out(tag).splitlines():
        log("   | " + line)


def scsi_commands(result, tag="scsi-trace"):
    """[(cdb bytes, [completion lines])] in the order the midlayer sent them."""
    commands = []
    for line in result.out(tag).splitlines():
        if "Send: scmd" in line:
            commands.append([None, []])
        elif commands and "CDB:" in line and commands[-1][0] is None:
            tokens = line.split("CDB:", 1)[1].split()
            hexes = []
            for tok in reversed(tokens):
                if not re.fullmatch(r"[0-9a-f]{2}", tok):
                    break
                hexes.insert(0, int(tok, 16))
            commands[-1][0] = bytes(hexes)
        elif commands:
            commands[-1][1].append(line)
    return [(cdb, done) for cdb, done in commands if cdb]


def sense_of(done):
    text = " ".join(done)
    key = re.search(r"Sense Key : ([A-Za-z ]+?) \[", text)
    asc = re.search(r"Add\. Sense: (.+?)(?:\s*\[|$)", text)
    return (key.group(1) if key else None, asc.group(1).strip() if asc else None)


def describe_commands(commands):
    counts = {}
    for cdb, _ in commands:
        counts[cdb[0]] = counts.get(cdb[0], 0) + 1
    return ", ".join("%s x%d" % (OPCODES.get(op, "0x%02x" % op), n) for op, n in sorted(counts.items()))


# ----------------------------------------------------------------- scenarios

READER_ONLY = "wait_disk sda || exit 1\n"


def scenario_sweep(vm, work):
    card = os.path.join(work, "card.img")
    fixed = os.path.join(work, "fixed.img")
    make_card(card, DOUBLED, fat_boot_sector(DECLARED))
    # A fixed USB disk beside the reader must not be offered, nor repaired
    # when named, though its sector 0 reads like an eligible card's.
    make_card(fixed, DOUBLED, fat_boot_sector(DECLARED), MARKERS)
    fixed_before = content_digest(fixed)
    r = vm.boot("sweep", """
wait_disk sda || exit 1
wait_disk sdb || exit 1
section removable sh -c 'for d in sda sdb; do echo "$d $(cat /sys/block/$d/removable)"; done'
scsi_trace_on
run_cli list list
scsi_trace_off
for d in sda sdb; do [ "$(cat /sys/block/$d/removable)" = 0 ] && fixed=$d; done
scsi_trace_on
run_cli fixed repair /dev/$fixed --yes --no-pause
scsi_trace_off fixed-trace
""", [{"path": card}, {"path": fixed, "removable": False}])
    show(r, "list")
    removable = dict(line.split() for line in r.out("removable").splitlines() if line.strip())
    check(sorted(removable.values()) == ["0", "1"], "expected one removable and one fixed disk: %s" % removable)
    reader = [d for d, v in removable.items() if v == "1"][0]
    letter = chr(ord("D") + ord(reader[2]) - ord("a"))
    log("reader is /dev/%s, so %s:" % (reader, letter))
    check(r.rc("list") == 0, "list exited %d" % r.rc("list"))
    drives = [line for line in cli_lines(r, "list") if re.match(r"^[D-Z]:\\", line)]
    check(len(drives) == 1, "list should show exactly the reader, got %s" % drives)
    line = drives[0]
    check(line.startswith(letter + ":\\"), "list shows %r, not the reader's letter %s:" % (line, letter))
    check("/dev/" + reader in line, "list line does not say what %s: maps to: %r" % (letter, line))
    check("%u MB" % (DECLARED * SECTOR // (1 << 20)) in line, "list line lacks the declared capacity: %r" % line)
    sent = scsi_commands(r)
    check(any(cdb[0] == 0x12 for cdb, _ in sent), "no INQUIRY reached the disks during list")
    check(not any(cdb[0] in (0x2A, 0x1B) for cdb, _ in sent), "list wrote or ejected: %s" % describe_commands(sent))

    show(r, "fixed")
    sent = scsi_commands(r, "fixed-trace")
    check(r.rc("fixed") != 0, "repair of the fixed disk exited 0")
    check(not any(s in cli_lines(r, "fixed") for s in SUCCESS_LINES), "the fixed disk was 'repaired'")
    check(not any(cdb[0] in (0x2A, 0x1B) for cdb, _ in sent),
          "repair of the fixed disk wrote or ejected: %s" % describe_commands(sent))
    check(content_digest(fixed) == fixed_before, "the fixed disk's image changed")


def repair_boot(vm, name, card, readonly=False, before=""):
    return vm.boot(name, READER_ONLY + before + """
scsi_trace_on
run_cli repair repair D --yes --no-pause
scsi_trace_off
section after-eject dd if=/dev/sda of=/dev/null bs=512 count=1
""", [{"path": card, "readonly": readonly}])


def check_repaired_in_guest(r):
    show(r, "repair")
    sent = scsi_commands(r)
    log("commands the reader got during the repair: " + describe_commands(sent))
    lines = cli_lines(r, "repair")
    for want in SUCCESS_LINES:
        check(want in lines, "repair did not print %r on a line of its own" % want)
    check(FAIL_LINE not in lines, "repair printed the failure message")
    check(r.rc("repair") == 0, "repair exited %d" % r.rc("repair"))
    for op, name in OPCODES.items():
        check(any(cdb[0] == op for cdb, _ in sent), "%s never reached the reader" % name)
    writes = [(cdb, done) for cdb, done in sent if cdb[0] == 0x2A]
    refused = [cdb.hex(" ") for cdb, done in writes if sense_of(done)[0]]
    check(not refused, "writes answered CHECK CONDITION: %s" % refused)
    ejects = [i for i, (cdb, _) in enumerate(sent) if cdb[0] == 0x1B and cdb[4] & 0x03 == 0x02]
    check(ejects, "no START STOP UNIT with LoEj=1 and Start=0 was sent")
    eject = ejects[-1]
    check(sense_of(sent[eject][1])[0] is None,
          "the eject was refused: %s" % (sense_of(sent[eject][1]),))
    check(any(cdb[0] == 0x1E and cdb[4] & 0x03 == 0 for cdb, _ in sent[:eject]),
          "no ALLOW MEDIUM REMOVAL before the eject")
    check(r.rc("after-eject") != 0 and "No medium" in r.out("after-eject"),
          "the card is still readable after the eject: %r" % r.out("after-eject"))


def scenario_repair(vm, work):
    card = os.path.join(work, "card.img")
    repaired = os.path.join(work, "repaired.img")
    make_card(card, DOUBLED, fat_boot_sector(DECLARED), MARKERS)
    r = repair_boot(vm, "repair", card)
    check_repaired_in_guest(r)
    errors = layout_errors(card, MARKERS)
    check(not errors, "repaired image differs from the expected volume:\n  " + "\n  ".join(errors))
    log(fsck_clean(card))
    # Later scenarios start from this image only once it has passed.
    subprocess.run(["cp", "--sparse=always", card, repaired + ".tmp"], check=True)
    os.replace(repaired + ".tmp", repaired)


def repaired_copy(work, name):
    src = os.path.join(os.path.dirname(work), "repair", "repaired.img")
    skipped = os.path.join(os.path.dirname(work), "repair", "skipped")
    if not os.path.exists(src) and os.path.exists(skipped):
        with open(skipped) as f:
            raise harness.Skip("the repair scenario was skipped: " + f.read().strip())
    check(os.path.exists(src), "%s is missing: the repair scenario has not passed" % src)
    dst = os.path.join(work, name)
    subprocess.run(["cp", "--sparse=always", src, dst], check=True)
    return dst


FILES = [
    ("A long file name with spaces.bin", 6 * 1024 * 1024),
    ("Sub Directory With A Long Name/Nested file, also long.dat", 300 * 1024 + 17),
    ("Sub Directory With A Long Name/MixedCase.TXT", 1),
    ("short.txt", 4096),
]


def scenario_linux_client(vm, work):
    card = repaired_copy(work, "card.img")
    writes = "\n".join('dd if=/dev/urandom of="/mnt/%s" bs=%d count=1 2>/dev/null || exit 1'
                       % (name, size) for name, size in FILES)
    sums = "\n".join('sha256sum "/mnt/%s"' % name for name, _ in FILES)
    r = vm.boot("linux-client", READER_ONLY + """
mount -t vfat /dev/sda /mnt || exit 1
mkdir "/mnt/Sub Directory With A Long Name" || exit 1
%s
section written sh -c '%s'
umount /mnt || exit 1
mount -t vfat -o ro /dev/sda /mnt || exit 1
section reread sh -c '%s'
section statfs stat -f -c "%%b %%S" /mnt
umount /mnt || exit 1
""" % (writes, sums, sums), [{"path": card}])
    clusters, cluster_size = (int(v) for v in r.out("statfs").split())
    log("Linux sees %d clusters of %d bytes" % (clusters, cluster_size))
    check((clusters, cluster_size) == (61991, 32768),
          "Linux sees %d clusters of %d bytes, not 61991 of 32768" % (clusters, cluster_size))
    written = parse_sums(r.out("written"))
    reread = parse_sums(r.out("reread"))
    check(len(written) == len(FILES), "guest wrote %d of %d files" % (len(written), len(FILES)))
    check(written == reread, "files read back after a remount differ:\n%s\n%s" % (written, reread))
    log(fsck_clean(card))

    env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    mdir = subprocess.run(["mdir", "-/", "-a", "-i", card, "::"], capture_output=True, text=True,
                          env=env, timeout=60)
    log(mdir.stdout)
    check(mdir.returncode == 0, "mdir failed: %s" % mdir.stderr)
    for name, size in FILES:
        base = name.rsplit("/", 1)[-1]
        check(base in mdir.stdout, "mdir does not show %r" % base)
        data = subprocess.run(["mcopy", "-n", "-i", card, "::/" + name, "-"], capture_output=True,
                              env=env, timeout=60)
        check(data.returncode == 0, "mcopy %r failed: %s" % (name, data.stderr))
        check(len(data.stdout) == size, "%r has %d bytes, not %d" % (name, len(data.stdout), size))
        check(hashlib.sha256(data.stdout).hexdigest() == written["/mnt/" + name],
              "mtools reads different contents for %r" % name)


def parse_sums(text):
    sums = {}
    for line in text.splitlines():
        m = re.match(r"^([0-9a-f]{64})\s+(.*)$", line)
        if m:
            sums[m.group(2)] = m.group(1)
    return sums


def expect_refused(vm, work, name, sectors, readonly, expect_write_refused):
    card = os.path.join(work, "card.img")
    make_card(card, sectors, fat_boot_sector(DECLARED), MARKERS)
    before = content_digest(card)
    r = vm.boot(name, READER_ONLY + """
run_cli list list
run_cli probe probe D
scsi_trace_on
run_cli repair repair D --yes --no-pause
scsi_trace_off
""", [{"path": card, "readonly": readonly}])
    show(r, "list")
    show(r, "probe")
    show(r, "repair")
    sent = scsi_commands(r)
    log("commands the reader got during the repair: " + describe_commands(sent))
    lines = cli_lines(r, "repair")
    check(r.rc("repair") == 1, "repair exited %d, not 1" % r.rc("repair"))
    check(FAIL_LINE in lines, "repair did not print %r on a line of its own" % FAIL_LINE)
    for want in SUCCESS_LINES:
        check(want not in lines, "a refused repair printed %r" % want)
    if expect_write_refused:
        protected = [cdb for cdb, done in sent if cdb[0] == 0x2A and sense_of(done)[0] == "Data Protect"]
        check(protected, "no WRITE(10) was refused with DATA PROTECT: the failure came from elsewhere")
    check(content_digest(card) == before, "the image changed")
    return r


def scenario_write_protected(vm, work):
    r = expect_refused(vm, work, "write-protected", DOUBLED, readonly=True, expect_write_refused=True)
    check(r.rc("probe") == 0 and "968 MB" in r.out("probe"),
          "probe cannot read a write-protected card's capacity")


def scenario_too_small(vm, work):
    r = expect_refused(vm, work, "too-small", DECLARED, readonly=False, expect_write_refused=False)
    sent = scsi_commands(r)
    writes = [cdb for cdb, _ in sent if cdb[0] == 0x2A]
    check(not writes, "a card that cannot hold the volume was written to (%d WRITEs)" % len(writes))


def scenario_mbr_card(vm, work):
    card = os.path.join(work, "card.img")
    make_card(card, DOUBLED, mbr_sector(DECLARED), MARKERS)
    r = repair_boot(vm, "mbr-card", card, before="run_cli probe probe D\n")
    show(r, "probe")
    probe = r.out("probe")
    check(r.rc("probe") == 0, "probe exited %d" % r.rc("probe"))
    check(re.search(r"\b%d\b" % DECLARED, probe) and "968 MB" in probe,
          "probe does not show %d sectors / 968 MB" % DECLARED)
    check_repaired_in_guest(r)
    errors = layout_errors(card, MARKERS)
    check(not errors, "repaired image differs from the expected volume:\n  " + "\n  ".join(errors))
    log(fsck_clean(card))


def scenario_empty_reader(vm, work):
    r = vm.boot("empty-reader", READER_ONLY + """
run_cli list list
run_cli probe probe D
scsi_trace_on
run_cli repair repair D --yes --no-pause
scsi_trace_off
""", [{"empty": True}])
    for tag in ("list", "probe", "repair"):
        show(r, tag)
        check(r.rc(tag) in (0, 1, 3), "%s exited %d" % (tag, r.rc(tag)))
    drives = [line for line in cli_lines(r, "list") if re.match(r"^[D-Z]:\\", line)]
    check(len(drives) == 1 and drives[0].startswith("D:"), "list does not show the empty reader as D:")
    check(r.rc("repair") in (1, 3), "a repair of an empty reader exited %d" % r.rc("repair"))
    check(not any(s in cli_lines(r, "repair") for s in SUCCESS_LINES), "an empty reader was 'repaired'")
    sent = scsi_commands(r)
    check(not any(cdb[0] in (0x2A, 0x1B) for cdb, _ in sent),
          "the repair wrote to or ejected an empty reader: %s" % describe_commands(sent))


def scenario_in_use_card(vm, work):
    """A card Linux is using is not written under its feet: a mounted
    partition, then a swap area; once free, the same card is repaired."""
    harness.require_tools("mkfs.fat")
    card = os.path.join(work, "card.img")
    start = 249
    make_card(card, DOUBLED, mbr_sector(DECLARED, start))
    subprocess.run(["mkfs.fat", "-F", "16", "-n", "OLDCARD", "--offset", str(start), card,
                    str(DECLARED * SECTOR // 1024)], check=True, capture_output=True)
    r = vm.boot("in-use-card", READER_ONLY + """
wait_disk sda1 || exit 1
mount -t vfat -o ro /dev/sda1 /mnt || exit 1
scsi_trace_on
run_cli mounted repair D --yes --no-pause
scsi_trace_off mounted-trace
umount /mnt || exit 1
mkswap /dev/sda1 >/dev/null && swapon /dev/sda1 || exit 1
scsi_trace_on
run_cli swap repair D --yes --no-pause
scsi_trace_off swap-trace
swapoff /dev/sda1 || exit 1
run_cli unused repair D --yes --no-pause
""", [{"path": card}])
    for tag, what in (("mounted", "a mounted partition"), ("swap", "an active swap area")):
        show(r, tag)
        sent = scsi_commands(r, tag + "-trace")
        log("commands the reader got: " + describe_commands(sent))
        check(r.rc(tag) == 1 and FAIL_LINE in cli_lines(r, tag),
              "repair of a card with %s exited %d without %r" % (what, r.rc(tag), FAIL_LINE))
        check(not any(cdb[0] in (0x2A, 0x1B) for cdb, _ in sent),
              "a card with %s was written to or ejected: %s" % (what, describe_commands(sent)))
    # Once free, the same card is repaired: being in use was the only obstacle.
    show(r, "unused")
    check(r.rc("unused") == 0, "repair of the card once free exited %d" % r.rc("unused"))
    errors = layout_errors(card, [])
    check(not errors, "repaired image differs from the expected volume:\n  " + "\n  ".join(errors))
    log(fsck_clean(card))


def scenario_sd_slot(vm, work):
    """A card in a built-in slot (an SD host controller, the kernel's mmc
    driver, no SCSI pass-through) gets a letter, is repaired by block I/O, and
    Linux mounts the result."""
    card = os.path.join(work, "card.img")
    size = 1 << 31  # a 2 GiB card: QEMU's SD card is a power of two
    with open(card, "wb") as f:
        f.truncate(size)
    make_card(card, size // SECTOR, fat_boot_sector(DECLARED), MARKERS)
    r = vm.boot("sd-slot", """
wait_disk mmcblk0 || exit 1
section sysfs sh -c 'echo "$(cat /sys/block/mmcblk0/removable) $(cat /sys/block/mmcblk0/device/type)"'
run_cli list list
run_cli repair repair D --yes --no-pause
mount -t vfat /dev/mmcblk0 /mnt || exit 1
echo written-in-the-slot >/mnt/hello.txt || exit 1
umount /mnt || exit 1
mount -t vfat -o ro /dev/mmcblk0 /mnt || exit 1
section reread cat /mnt/hello.txt
section statfs stat -f -c "%b %S" /mnt
umount /mnt
""", [{"path": card, "slot": True}])
    log("the slot's card: removable, type = %s" % r.out("sysfs").strip())
    show(r, "list")
    show(r, "repair")
    check(r.rc("list") == 0, "list exited %d" % r.rc("list"))
    drives = [line for line in cli_lines(r, "list") if re.match(r"^[D-Z]:\\", line)]
    check(len(drives) == 1 and drives[0].startswith("D:\\") and "/dev/mmcblk0" in drives[0],
          "list does not offer the slot's card as D: (/dev/mmcblk0): %s" % drives)
    check("%u MB" % (DECLARED * SECTOR // (1 << 20)) in drives[0], "list lacks the declared capacity: %r" % drives[0])
    lines = cli_lines(r, "repair")
    check(r.rc("repair") == 0, "repair exited %d" % r.rc("repair"))
    for want in SUCCESS_LINES:
        check(want in lines, "repair did not print %r on a line of its own" % want)
    check(any("take the card out" in line for line in lines), "the operator is not told to take the card out")
    check(r.out("reread").strip() == "written-in-the-slot", "Linux does not read back its file: %r" % r.out("reread"))
    clusters, cluster_size = (int(v) for v in r.out("statfs").split())
    check((clusters, cluster_size) == (61991, 32768),
          "Linux sees %d clusters of %d bytes, not 61991 of 32768" % (clusters, cluster_size))
    # Linux's own file now fills a cluster and a directory entry.
    errors = [e for e in layout_errors(card, MARKERS, size) if "non-zero entries" not in e and "root directory" not in e]
    check(not errors, "repaired image differs from the expected volume:\n  " + "\n  ".join(errors))
    log(fsck_clean(card))


BOOT_TEXT = "Remove disks or other media."


def scenario_seabios_boot(vm, work):
    card = repaired_copy(work, "card.img")
    sercon = os.path.join(work, "sercon-port")
    with open(sercon, "wb") as f:
        f.write(b"\xF8\x03")
    out = os.path.join(work, "seabios.serial.log")
    if os.path.exists(out):
        os.remove(out)
    cmd = ["qemu-system-x86_64", "-accel", "tcg", "-m", "64", "-display", "none", "-monitor", "none",
           "-nic", "none", "-no-reboot", "-serial", "file:" + out,
           "-fw_cfg", "name=etc/sercon-port,file=" + sercon,
           "-device", "qemu-xhci,id=xhci"] + harness.usb_cards([{"path": card, "bootindex": 0}])
    started = time.monotonic()
    errors = open(os.path.join(work, "seabios.qemu.log"), "w+")
    proc = harness.process_group.start(cmd, stdin=subprocess.DEVNULL, stdout=errors, stderr=subprocess.STDOUT)
    text = ""
    try:
        while time.monotonic() - started < 45 and proc.poll() is None:
            text = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", harness._read(out))
            if BOOT_TEXT in text:
                break
            time.sleep(0.2)
        text = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", harness._read(out))
    finally:
        harness.process_group.stop(proc)
        errors.seek(0)
        qemu_said = errors.read()
        errors.close()
    log("[seabios] %.1f s" % (time.monotonic() - started))
    log("---- screen text\n" + text.replace("\r", ""))
    if BOOT_TEXT not in text:
        log("---- qemu\n" + qemu_said)
    check(BOOT_TEXT in text, "the boot code did not show %r" % BOOT_TEXT)


def scenario_undo(vm, work):
    """A card holding a file is repaired, its undo file taken out of the
    guest, then undone in a second boot; in a third, Linux mounts the card
    and reads the file back."""
    harness.require_tools("mkfs.fat", "mcopy")
    card = os.path.join(work, "card.img")
    note = os.urandom(100 * 1024 + 3)
    with open(card, "wb") as f:
        f.truncate(DOUBLED * SECTOR)
    subprocess.run(["mkfs.fat", "-F", "16", "-S", "512", "--offset", "0", card, str(DECLARED // 2)],
                   check=True, capture_output=True)
    with open(os.path.join(work, "NOTE.BIN"), "wb") as f:
        f.write(note)
    subprocess.run(["mcopy", "-i", card, os.path.join(work, "NOTE.BIN"), "::NOTE.BIN"], check=True,
                   env=dict(os.environ, MTOOLS_SKIP_CHECK="1"))
    before = content_digest(card)

    r = vm.boot("undo-repair", READER_ONLY + """
run_cli repair repair D --yes --no-pause --undo-file /tmp/card.brisant-undo
section undo-file base64 /tmp/card.brisant-undo
""", [{"path": card}])
    show(r, "repair")
    check(r.rc("repair") == 0, "repair exited %d" % r.rc("repair"))
    check("undo file: /tmp/card.brisant-undo" in cli_lines(r, "repair"), "repair did not name its undo file")
    undo = base64.b64decode(r.out("undo-file"))
    check(undo.startswith(b"brisant undo file 2\n"), "the undo file does not start with its format line")
    check(content_digest(card) != before, "the repair left the card as it was")

    r = vm.boot("undo", READER_ONLY + """
run_cli undo undo /payload/card.brisant-undo D --yes
section after-eject dd if=/dev/sda of=/dev/null bs=512 count=1
""", [{"path": card}], files={"card.brisant-undo": undo})
    show(r, "undo")
    check(r.rc("undo") == 0, "undo exited %d" % r.rc("undo"))
    check("No medium" in r.out("after-eject"), "the card was not ejected after the undo")
    check(content_digest(card) == before, "the undo did not give the card back byte for byte")

    r = vm.boot("undo-mount", READER_ONLY + """
mount -t vfat -o ro /dev/sda /mnt || exit 1
section note sha256sum /mnt/NOTE.BIN
umount /mnt
""", [{"path": card}])
    check(r.out("note").split()[0] == hashlib.sha256(note).hexdigest(), "Linux reads another NOTE.BIN back")


# ------------------------------------------------------------- lying cards

# Sectors a lying card really holds; it declares DECLARED and shows DOUBLED.
REAL = 1 << 21
PROBE_CARD = b"f3probe's card"

# card: (lying_card.py's kind and parameters, what the card is). Every fake
# must be refused by the quick check with its old files intact, whatever
# cache hides its missing flash: one of up to 64 MiB is pushed out before
# the stamps are read a second time.
LYING_CARDS = {
    "genuine": (("genuine",), "genuine"),
    "wrap": (("wrap",), "fake"),
    "drop": (("drop",), "fake"),
    "cache": (("cache",), "fake"),
    "cache-16k": (("drop", "cache=16384"), "fake"),
    "cache-64k": (("drop", "cache=65536"), "fake"),
    "wrap-cache": (("wrap", "cache=4096"), "fake"),
    "wrap-cache-16k": (("wrap", "cache=16384"), "fake"),
    "wrap-cache-64k": (("wrap", "cache=65536"), "fake"),
    "two-caches": (("drop", "cache=65536", "small=64"), "fake"),
}
# The cards the tests also give to f3probe and to repair --verify; bench
# gives every card to f3probe.
PROBED_CARDS = ("genuine", "wrap", "drop", "cache")

# The old volume's files on a fake card: Linux must read them back after a
# refusal, and the whole store must be as it was once the caches have landed.
OLD_FILES = [("NOTE.BIN", 100 * 1024 + 3), ("PHOTO.JPG", 6 * 1024 * 1024)]


def old_volume(path, sectors, work):
    """A FAT16 volume of DECLARED sectors on a store of `sectors`, holding
    OLD_FILES: {name: SHA-256}."""
    harness.require_tools("mkfs.fat", "mcopy")
    with open(path, "wb") as f:
        f.truncate(sectors * SECTOR)
    subprocess.run(["mkfs.fat", "-F", "16", "-S", "512", "--offset", "0", path, str(DECLARED // 2)],
                   check=True, capture_output=True)
    sums = {}
    for name, size in OLD_FILES:
        data = os.urandom(size)
        source = os.path.join(work, name)
        with open(source, "wb") as f:
            f.write(data)
        subprocess.run(["mcopy", "-i", path, source, "::" + name], check=True,
                       env=dict(os.environ, MTOOLS_SKIP_CHECK="1"))
        os.remove(source)
        sums[name] = hashlib.sha256(data).hexdigest()
    return sums


class LyingCard:
    """A card of LYING_CARDS, its storage a sparse file of the run's own
    temporary folder that goes with it. With old_files, the storage holds a
    FAT16 volume with OLD_FILES instead of the markers."""

    def __init__(self, work, card, sector1=None, markers=(), old_files=False):
        self.card, self.sector1, self.markers, self.old_files = card, sector1, markers, old_files
        self.kind, self.params = LYING_CARDS[card][0][0], LYING_CARDS[card][0][1:]
        self.work = work
        self.log = os.path.join(work, "nbdkit-%s%s.log" % (card, "-probe" if sector1 else ""))
        self.folder = self.backing = self.server = None
        self.sums = {}

    def __enter__(self):
        self.folder = tempfile.mkdtemp(prefix="lying-%s-" % self.card)
        try:
            self.backing = os.path.join(self.folder, "storage")
            sectors = DOUBLED if self.kind == "genuine" else REAL
            if self.old_files:
                self.sums = old_volume(self.backing, sectors, self.folder)
            else:
                make_card(self.backing, sectors, fat_boot_sector(DECLARED), self.markers)
            if self.sector1:
                with open(self.backing, "r+b") as f:
                    f.seek(SECTOR)
                    f.write(self.sector1)
            self.server = harness.LyingCardServer(self.kind, self.backing, DOUBLED * SECTOR, self.log,
                                                  list(self.params))
            return self.server.__enter__()
        except BaseException:
            shutil.rmtree(self.folder)
            raise

    def stop(self):
        """The card taken out: nbdkit ends, and what its caches held lands."""
        self.server.__exit__(None, None, None)

    def __exit__(self, *exc):
        try:
            self.server.__exit__(*exc)
        finally:
            shutil.rmtree(self.folder)


def uptime_span(text):
    """Seconds between the first two guest uptimes on a line."""
    t = [float(v) for v in text.split()]
    return t[1] - t[0]


def f3probe_verdict(text):
    """'genuine', 'fake (TYPE)' or None when f3probe came to no verdict."""
    if re.search(r"^Good news: .* is the real thing$", text, re.M):
        return "genuine"
    m = re.search(r"^Bad news: .* is a counterfeit of type (\S+)$", text, re.M)
    return "fake (%s)" % m.group(1) if m else None


def quick_check_and_f3probe(vm, work, kind, probe=True):
    """Our quick check (a repair) on one card of the kind and, with probe,
    f3probe --destructive on its twin, in one guest; after a refusal, Linux
    reads the old files back. Both verdicts and times, and what the host sees
    of the checked card once its caches have landed."""
    f3probe, archives = "true", []
    if probe:
        harness.require_tools("f3probe")
        f3probe = os.path.realpath(shutil.which("f3probe"))
        archives = [harness.program_archive(vm.cache, f3probe)]
    fake = LYING_CARDS[kind][1] == "fake"
    with contextlib.ExitStack() as cards:
        quick = LyingCard(work, kind, markers=[] if fake else MARKERS, old_files=fake)
        served = [cards.enter_context(quick)]
        if probe:
            served.append(cards.enter_context(LyingCard(work, kind, PROBE_CARD)))
        before = content_digest(quick.backing)
        names = " ".join(name for name, _ in OLD_FILES)
        disks = ["sda", "sdb"][:len(served)]
        r = vm.boot("lying-" + kind, """
for d in %s; do wait_disk $d || exit 1; done
quick=sda probe=
for d in %s; do
    if dd if=/dev/$d bs=512 skip=1 count=1 2>/dev/null | grep -q "%s"; then probe=$d; else quick=$d; fi
done
section disks echo $quick $probe
/payload/brisant-cli --help >/dev/null  # paged in before it is timed
# The run's random number waits for the guest's entropy pool, once per boot.
dd if=/dev/random of=/dev/null bs=1 count=1 2>/dev/null
read -r t0 _ </proc/uptime
run_cli quick repair /dev/$quick --yes --no-pause
read -r t1 _ </proc/uptime
[ -z "$probe" ] || section f3probe %s --destructive --time-ops /dev/$probe
read -r t2 _ </proc/uptime
section quick-time echo $t0 $t1
section f3probe-time echo $t1 $t2
# What Linux makes of a refused card: its old files, read through the card.
blockdev --flushbufs /dev/$quick 2>/dev/null
echo 3 >/proc/sys/vm/drop_caches
if mount -t vfat -o ro /dev/$quick /mnt 2>/dev/null; then
    section old-files sh -c 'cd /mnt && sha256sum %s'
    umount /mnt
fi
""" % (" ".join(disks), " ".join(disks), PROBE_CARD.decode(), f3probe, names), served, archives=archives)
        quick.stop()
        check(sorted(r.out("disks").split()) == disks,
              "the guest cannot tell its two cards apart: %r" % r.out("disks"))
        show(r, "quick")
        if probe:
            log("---- f3probe (exit %d)\n%s" % (r.rc("f3probe"), r.out("f3probe").strip()))
        lines = cli_lines(r, "quick")
        if r.rc("quick") == 0 and all(want in lines for want in SUCCESS_LINES):
            verdict = "genuine"
        elif r.rc("quick") == 1 and FAIL_LINE in lines:
            verdict = "fake"
        else:
            raise AssertionError("the quick check came to no verdict (exit %d)" % r.rc("quick"))
        probe_time = re.search(r"^Probe time: (.+)$", r.out("f3probe"), re.M) if probe else None
        read_back = {}
        if fake and verdict == "fake":
            read_back = {name: digest for digest, name in
                         (line.split() for line in r.out("old-files").splitlines() if line.strip())}
        return {
            "kind": kind, "quick": verdict, "quick_seconds": uptime_span(r.out("quick-time")),
            "f3probe": f3probe_verdict(r.out("f3probe")) if probe else None,
            "f3probe_seconds": uptime_span(r.out("f3probe-time")) if probe else None,
            "f3probe_probe_time": probe_time.group(1) if probe_time else None,
            "unchanged": content_digest(quick.backing) == before,
            "old_files": read_back == quick.sums if fake else None,
            "layout_errors": layout_errors(quick.backing, quick.markers) if not fake else None,
        }


def scenario_lying(kind):
    def run(vm, work):
        probe = kind in PROBED_CARDS
        got = quick_check_and_f3probe(vm, work, kind, probe)
        want = LYING_CARDS[kind][1]
        log("%s card: our quick check says %s in %.2f s" % (kind, got["quick"], got["quick_seconds"]))
        if probe:
            log("f3probe --destructive says %s in %.2f s (probe time %s)"
                % (got["f3probe"] or "nothing", got["f3probe_seconds"], got["f3probe_probe_time"]))
            check(got["f3probe"] or got["f3probe_probe_time"], "f3probe did not probe its card")
        check(got["quick"] == want, "the quick check calls a %s card %s, not %s" % (kind, got["quick"], want))
        if want == "genuine":
            check(not got["layout_errors"], "the repaired card differs from the expected volume:\n  "
                  + "\n  ".join(got["layout_errors"]))
        else:
            check(got["unchanged"], "the refused %s card was changed" % kind)
            check(got["old_files"], "Linux does not read the old files of the refused %s card back" % kind)
        # f3probe's verdict is shown beside ours; a fake it calls genuine is
        # still refused by ours.
        if got["f3probe"] is not None and got["f3probe"].split()[0] != got["quick"]:
            log("f3probe calls the %s card %s, our quick check %s" % (kind, got["f3probe"], got["quick"]))
    return run


def has_verify(cli):
    r = subprocess.run([cli, "--help"], capture_output=True, text=True, timeout=30)
    return "--verify" in r.stdout + r.stderr


def verify_card(vm, work, kind):
    """repair --verify on a card of the kind, then Linux uses what it left: a
    file written and read back after a remount, and the volume's size."""
    if not has_verify(vm.cli):
        raise harness.Skip("brisant-cli has no repair --verify")
    load_medium = os.path.join(os.path.dirname(os.path.abspath(__file__)), "load_medium.c")
    card = LyingCard(work, kind)
    with card as served:
        r = vm.boot("verify-" + kind, READER_ONLY + """
/payload/brisant-cli --help >/dev/null  # paged in before it is timed
# The run's random number waits for the guest's entropy pool, once per boot.
dd if=/dev/random of=/dev/null bs=1 count=1 2>/dev/null
read -r t0 _ </proc/uptime
run_cli verify repair /dev/sda --verify --yes --no-pause
read -r t1 _ </proc/uptime
section verify-time echo $t0 $t1
# An ejected card is put back; what Linux cached of it from before is dropped.
/payload/load-medium /dev/sda
blockdev --flushbufs /dev/sda
echo 3 >/proc/sys/vm/drop_caches
section mount mount -t vfat /dev/sda /mnt
grep -q " /mnt " /proc/mounts || exit 0
dd if=/dev/urandom of=/mnt/written.bin bs=65536 count=16 2>/dev/null
section written sha256sum /mnt/written.bin
section statfs stat -f -c "%b %S" /mnt
umount /mnt
echo 3 >/proc/sys/vm/drop_caches
mount -t vfat -o ro /dev/sda /mnt
section reread sha256sum /mnt/written.bin
umount /mnt
""", [served], timeout=560, archives=[harness.helper_archive(vm.cache, load_medium)])
        boot = read_sectors(card.backing, 0)
        return {
            "kind": kind, "result": r, "exit": r.rc("verify"), "seconds": uptime_span(r.out("verify-time")),
            "volume_sectors": int.from_bytes(boot[19:21], "little") or int.from_bytes(boot[32:36], "little"),
            "fsck": fsck_clean(card.backing) if r.rc("mount") == 0 else None,
        }


def scenario_verify(kind):
    def run(vm, work):
        got = verify_card(vm, work, kind)
        r = got["result"]
        log("---- brisant-cli verify (exit %d), progress left out" % got["exit"])
        for line in r.out("verify").splitlines():
            line = re.sub(r"(writing|reading) +\d+ of \d+ MB +[\d.]+ MB/s +[\d:]+ left *", "", line)
            log("   | " + line)
        log("%s card: repair --verify exited %d after %.1f s" % (kind, got["exit"], got["seconds"]))
        check(r.rc("mount") == 0, "Linux cannot mount what --verify left: %s" % r.out("mount").strip())
        check(parse_sums(r.out("written")) and parse_sums(r.out("written")) == parse_sums(r.out("reread")),
              "a file written to the card does not read back after a remount")
        log(got["fsck"])
        blocks, block_size = (int(v) for v in r.out("statfs").split())
        if kind == "genuine":
            check(got["exit"] == 0, "--verify exited %d on a genuine card" % got["exit"])
            check(got["volume_sectors"] == DOUBLED and (blocks, block_size) == (61991, 32768),
                  "a genuine card has %d sectors, %d clusters of %d bytes, not the doubled volume"
                  % (got["volume_sectors"], blocks, block_size))
        else:
            check(got["exit"] == 1, "--verify exited %d on a %s card, not 1" % (got["exit"], kind))
            check(got["volume_sectors"] <= DECLARED and blocks * block_size <= DECLARED * SECTOR,
                  "a %s card got a volume of %d sectors (%d clusters of %d bytes), more than it declares"
                  % (kind, got["volume_sectors"], blocks, block_size))
    return run


# ------------------------------------------------------ Windows under Wine

# The guest mounts the host's root read-only and runs the host's Wine in it,
# chrooted, with the prefix on a second, writable share: Wine's pass-through
# (IOCTL_SCSI_PASS_THROUGH_DIRECT becomes SG_IO) then reaches the guest's
# USB readers. The 9p modules come from the same kernel's tree.
WINE_MODULES = ["9p", "9pnet_virtio", "virtio_pci"]

WINE_GUEST_SETUP = r"""
for d in sda sdb sdc sdd; do wait_disk $d || exit 1; done
load_more_modules || exit 1
opts=trans=virtio,version=9p2000.L,msize=262144
mkdir -p /host
mount -t 9p -o $opts,cache=loose,ro hostroot /host || exit 1
mount -t proc proc /host/proc && mount -t sysfs sysfs /host/sys && mount -t devtmpfs devtmpfs /host/dev || exit 1
for d in tmp root run var/tmp var/lib/xkb; do
    [ -d /host/$d ] && { mount -t tmpfs tmpfs /host/$d || exit 1; }
done
mkdir -p /host/dev/shm /host/run/share && mount -t tmpfs tmpfs /host/dev/shm || exit 1
mount -t 9p -o $opts share /host/run/share || exit 1
cp /etc/vm-lib.sh /payload/load-medium /host/tmp/ || exit 1
echo "@@TIME boot 0 $(cut -d' ' -f1 /proc/uptime)"
chroot /host /bin/sh /run/share/guest.sh
rc=$?
umount /host/run/share
exit $rc
"""

# Runs in the chroot, the share at /run/share. Each card stands behind E: in
# its turn: Wine resolves \\.\E: through the prefix's dosdevices/e:: at every
# open.
WINE_GUEST = r"""
. /tmp/vm-lib.sh
export PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 USER=root HOME=/run/share/home
export XDG_STATE_HOME=/run/share/state WINEPREFIX=/run/share/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
loader=%(loader)s
now() { cut -d' ' -f1 /proc/uptime; }
card() { ln -sfn /dev/$1 "$WINEPREFIX/dosdevices/e::"; }
# wine_cli TAG ARGS...: brisant-cli.exe framed as run_cli frames the Linux
# one, its output kept in /tmp/TAG.out, and timed.
wine_cli() {
    t0=$(now)
    tag=$1; shift
    timeout 300 $loader /tmp/win/brisant-cli.exe "$@" </dev/null >/tmp/$tag.out 2>&1
    section "$tag" sh -c 'cat "$1"; exit "$2"' - /tmp/$tag.out $?
    echo "@@TIME $tag $t0 $(now)"
}
# traced TAG DISK CMD...: every command the midlayer sent while CMD ran, as
# section TAG-trace, and the disk's count of requests before and after, as
# TAG-ios; the log also in /tmp/TAG.trace.
traced() {
    trace=$1 disk=$2; shift 2
    ios0=$(cat /sys/block/$disk/device/iorequest_cnt)
    scsi_trace_on
    "$@"
    echo 0 >/proc/sys/dev/scsi/logging_level
    ios1=$(cat /sys/block/$disk/device/iorequest_cnt)
    dmesg -c >/tmp/$trace.trace
    section $trace-trace cat /tmp/$trace.trace
    section $trace-ios echo $((ios0)) $((ios1))
}
# written DISK TRACE...: the ranges the WRITE(10)s in the traces wrote,
# those that overlap or touch merged (the cache flush writes 1,000-odd
# neighbours), and the SHA-256 of what each holds now.
written() {
    disk=$1; shift
    grep -h 'CDB: Write(10)' "$@" | sed 's/.*Write(10) //' | while read -r op f b2 b3 b4 b5 g h1 h2 c; do
        echo "$((0x$b2$b3$b4$b5)) $((0x$h1$h2))"
    done | sort -n -k1,1 -k2,2 -u | awk '
        { s = $1; e = $1 + $2 }
        NR == 1 { start = s; end = e; next }
        s <= end { if (e > end) end = e; next }
        { print start, end - start; start = s; end = e }
        END { if (NR) print start, end - start }' | while read -r lba n; do
        echo "$lba $n $(dd if=/dev/$disk iflag=direct,skip_bytes,count_bytes bs=1M skip=$((lba * 512)) \
            count=$((n * 512)) 2>/dev/null | sha256sum | cut -c1-64)"
    done
}

for d in sda sdb sdc sdd; do
    name=$(dd if=/dev/$d iflag=direct bs=512 skip=1 count=1 2>/dev/null | tr -dc 'a-z-')
    case $name in
        card-cli) cli=$d ;; card-dialog) dialog=$d ;; card-idle) idle=$d ;; card-open) open=$d ;;
    esac
done
section disks echo "$cli $dialog $idle $open"
# A PE file run from the share crashes: each runs from the guest's memory.
mkdir -p /tmp/win && cp %(cli_exe)s /tmp/win/brisant-cli.exe && cp %(gui_exe)s /tmp/win/Brisant.exe || exit 1
%(wineserver)s -p
t0=$(now)
timeout 300 $loader wineboot </dev/null >/dev/null 2>&1
echo "@@TIME wine-start $t0 $(now)"

card $cli
look() { wine_cli list list; wine_cli probe probe E; wine_cli plan plan E; }
traced look $cli look
traced repair $cli wine_cli repair repair E --yes --no-pause
section after-repair dd if=/dev/$cli iflag=direct of=/dev/null bs=512 count=1
/tmp/load-medium /dev/$cli
undo=$(sed -n 's/^undo file: //p' /tmp/repair.out | tr -d '\r')
traced undo $cli wine_cli undo undo "$undo" E --yes
/tmp/load-medium /dev/$cli
section undone written $cli /tmp/repair.trace /tmp/undo.trace
traced again $cli wine_cli again repair E --yes --no-pause

# Mounted by Linux and idle: Wine's dismount unmounts it.
mkdir -p /tmp/idle /tmp/open
mount -t vfat -o ro /dev/$idle /tmp/idle || exit 1
card $idle
wine_cli idle repair E --yes --no-pause
section idle-mounts sh -c "grep '^/dev/$idle ' /proc/mounts; true"
# A file held open: Linux keeps it mounted, and Wine's lock is a stub.
mount -t vfat -o ro /dev/$open /tmp/open || exit 1
exec 3</tmp/open/NOTE.TXT
card $open
wine_cli open repair E --yes --no-pause
section open-mounts sh -c "grep '^/dev/$open ' /proc/mounts; true"
exec 3<&-
umount /tmp/open 2>/dev/null

# The dialog in X, no window manager: Return on the repair button (the
# default), on the confirmation and on both messages.
card $dialog
t0=$(now)
Xvfb :7 -screen 0 800x600x24 -nolisten tcp -noreset >/tmp/xvfb.log 2>&1 &
xvfb=$!
n=0
until [ -e /tmp/.X11-unix/X7 ] || [ $n -gt 600 ]; do n=$((n + 1)); sleep 0.1; done
export DISPLAY=:7
# next_window SECONDS CAPTION SEEN...: the id of a visible window so captioned
# that is none of SEEN.
next_window() {
    until=$(($(cut -d. -f1 /proc/uptime) + $1)) caption=$2; shift 2
    while [ "$(cut -d. -f1 /proc/uptime)" -lt $until ]; do
        for w in $(xdotool search --onlyvisible --name "^$caption\$" 2>/dev/null); do
            case " $* " in *" $w "*) ;; *) echo "$w"; return 0 ;; esac
        done
        sleep 0.2
    done
    return 1
}
press() { xdotool windowfocus "$1" && sleep 0.5 && xdotool key Return; }
dialog_run() {
    timeout 300 $loader /tmp/win/Brisant.exe >/tmp/brisant.log 2>&1 &
    gui=$!
    seen=
    # Wine's first window, Xvfb's too, takes the longest.
    limit=240
    for caption in '%(caption)s' Brisant Brisant Brisant; do
        w=$(next_window $limit "$caption" $seen) || { echo "no window '$caption'"; kill $gui; break; }
        limit=60
        echo "window '$caption' $w at $(now)"
        seen="$seen $w"
        press $w || { echo "could not press Return in $w"; kill $gui; break; }
    done
    wait $gui
    rc=$?
    cat /tmp/brisant.log
    return $rc
}
traced dialog $dialog section dialog dialog_run
echo "@@TIME dialog $t0 $(now)"
kill $xvfb
%(wineserver)s -k
exit 0
"""

WINE_CARDS = ["card-cli", "card-dialog", "card-idle", "card-open"]
DIALOG_CAPTION = "Korvela Fix 2GB Capacity"


def windows_programs(dirs):
    """(bits, brisant-cli.exe, Brisant.exe, loader, why): the shipped 32-bit
    programs under 32-bit Wine, else the 64-bit twins."""
    built = {}
    for d in dirs:
        cli, gui = os.path.join(d, "brisant-cli.exe"), os.path.join(d, "Brisant.exe")
        if os.path.isfile(cli) and os.path.isfile(gui):
            with open(cli, "rb") as f:
                head = f.read(4096)
            pe = int.from_bytes(head[60:64], "little")
            bits = {0x14C: 32, 0x8664: 64}.get(int.from_bytes(head[pe + 4:pe + 6], "little"))
            built.setdefault(bits, (cli, gui))
    if 32 in built and os.access("/usr/lib/wine/wine", os.X_OK):
        return (32,) + built[32] + ("/usr/lib/wine/wine", "the shipped 32-bit programs under 32-bit Wine")
    if 64 in built and os.access("/usr/lib/wine/wine64", os.X_OK):
        why = "wine32:i386 is not installed" if 32 in built else "the 32-bit programs are not built"
        return (64,) + built[64] + ("/usr/lib/wine/wine64", "the 64-bit twins, since " + why)
    if not built:
        raise harness.Skip("the Windows programs are not built in %s" % ", ".join(dirs))
    raise harness.Skip("no Wine for the programs built (%s bits): install wine64, or wine32:i386"
                       % " and ".join(sorted(str(b) for b in built)))


def wine_card(path, name, formatted=False):
    """A card declaring DECLARED sectors, named in sector 1 for the guest; a
    formatted one holds a FAT16 volume with a file."""
    if formatted:
        with open(path, "wb") as f:
            f.truncate(DOUBLED * SECTOR)
        subprocess.run(["mkfs.fat", "-F", "16", "-S", "512", "-R", "4", "--offset", "0", path, str(DECLARED // 2)],
                       check=True, capture_output=True)
        note = path + ".note"
        with open(note, "w") as f:
            f.write("held open\n")
        subprocess.run(["mcopy", "-i", path, note, "::NOTE.TXT"], check=True,
                       env=dict(os.environ, MTOOLS_SKIP_CHECK="1"))
        os.remove(note)
        # mkfs.fat rounds the volume down; the card declares all of it.
        with open(path, "r+b") as f:
            f.seek(32)
            f.write(DECLARED.to_bytes(4, "little"))
    else:
        make_card(path, DOUBLED, fat_boot_sector(DECLARED), MARKERS)
    with open(path, "r+b") as f:
        f.seek(SECTOR)
        f.write(name.encode())


# Each repair leaves a token of its own there (layout_errors checks its form).
TOKEN_SECTORS = (DOUBLED - 1,)


def linux_repair(vm, card, home):
    """The Linux build's repair of a copy of the card: its content digest."""
    ref = card + ".linux"
    subprocess.run(["cp", "--sparse=always", card, ref], check=True)
    env = dict(os.environ, HOME=home, XDG_STATE_HOME=os.path.join(home, "state"))
    r = subprocess.run([vm.cli, "--drive", "E=" + ref, "repair", "E", "--yes", "--no-pause"],
                       capture_output=True, text=True, env=env, timeout=120)
    check(r.returncode == 0, "the Linux build's repair exited %d: %s" % (r.returncode, r.stderr))
    digest = content_digest(ref, masked=TOKEN_SECTORS)
    os.remove(ref)
    return digest


WINE32_MODULES = "/usr/lib/i386-linux-gnu/wine/i386-windows"


def make_wine_prefix(folder, loader, bits):
    """A prefix made once on the host: the guest would take minutes for it."""
    wineserver = "/usr/lib/wine/wineserver64" if os.path.exists("/usr/lib/wine/wineserver64") else "wineserver"
    env = dict(os.environ, WINEPREFIX=os.path.join(folder, "prefix"), HOME=os.path.join(folder, "home"),
               XDG_STATE_HOME=os.path.join(folder, "state"), TMPDIR=os.path.join(folder, "tmp"), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("DISPLAY", None)
    os.makedirs(env["HOME"])
    # The server's folder goes in TMPDIR, and with the folder when the test ends.
    os.makedirs(env["TMPDIR"])
    # The host's own loader: its kernel may run no 32-bit code.
    host_loader = "/usr/lib/wine/wine64" if os.access("/usr/lib/wine/wine64", os.X_OK) else loader
    for cmd in ([host_loader, "wineboot", "-i"], [wineserver, "-w"]):
        proc = harness.process_group.start(cmd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL)
        try:
            proc.wait(timeout=300)
        except subprocess.TimeoutExpired:
            raise AssertionError("%s did not end within 300 s" % " ".join(cmd))
        finally:
            harness.process_group.stop(proc)
    check(os.path.isfile(os.path.join(env["WINEPREFIX"], "system.reg")), "wineboot made no prefix")
    if bits == 32:
        # The 32-bit half of a prefix is put in place by a 32-bit process,
        # which a host without 32-bit code cannot start: its system folder
        # gets the 32-bit builtin modules it would have copied there.
        syswow64 = os.path.join(env["WINEPREFIX"], "drive_c", "windows", "syswow64")
        check(os.path.isdir(WINE32_MODULES), "no 32-bit Wine modules in " + WINE32_MODULES)
        for name in os.listdir(WINE32_MODULES):
            if not os.path.lexists(os.path.join(syswow64, name)):
                os.symlink(os.path.join(WINE32_MODULES, name), os.path.join(syswow64, name))
    return wineserver


def merged_ranges(ranges):
    """(lba, count) ranges, those that overlap or touch made one, in order."""
    out = []
    for lba, n in sorted(ranges):
        if out and lba <= out[-1][0] + out[-1][1]:
            start, count = out[-1]
            out[-1] = (start, max(count, lba + n - start))
        else:
            out.append((lba, n))
    return out


def guest_times(text):
    return {m.group(1): (float(m.group(2)), float(m.group(3)))
            for m in re.finditer(r"^@@TIME (\S+) ([\d.]+) ([\d.]+)$", text, re.M)}


def traced_commands(r, tag):
    """What reached the guest's disk while TAG ran: the midlayer's log of it,
    which must agree with the disk's own count of requests."""
    sent = scsi_commands(r, tag + "-trace")
    ios = [int(n) for n in r.out(tag + "-ios").split()]
    log("commands the guest's disk got for %s: %d (%s)" % (tag, ios[1] - ios[0], describe_commands(sent)))
    check(len(sent) == ios[1] - ios[0], "the SCSI log holds %d commands for %s, the disk counted %d"
          % (len(sent), tag, ios[1] - ios[0]))
    return sent


def check_wine_repair(r, tag):
    show(r, tag)
    check(r.rc(tag) == 0, "%s exited %d" % (tag, r.rc(tag)))
    lines = cli_lines(r, tag)
    for want in SUCCESS_LINES:
        check(want in lines, "%s did not print %r on a line of its own" % (tag, want))


def check_repair_commands(sent, what):
    for op, name in OPCODES.items():
        check(any(cdb[0] == op for cdb, _ in sent), "%s: %s never reached the guest's disk" % (what, name))
    # TEST UNIT READY is the kernel's, which finds no medium after the eject.
    refused = [cdb.hex(" ") for cdb, done in sent if cdb[0] != 0x00 and sense_of(done)[0]]
    check(not refused, "%s: commands answered CHECK CONDITION: %s" % (what, refused))
    eject = max(i for i, (cdb, _) in enumerate(sent) if cdb[0] == 0x1B)
    check(not any(cdb[0] in (0x28, 0x2A) for cdb, _ in sent[eject:]), "%s: a read or write after the eject" % what)


def judge_card(path, want_digest, what):
    errors = layout_errors(path, [])
    check(not errors, "%s differs from the expected volume:\n  %s" % (what, "\n  ".join(errors)))
    log(fsck_clean(path))
    mdir = subprocess.run(["mdir", "-i", path, "::"], capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, MTOOLS_SKIP_CHECK="1"))
    check(mdir.returncode == 0 and "bytes free" in mdir.stdout, "mdir cannot read %s: %s" % (what, mdir.stderr))
    check(content_digest(path, masked=TOKEN_SECTORS) == want_digest,
          "%s is not byte for byte the Linux build's repair (its token aside)" % what)


def scenario_wine(vm, work):
    """The Windows programs in the guest under Wine: its pass-through into
    the guest's SCSI stack, on four USB readers in one boot."""
    harness.require_tools("mkfs.fat", "mcopy", "mdir", "fsck.fat", "Xvfb", "xdotool")
    bits, cli_exe, gui_exe, loader, why = windows_programs(vm.windows)
    log("Windows programs in the guest: " + why)
    load_medium = os.path.join(os.path.dirname(os.path.abspath(__file__)), "load_medium.c")
    started = time.monotonic()
    folder = tempfile.mkdtemp(prefix="wine-vm-")
    try:
        os.chmod(folder, 0o755)
        cards = {name: os.path.join(folder, name + ".img") for name in WINE_CARDS}
        for name, path in cards.items():
            wine_card(path, name, formatted=name in ("card-idle", "card-open"))
        subprocess.run(["cp", "--sparse=always", cards["card-cli"], cards["card-cli"] + ".orig"], check=True)
        want = {name: linux_repair(vm, path, os.path.join(folder, "linux-home")) for name, path in cards.items()}
        wineserver = make_wine_prefix(folder, loader, bits)
        log("prefix and the Linux build's repairs made on the host in %.1f s" % (time.monotonic() - started))
        # Through the share: the guest's /tmp, /root and /run hide the host's.
        for exe in (cli_exe, gui_exe):
            shutil.copy(exe, os.path.join(folder, os.path.basename(exe)))
        fill = {"loader": loader, "wineserver": wineserver, "cli_exe": "/run/share/brisant-cli.exe",
                "gui_exe": "/run/share/Brisant.exe", "caption": DIALOG_CAPTION}
        with open(os.path.join(folder, "guest.sh"), "w") as f:
            f.write(WINE_GUEST % fill)
        r = vm.boot("wine", WINE_GUEST_SETUP, [{"path": cards[n]} for n in WINE_CARDS], timeout=540,
                    memory=1024, modules=WINE_MODULES, shares=[("/", "hostroot", True), (folder, "share", False)],
                    archives=[harness.helper_archive(vm.cache, load_medium)])
        times = guest_times(r.text)
        log("in the guest (s): " + ", ".join("%s %.1f" % (k, b - a) for k, (a, b) in times.items()))
        check(len(r.out("disks").split()) == 4, "the guest cannot tell its cards apart: %r" % r.out("disks"))

        for tag in ("list", "probe", "plan"):
            show(r, tag)
            check(r.rc(tag) == 0, "%s exited %d" % (tag, r.rc(tag)))
        check(any(line.startswith("E:\\") for line in cli_lines(r, "list")), "list does not offer E:")
        look = traced_commands(r, "look")
        check(any(cdb[0] == 0x12 for cdb, _ in look), "no INQUIRY reached the guest's disk")
        check(not any(cdb[0] in (0x2A, 0x1B) for cdb, _ in look), "list, probe or plan wrote or ejected")

        check_wine_repair(r, "repair")
        sent = traced_commands(r, "repair")
        check_repair_commands(sent, "the repair")
        check("No medium" in r.out("after-repair"), "the card was not ejected: %r" % r.out("after-repair"))

        show(r, "undo")
        check(r.rc("undo") == 0, "undo exited %d" % r.rc("undo"))
        undo = traced_commands(r, "undo")
        # Every range the repair or the undo wrote holds its old bytes again,
        # and nothing else was written: the whole card is given back.
        wrote = set(merged_ranges((int.from_bytes(cdb[2:6], "big"), int.from_bytes(cdb[7:9], "big"))
                                  for cdb, _ in sent + undo if cdb[0] == 0x2A))
        hashed = {(int(lba), int(n)): digest for lba, n, digest in
                  (line.split() for line in r.out("undone").splitlines() if line.strip())}
        check(set(hashed) == wrote, "the guest hashed %s, the repair and the undo wrote %s"
              % (sorted(hashed), sorted(wrote)))
        for (lba, n), digest in hashed.items():
            old = hashlib.sha256(read_sectors(cards["card-cli"] + ".orig", lba, n)).hexdigest()
            check(digest == old, "sectors %d..+%d do not hold their old bytes after the undo" % (lba, n))
        log("the undo gave back all %d ranges the repair and the undo wrote" % len(hashed))
        check_wine_repair(r, "again")
        check_repair_commands(traced_commands(r, "again"), "the repair after the undo")
        judge_card(cards["card-cli"], want["card-cli"], "the command line's card")

        check_wine_repair(r, "idle")
        check(r.out("idle-mounts").strip() == "", "the idle card is still mounted: %r" % r.out("idle-mounts"))
        judge_card(cards["card-idle"], want["card-idle"], "the card mounted and idle")

        # Wine's lock is a stub that always succeeds: the repair goes on under
        # the mounted volume, which Windows would refuse.
        check_wine_repair(r, "open")
        check(r.out("open-mounts").strip() != "", "the card with a file open was unmounted")
        judge_card(cards["card-open"], want["card-open"], "the card with a file open")

        show(r, "dialog")
        check(r.rc("dialog") == 0, "Brisant.exe exited %d" % r.rc("dialog"))
        check_repair_commands(traced_commands(r, "dialog"), "the dialog's repair")
        judge_card(cards["card-dialog"], want["card-dialog"], "the dialog's card")
        log("Windows programs in the guest: %s; %.1f s in all, the guest %.1f s"
            % (why, time.monotonic() - started, r.seconds))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


SCENARIOS = {
    "sweep": scenario_sweep,
    "repair": scenario_repair,
    "linux-client": scenario_linux_client,
    "write-protected": scenario_write_protected,
    "too-small": scenario_too_small,
    "seabios-boot": scenario_seabios_boot,
    "mbr-card": scenario_mbr_card,
    "empty-reader": scenario_empty_reader,
    "in-use-card": scenario_in_use_card,
    "sd-slot": scenario_sd_slot,
    "undo": scenario_undo,
    "wine": scenario_wine,
}
for _kind in LYING_CARDS:
    SCENARIOS["lying-" + _kind] = scenario_lying(_kind)
for _kind in PROBED_CARDS:
    SCENARIOS["verify-" + _kind] = scenario_verify(_kind)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--cli", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--windows", action="append", default=[], help="a build folder of the Windows programs")
    p.add_argument("scenario", choices=sorted(SCENARIOS))
    a = p.parse_args()
    harness.process_group.stop_on_signals()
    work = os.path.join(os.path.abspath(a.work), a.scenario)
    os.makedirs(work, exist_ok=True)
    started = time.monotonic()
    vm = None
    # What the repair scenario leaves for later ones is only ever from this run.
    for stale in ("skipped", "repaired.img"):
        if a.scenario == "repair" and os.path.exists(os.path.join(work, stale)):
            os.remove(os.path.join(work, stale))
    try:
        if a.scenario == "seabios-boot":
            harness.require_tools("qemu-system-x86_64")
            vm = None
        else:
            vm = harness.Machine(os.path.abspath(a.cli), work, os.path.join(os.path.abspath(a.work), "cache"))
            vm.windows = a.windows
        if a.scenario in ("repair", "linux-client", "mbr-card") or a.scenario.startswith("verify-"):
            harness.require_tools("fsck.fat")
        if a.scenario == "linux-client":
            harness.require_tools("mdir", "mcopy")
        SCENARIOS[a.scenario](vm, work)
    except harness.Skip as e:
        log("SKIPPED: %s" % e)
        if a.scenario == "repair":
            with open(os.path.join(work, "skipped"), "w") as f:
                f.write("%s\n" % e)
        return harness.SKIP
    except AssertionError as e:
        if vm is not None and vm.last is not None:
            log("---- guest output of the last boot\n" + vm.last.text)
        log("FAILED %s after %.1f s: %s" % (a.scenario, time.monotonic() - started, e))
        return 1
    except Exception:
        traceback.print_exc()
        return 1
    cpu = resource.getrusage(resource.RUSAGE_CHILDREN)
    log("PASSED %s in %.1f s (QEMU and tools used %.1f s of CPU)"
        % (a.scenario, time.monotonic() - started, cpu.ru_utime + cpu.ru_stime))
    return 0


if __name__ == "__main__":
    sys.exit(main())
