#!/usr/bin/env python3
"""Boots volumes carrying our boot sector in QEMU/SeaBIOS and checks what the
boot code does: loads NTLDR through the FAT chain, or prints its messages and
restarts after a key press.

Usage: boot_test.py --boot-bin B --loader-bin L [--cli brisant-cli] CASE
Without --cli the card image is built here from the boot code template.
"""

import argparse
import json
import os
import re
import select
import socket
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import process_group  # noqa: E402

SECTOR = 512
CARD_SECTORS = 3_968_000       # what the card reports
STALE_TOTAL = 1_984_000        # total sectors in the boot sector before repair
QEMU_SECONDS = 30              # per boot; a boot takes well under a second idle
TEST_SECONDS = 120             # the whole case, below the test's limit in CTest
EXT_CHECK = bytes.fromhex("b441bbaa55")  # mov ah,41h; mov bx,55AAh

MSG_REMOVE = b"Remove disks or other media."
MSG_DISK = b"Disk error"
MSG_PRESS = b"Press any key to restart"
BANNER = b"Booting from Hard Disk..."
LOADER_OK = b"LOADER DL=80 CS=2000 FILE=OK"


def fail(msg):
    print("FAIL:", msg)
    sys.exit(1)


# ---------------------------------------------------------------- images

def fat_sectors(total, spc):
    """Smallest FAT that covers the clusters left beside it."""
    f = 1
    while -(-((total - 2 - 32 - 2 * f) // spc + 2) * 2 // SECTOR) > f:
        f += 1
    return f


def boot_sector(template, total, spc, fat):
    bs = bytearray(SECTOR)
    bs[0:11] = b"\xEB\x3C\x90MSWIN4.1"
    struct.pack_into("<HBHBHHBHHHII", bs, 11, SECTOR, spc, 2, 2, 512, 0, 0xF8,
                     fat, 63, 255, 0, total)
    bs[38] = 0x29
    bs[39:43] = b"\x78\x56\x34\x12"
    bs[54:62] = b"FAT16   "
    bs[62:] = template
    return bs


def build_volume(path, template, total, spc, disk_sectors=None):
    fat = fat_sectors(total, spc)
    with open(path, "wb") as f:
        f.truncate((disk_sectors or total) * SECTOR)
        f.write(boot_sector(template, total, spc, fat))
        for lba in (2, 2 + fat):
            f.seek(lba * SECTOR)
            f.write(b"\xF8\xFF\xFF\xFF")


def card_image(a, work):
    """A repaired card; returns its path."""
    path, template, cli = os.path.join(work, "card.img"), a.template, a.cli
    if not cli:
        build_volume(path, template, CARD_SECTORS, 64)
        return path
    # A card whose boot sector still describes a smaller volume.
    build_volume(path, template, STALE_TOTAL, 64, disk_sectors=CARD_SECTORS)
    # The undo file stays in the work folder, never in the user's.
    run = subprocess.run([cli, "--drive", "E=" + path, "repair", "E", "--yes", "--no-pause",
                          "--undo-file", os.path.join(work, "card.brisant-undo")],
                         capture_output=True, text=True, timeout=60)
    if run.returncode != 0:
        fail("brisant-cli repair exited %d: %s%s"
             % (run.returncode, run.stdout, run.stderr))
    return path


def read_bpb(path):
    with open(path, "rb") as f:
        bs = f.read(SECTOR)
    spc, reserved, fats, entries = struct.unpack_from("<BHBH", bs, 13)
    fat = struct.unpack_from("<H", bs, 22)[0]
    return spc, reserved, fat, reserved + fats * fat


def patch(path, offset, data):
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(data)


def mtools(*args):
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    run = subprocess.run(list(args), env=env, capture_output=True, text=True)
    if run.returncode != 0:
        fail("%s: %s" % (" ".join(args), run.stderr))


def chain_of(path, name):
    spc, reserved, fat, root = read_bpb(path)
    with open(path, "rb") as f:
        f.seek(reserved * SECTOR)
        table = f.read(fat * SECTOR)
        f.seek(root * SECTOR)
        entries = f.read(32 * SECTOR)
    for i in range(0, len(entries), 32):
        if entries[i:i + 11] == name:
            c, out = struct.unpack_from("<H", entries, i + 26)[0], []
            while 2 <= c < 0xFFF8:
                out.append(c)
                c = struct.unpack_from("<H", table, 2 * c)[0]
            return out
    fail("%r not in root directory" % name)


def add_loader(img, loader, work, filler_clusters):
    """Copies the loader so that its chain has gaps: a naive contiguous read
    would pick up filler bytes instead."""
    cluster = read_bpb(img)[0] * SECTOR
    for name, fill, clusters in (("A", b"\xEE", 1), ("B", b"\xDD", filler_clusters)):
        with open(os.path.join(work, name), "wb") as f:
            f.write(fill * (cluster * clusters))
        mtools("mcopy", "-i", img, os.path.join(work, name), "::" + name)
    mtools("mdel", "-i", img, "::A")
    mtools("mcopy", "-i", img, loader, "::NTLDR")
    chain = chain_of(img, b"NTLDR      ")
    if all(b == a + 1 for a, b in zip(chain, chain[1:])):
        fail("loader chain is contiguous, test proves nothing: %s" % chain)


# ---------------------------------------------------------------- QEMU

class Qemu:
    def __init__(self, img, work):
        self.qmp_path = os.path.join(work, "qmp.sock")
        self.log = os.path.join(work, "qemu.log")
        port = os.path.join(work, "sercon-port")
        with open(port, "wb") as f:
            f.write(b"\xF8\x03")  # SeaBIOS mirrors its text to COM1
        with open(self.log, "wb") as log:
            self.proc = process_group.start(
                ["qemu-system-i386", "-accel", "tcg", "-display", "none", "-no-reboot", "-nic", "none",
                 "-monitor", "none", "-serial", "stdio",
                 "-fw_cfg", "name=etc/sercon-port,file=" + port,
                 "-drive", "file=%s,format=raw,snapshot=on" % img,
                 "-device", "isa-debug-exit,iobase=0xf4,iosize=0x04",
                 "-qmp", "unix:%s,server=on,wait=off" % self.qmp_path],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=log)
        self.out = b""
        self.start = time.monotonic()
        self.deadline = self.start + QEMU_SECONDS

    def left(self, seconds):
        return min(seconds, self.deadline - time.monotonic())

    def text(self):
        # Drop the terminal control sequences SeaBIOS sends.
        return re.sub(rb"\x1b(\[[0-9;?]*[A-Za-z]|c)", b"", self.out)

    def expect(self, needle, after=0, seconds=20):
        """Waits until needle shows up in the serial text after offset."""
        deadline = time.monotonic() + self.left(seconds)
        while True:
            pos = self.text().find(needle, after)
            if pos >= 0:
                return pos + len(needle)
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.proc.stdout], [], [], left)[0]:
                fail("no %r on serial; got %r" % (needle, self.text()))
            chunk = os.read(self.proc.stdout.fileno(), 4096)
            if not chunk:
                with open(self.log, errors="replace") as log:
                    fail("QEMU ended (%s) before %r; got %r\n%s"
                         % (self.proc.wait(), needle, self.text(), log.read()))
            self.out += chunk

    def quiet(self, seconds, after):
        """Fails if the BIOS starts booting again within seconds."""
        deadline = time.monotonic() + self.left(seconds)
        while (left := deadline - time.monotonic()) > 0:
            if select.select([self.proc.stdout], [], [], left)[0]:
                self.out += os.read(self.proc.stdout.fileno(), 4096)
            if BANNER in self.text()[after:]:
                fail("restarted without a key press: %r" % self.text())

    def key(self):
        self.proc.stdin.write(b"\r")
        self.proc.stdin.flush()

    def screen(self, work):
        dump = os.path.join(work, "vga.bin")
        qmp = socket.socket(socket.AF_UNIX)
        qmp.settimeout(max(self.left(QEMU_SECONDS), 0.1))
        qmp.connect(self.qmp_path)
        stream = qmp.makefile("rw")
        stream.readline()
        for cmd in ({"execute": "qmp_capabilities"},
                    {"execute": "pmemsave", "arguments":
                     {"val": 0xB8000, "size": 4000, "filename": dump}}):
            stream.write(json.dumps(cmd) + "\n")
            stream.flush()
            while "return" not in (reply := json.loads(stream.readline())):
                if "error" in reply:
                    fail("QMP: %s" % reply)
        qmp.close()
        with open(dump, "rb") as f:
            return f.read()[0::2]

    def finish(self):
        """Exit status; isa-debug-exit gives 2 * value + 1."""
        try:
            rest, _ = self.proc.communicate(timeout=max(self.left(QEMU_SECONDS), 0))
        except subprocess.TimeoutExpired:
            process_group.stop(self.proc)
            rest, _ = self.proc.communicate()
        self.out += rest
        return self.proc.returncode

    def stop(self):
        process_group.stop(self.proc)
        print("QEMU ran %.2f s" % (time.monotonic() - self.start))


# ---------------------------------------------------------------- cases

def expect_loader(img, work):
    vm = Qemu(img, work)
    try:
        vm.expect(LOADER_OK)
        status = vm.finish()
        if status != 33:
            fail("loader exit status %s; serial %r" % (status, vm.text()))
    finally:
        vm.stop()


def expect_message(img, work, message, restart=False):
    vm = Qemu(img, work)
    try:
        end = vm.expect(message)
        vm.expect(MSG_PRESS, end)
        wrong = MSG_DISK if message == MSG_REMOVE else MSG_REMOVE
        if wrong in vm.text():
            fail("unexpected %r" % wrong)
        screen = vm.screen(work)
        for needle in (message, MSG_PRESS):
            if needle not in screen:
                fail("%r not on screen: %r" % (needle, screen.rstrip(b"\0 ")))
        if restart:
            vm.quiet(0.5, end)
            vm.key()
            again = vm.expect(BANNER, end)
            vm.expect(message, again)
    finally:
        vm.stop()


def chs_only(img):
    with open(img, "rb") as f:
        at = f.read(SECTOR).find(EXT_CHECK)
    if at < 0:
        fail("extension check not found in boot code")
    patch(img, at + 1, b"\0")  # AH=00h: reset, BX stays 55AAh -> no extensions


def case_missing_loader(a, work):
    img = card_image(a, work)
    expect_message(img, work, MSG_REMOVE, restart=True)


def case_loader_ext(a, work):
    img = card_image(a, work)
    add_loader(img, a.loader_bin, work, 1)
    expect_loader(img, work)


def case_loader_chs(a, work):
    img = card_image(a, work)
    add_loader(img, a.loader_bin, work, 1)
    chs_only(img)
    expect_loader(img, work)


def case_chs_uses_bpb_geometry(a, work):
    img = card_image(a, work)
    add_loader(img, a.loader_bin, work, 1)
    chs_only(img)
    patch(img, 24, struct.pack("<H", 62))  # sectors per track
    expect_message(img, work, MSG_REMOVE)


def case_small_clusters(a, work):
    # One sector per cluster: the chain runs over several FAT sectors.
    img = os.path.join(work, "small.img")
    build_volume(img, a.template, 20_000, 1)
    add_loader(img, a.loader_bin, work, 300)
    expect_loader(img, work)


def case_root_past_disk_end(a, work):
    img = card_image(a, work)
    root = read_bpb(img)[3]
    cut = img + ".cut"
    with open(img, "rb") as src, open(cut, "wb") as dst:
        dst.write(src.read(root * SECTOR))
    expect_message(cut, work, MSG_DISK)


def case_root_past_lba_range(a, work):
    img = card_image(a, work)
    patch(img, 28, struct.pack("<I", 0xF0000000))  # hidden sectors
    expect_message(img, work, MSG_DISK)


CASES = {
    "missing_loader": case_missing_loader,
    "loader_ext": case_loader_ext,
    "loader_chs": case_loader_chs,
    "chs_uses_bpb_geometry": case_chs_uses_bpb_geometry,
    "small_clusters": case_small_clusters,
    "root_past_disk_end": case_root_past_disk_end,
    "root_past_lba_range": case_root_past_lba_range,
}


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--boot-bin", required=True)
    p.add_argument("--loader-bin", required=True)
    p.add_argument("--cli")
    p.add_argument("case", choices=sorted(CASES))
    a = p.parse_args()
    process_group.stop_on_signals(TEST_SECONDS)
    with open(a.boot_bin, "rb") as f:
        a.template = f.read()
    if len(a.template) != 450:
        fail("boot code template is %d bytes" % len(a.template))
    with tempfile.TemporaryDirectory(prefix="brisant-boot-") as work:
        CASES[a.case](a, work)
    print("PASS", a.case)


if __name__ == "__main__":
    main()
