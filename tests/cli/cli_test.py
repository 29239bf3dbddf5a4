#!/usr/bin/env python3
"""brisant-cli end to end on card images, with fsck.fat and mtools as judges.

usage: cli_test.py BRISANT_CLI MAKE_CARD_SH
"""
import concurrent.futures
import fcntl
import hashlib
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import unittest

CLI = MAKE_CARD = SOURCE = None
BASH_COMPLETION = "/usr/share/bash-completion/bash_completion"

CHANGED = "The drive's capacity have change to 2G bytes."
REPLUG = "Please re-plugin this card again"
FAIL = "Change the drive's capacity fail"
NOT_NEEDED = "The capacity do not need to fix."


def drop_root():
    """Run as nobody: root opens any file, whatever its mode."""
    if os.geteuid() == 0:
        os.setgroups([])
        os.setgid(65534)
        os.setuid(65534)


def run(*args, stdin=subprocess.DEVNULL):
    return subprocess.run([CLI, *args], stdin=stdin, capture_output=True, text=True, timeout=60)


class Card:
    def __init__(self, declared, sectors, kind="fat", like=None):
        fd, self.path = tempfile.mkstemp(prefix="brisant-cli-", suffix=".img")
        os.close(fd)
        if like is not None:
            subprocess.run(["cp", "--sparse=always", like.path, self.path], check=True)
        else:
            subprocess.run(["sh", MAKE_CARD, self.path, str(declared), str(sectors), kind], check=True)

    def read(self, lba, count=1):
        with open(self.path, "rb") as f:
            f.seek(lba * 512)
            return f.read(count * 512)

    def write(self, lba, data):
        with open(self.path, "r+b") as f:
            f.seek(lba * 512)
            f.write(data)

    def digest(self, sectors=600):
        return self.read(0, sectors)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        os.unlink(self.path)


def fsck_complaints(path):
    out = subprocess.run(["fsck.fat", "-n", path], capture_output=True, text=True).stdout
    lines = [l.strip() for l in out.splitlines()[1:] if l.strip()]
    # The label is eleven zero bytes on purpose; fsck names that and stops there.
    ignored = ("Label '' stored in boot sector is not valid.", "Auto-removing label from boot sector.",
               "Leaving filesystem unchanged.")
    return [l for l in lines if l not in ignored and not l.startswith(path + ":")]


class CapacityBounds(unittest.TestCase):
    def test_each_bound_end_to_end(self):
        rows = [  # declared, card sectors, then for an eligible card: cluster, table, volume sectors, clusters
            (1399999, 2799998, None), (1400000, 2800000, (64, 171, 2800000, 43744)),
            (2097151, 4194302, (64, 256, 4194145, 65524)), (2097152, 2097152, (32, 256, 2097152, 65518)),
            (4200000, 4200000, (64, 256, 4194145, 65524)), (4200001, 4200001, None),
        ]
        for declared, sectors, geometry in rows:
            eligible = geometry is not None
            with self.subTest(declared=declared), Card(declared, sectors) as card:
                card.write(600, b"\x5a" * 512)
                before = card.digest()
                r = run("--drive", "E=" + card.path, "repair", "E", "--yes", "--no-pause")
                if not eligible:
                    self.assertEqual(r.returncode, 3, r.stdout + r.stderr)
                    self.assertIn(NOT_NEEDED, r.stdout)
                    self.assertEqual(card.digest(), before)
                    continue
                self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                lines = r.stdout.splitlines()
                self.assertEqual(lines[-2:], [CHANGED, REPLUG])
                spc, fat, total, clusters = geometry
                boot = card.read(0)
                self.assertEqual(boot[13], spc)
                self.assertEqual(struct.unpack_from("<H", boot, 22)[0], fat)
                self.assertEqual(struct.unpack_from("<I", boot, 32)[0], total)
                self.assertEqual(fsck_complaints(card.path), [])
                self.assertEqual(card.read(600), b"\x5a" * 512, "data area touched")
                layout = card.read(0, 34 + 2 * fat)
                self.check_with_mtools(card.path, clusters * spc * 512)

                # A second repair, over a file written since, keeps the size
                # and writes the same layout again.
                r = run("--drive", "E=" + card.path, "repair", "E", "--yes", "--no-pause")
                self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                self.assertIn(f"E:\\  {total >> 11} MB", r.stdout)
                self.assertEqual(card.read(0, 34 + 2 * fat), layout)

    def check_with_mtools(self, image, free_bytes):
        env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
        listing = subprocess.run(["mdir", "-i", image, "::"], capture_output=True, text=True, env=env)
        self.assertEqual(listing.returncode, 0, listing.stderr)
        self.assertIn("No files", listing.stdout)
        free = int(re.search(r"([\d ]+) bytes free", listing.stdout).group(1).replace(" ", ""))
        self.assertEqual(free, free_bytes)
        with tempfile.TemporaryDirectory() as tmp:
            src = os.path.join(tmp, "in.bin")
            with open(src, "wb") as f:
                f.write(os.urandom(300000))
            subprocess.run(["mcopy", "-i", image, src, "::PAYLOAD.BIN"], check=True, env=env)
            subprocess.run(["mcopy", "-i", image, "::PAYLOAD.BIN", os.path.join(tmp, "out.bin")],
                           check=True, env=env)
            with open(src, "rb") as a, open(os.path.join(tmp, "out.bin"), "rb") as b:
                self.assertEqual(a.read(), b.read())
        self.assertEqual(fsck_complaints(image), [])


class Layouts(unittest.TestCase):
    def test_range_of_capacities_passes_fsck(self):
        # Includes the declared sizes whose doubled volume would be too many
        # clusters for FAT16 without the cut.
        for declared in (1500000, 1984000, 2097073, 2097100, 2500000, 3500000):
            with self.subTest(declared=declared), Card(declared, 2 * declared) as card:
                r = run("repair", card.path, "--yes", "--no-pause")
                self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                self.assertEqual(fsck_complaints(card.path), [])

    def test_master_boot_record_card(self):
        with Card(1984000, 3968000, "mbr") as card:
            self.assertIn("1984000 sectors (968 MB)", run("probe", card.path).stdout)
            self.assertEqual(run("repair", card.path, "--yes", "--no-pause").returncode, 0)
            boot = card.read(0)
            self.assertEqual(boot[0], 0xEB)
            self.assertEqual(struct.unpack_from("<I", boot, 32)[0], 3968000)
            self.assertEqual(fsck_complaints(card.path), [])


class Refusals(unittest.TestCase):
    def test_card_too_small_for_its_doubled_size(self):
        with Card(1984000, 1984000) as card:
            before = card.digest()
            r = run("repair", card.path, "--yes", "--no-pause")
            self.assertEqual(r.returncode, 1)
            self.assertIn(FAIL, r.stdout)
            self.assertIn("cannot read sector 3967999", r.stderr)
            self.assertNotIn(CHANGED, r.stdout)
            self.assertEqual(card.digest(), before)

    def test_write_protected_image(self):
        # The kernel refuses nobody; root it lets write any file, so for root
        # the program itself must heed the mode.
        rows = [(args, out, user) for args, out in ((["repair", "--no-pause"], FAIL),
                                                    (["selftest"], "still hold their old bytes"))
                for user in (["nobody", "root"] if os.geteuid() == 0 else ["this user"])]
        for args, out, user in rows:
            with self.subTest(args[0], user=user), Card(1984000, 3968000) as card:
                os.chmod(card.path, 0o444)
                before = card.digest() + card.read(1983872, 128)
                r = subprocess.run([CLI, args[0], card.path, "--yes", *args[1:]], stdin=subprocess.DEVNULL,
                                   capture_output=True, text=True, timeout=60,
                                   preexec_fn=drop_root if user == "nobody" else None)
                self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
                self.assertIn(out, r.stdout)
                self.assertNotIn(CHANGED, r.stdout)
                self.assertIn("write protected", r.stderr)
                self.assertEqual(card.digest() + card.read(1983872, 128), before)

    def test_list_says_when_nothing_could_be_opened(self):
        with Card(1984000, 3968000) as card:
            os.chmod(card.path, 0o600)
            r = subprocess.run([CLI, "--drive", "E=" + card.path, "list"], stdin=subprocess.DEVNULL,
                               capture_output=True, text=True, timeout=60,
                               preexec_fn=drop_root)
            if os.geteuid() != 0 and os.access(card.path, os.R_OK):
                self.skipTest("the image stays readable to this user")
            self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
            self.assertEqual(r.stdout, "")
            self.assertIn("permission denied; run as root", r.stderr)

    def test_only_an_explicit_yes_confirms(self):
        rows = [  # target, answer, exit status
            ("path", "", 4), ("path", "n\n", 4), ("path", "maybe\n", 4), ("path", "yo\n", 4),
            ("path", "yess\n", 4), ("path", " y\n", 4), ("path", "y\0\n", 4), ("path", "yes please\n", 4),
            ("path", "y\n", 0), ("path", "Y\n", 0), ("path", "yes\n", 0), ("path", "YES\n", 0),
            ("path", "y\r\n", 0), ("path", "yes\r\n", 0), ("letter e", "y\n", 0),
        ]
        for target, answer, status in rows:
            with self.subTest(target=target, answer=answer), Card(1984000, 3968000) as card:
                before = card.digest()
                args = ["--drive", "E=" + card.path, "repair", "e"] if target == "letter e" else ["repair", card.path]
                r = subprocess.run([CLI, *args, "--no-pause"], input=answer, capture_output=True, text=True,
                                   timeout=60)
                self.assertEqual(r.returncode, status, r.stdout + r.stderr)
                if status == 0:
                    self.assertEqual(r.stdout.splitlines()[-2:], [CHANGED, REPLUG])
                    self.assertEqual(struct.unpack_from("<I", card.read(0), 32)[0], 3968000)
                else:
                    self.assertNotIn(CHANGED, r.stdout)
                    self.assertEqual(card.digest(), before)


class ExitCodes(unittest.TestCase):
    # One row a command and outcome: what the exit status table promises.
    # {card} repairs, {small} is too small for its doubled size, {low} is not
    # eligible, {empty} has no sector 0, {missing} does not exist, {dir} is a
    # folder, {loop} a loop device over a card (as root only), {ro} a card
    # image that no one may write (refused also for root, before the
    # question: an empty stdin would decline it), {zeros} and {random} cards
    # whose sector 0 is no FAT boot sector.
    ROWS = [  # args, stdin, exit status, on stdout (a text, or the exact lines), stderr reason
        (["--drive", "E={card}", "list"], "", 0, "eligible", None),
        (["--drive", "E={low}", "list"], "", 3, "not eligible", None),
        (["--drive", "E={small}", "list"], "", 1, "refused", "E: {small}: cannot read sector 3967999"),
        (["--drive", "E={missing}", "list"], "", 1, None, "E: {missing}: No such file or directory"),
        (["--drive", "E={dir}", "list"], "", 1, None, "E: {dir}: is a directory"),
        (["--drive", "E={empty}", "list"], "", 1, None, "reading sector 0 failed"),
        (["--drive", "E={missing}", "list"], "", 1, None, "no card found"),
        (["--drive", "D={loop}", "list"], "", 1, None, "D: {loop}: not removable"),
        (["--drive", "E={card}", "--drive", "e={low}", "list"], "", 2, None, "--drive E= is given twice"),
        (["--drive", "B=/dev/null", "list"], "", 2, None, "D to Z"),
        (["list", "E"], "", 2, None, "list takes no TARGET"),
        (["--drive", "E={ro}", "list"], "", 1, "refused", "E: {ro}: the card is write protected: the image's mode"),
        (["--drive", "E={zeros}", "list"], "", 3, "not eligible", "E: {zeros}: sector 0 holds no FAT boot sector"),
        (["probe", "{ro}"], "", 1, "refused: the card is write protected", "{ro}: the card is write protected"),
        (["plan", "{ro}"], "", 1, None, "{ro}: the card is write protected"),
        (["repair", "{ro}", "--no-pause"], "", 1, [FAIL], "{ro}: the card is write protected"),
        (["probe", "{zeros}"], "", 3, NOT_NEEDED, "{zeros}: sector 0 holds no FAT boot sector"),
        (["plan", "{random}"], "", 3, "not eligible", "{random}: sector 0 holds no FAT boot sector"),
        (["repair", "{random}", "--yes", "--no-pause"], "", 3, NOT_NEEDED, "sector 0 holds no FAT boot sector"),
        (["probe", "{card}"], "", 0, "repair: asks", None),
        (["probe", "{low}"], "", 3, NOT_NEEDED, None),
        (["probe", "{small}"], "", 1, None, "{small}: cannot read sector 3967999, the last of the new volume: "
                                            "the medium holds only 1984000 sectors (968 MB)"),
        (["probe", "{missing}"], "", 1, None, "{missing}: No such file or directory"),
        (["--drive", "E={missing}", "probe", "E"], "", 1, None, "(" + "{missing}): No such file or directory"),
        (["probe", "{dir}"], "", 1, None, "is a directory"),
        (["probe", "{empty}"], "", 1, None, "reading sector 0 failed"),
        (["probe", "{loop}"], "", 1, None, "{loop}: not removable"),
        (["probe", "C"], "", 2, None, "D to Z"),
        (["plan", "{card}"], "", 0, "EJECT MEDIUM", None),
        (["plan", "{low}"], "", 3, "not eligible", None),
        (["plan", "{small}"], "", 1, None, "the medium holds only 1984000 sectors"),
        (["plan", "{empty}"], "", 1, None, "reading sector 0 failed"),
        (["plan", "{loop}"], "", 1, None, "not removable"),
        (["plan"], "", 2, None, "plan takes one TARGET"),
        (["repair", "{card}", "--yes", "--no-pause"], "", 0, CHANGED, None),
        (["repair", "{card}", "-q", "--yes", "--no-pause", "--undo-file", "{undo}"], "", 0,
         ["undo file: {undo}", CHANGED], None),
        (["repair", "{card}", "--no-pause"], "n\n", 4, None, "declined: nothing was written"),
        (["repair", "{card}", "-q", "--no-pause", "--undo-file", "{undo}"], "n\n", 4, ["undo file: {undo}"],
         "declined: nothing was written"),
        (["repair", "{low}", "--yes", "--no-pause"], "", 3, NOT_NEEDED, None),
        (["repair", "{small}", "--yes", "--no-pause"], "", 1, FAIL, "cannot read sector 3967999"),
        (["repair", "{small}", "-q", "--yes"], "", 1, [FAIL], "the medium holds only"),
        (["repair", "{missing}", "--yes"], "", 1, None, "No such file"),
        (["repair", "{dir}", "--yes"], "", 1, None, "is a directory"),
        (["repair", "{empty}", "--yes"], "", 1, None, "reading sector 0 failed"),
        (["repair", "{loop}", "--yes"], "", 1, FAIL, "not removable"),
        (["repair", "{card}", "--verify", "--yes", "--no-pause"], "", 0, CHANGED, None),
        (["repair", "{card}", "--verify", "-q", "--yes", "--no-pause"], "", 0, [CHANGED], None),
        (["repair", "{small}", "--verify", "--yes"], "", 1, FAIL, "cannot read sector 3967999"),
        (["repair", "{card}", "--verify", "--no-pause"], "n\n", 4, None, "declined: nothing was written"),
        (["probe", "{card}", "--verify"], "", 2, None, "--verify is for repair"),
        (["selftest", "{card}", "--verify", "--yes"], "", 2, None, "--verify is for repair"),
        (["repair", "{card}", "--json"], "", 2, None, "--json is for list, probe and plan"),
        (["repair"], "", 2, None, "one TARGET"),
        (["selftest", "{card}", "--yes"], "", 0, "selftest passed", None),
        (["selftest", "{card}"], "n\n", 4, None, "declined: nothing was written"),
        (["selftest", "{empty}"], "", 1, None, "reading sector 0 failed"),
        (["undo", "{card}"], "", 2, None, "undo takes a FILE and a TARGET"),
        (["undo", "--list", "{card}"], "", 2, None, "undo --list takes no FILE or TARGET"),
        (["undo", "--list", "--undo-file", "{missing}"], "", 2, None, "--undo-file is for repair"),
        (["repair", "{card}", "--force"], "", 2, None, "--force is for undo"),
        (["repair", "{card}", "--verify", "--undo-file", "{missing}"], "", 2, None, "no undo file to write"),
        (["probe", "{card}", "--undo-file", "{missing}"], "", 2, None, "--undo-file is for repair"),
        (["undo", "{missing}", "{card}", "--yes"], "", 1, None, "cannot open {missing}"),
        (["undo", "{empty}", "{card}", "--yes"], "", 1, None, "the file is damaged"),
        (["undo", "{dir}", "{card}", "--yes"], "", 1, None, "is not a file"),
        (["frobnicate"], "", 2, None, "unknown command"),
        (["list", "--bogus"], "", 2, None, "unknown option"),
        (["list", "--yes"], "", 2, None, "--yes"),
        (["list", "-q"], "", 2, None, "--quiet"),
        (["--", "--yes"], "", 2, None, "unknown command --yes"),
    ]

    def cards(self, tmp, loop):
        paths = {"missing": os.path.join(tmp, "missing.img"), "dir": tmp, "empty": os.path.join(tmp, "empty.img"),
                 "undo": os.path.join(tmp, "card.brisant-undo")}
        open(paths["empty"], "wb").close()
        for name, declared, sectors in (("card", 1984000, 3968000), ("small", 1984000, 1984000),
                                        ("low", 1399999, 2800000), ("ro", 1984000, 3968000)):
            paths[name] = os.path.join(tmp, name + ".img")
            subprocess.run(["sh", MAKE_CARD, paths[name], str(declared), str(sectors)], check=True)
        os.chmod(paths["ro"], 0o444)
        for name, sector0 in (("zeros", bytes(512)), ("random", os.urandom(510) + b"\0\0")):
            paths[name] = os.path.join(tmp, name + ".img")
            with open(paths[name], "wb") as f:
                f.write(sector0)
                f.truncate(3968000 * 512)
        if loop:
            paths["loop"] = subprocess.run(["losetup", "-f", "--show", paths["low"]], capture_output=True,
                                           text=True, check=True).stdout.strip()
        return paths

    def test_exit_status_and_reason(self):
        can_loop = os.geteuid() == 0 and shutil.which("losetup") is not None
        for args, answer, code, out, err in self.ROWS:
            loop = any("{loop}" in a for a in args)
            if loop and not can_loop:
                continue
            # list, probe and plan say the same once more as one JSON object.
            json_too = "--" not in args and any(a in ("list", "probe", "plan") for a in args)
            for as_json in (False, True) if json_too else ("--json" in args,):
                with self.subTest(args=args, json=as_json), tempfile.TemporaryDirectory() as tmp:
                    paths = self.cards(tmp, loop)
                    try:
                        argv = [a.format(**paths) for a in args] + (["--json"] if as_json and json_too else [])
                        r = subprocess.run([CLI, *argv], input=answer, capture_output=True, text=True, timeout=60)
                    finally:
                        if loop:
                            subprocess.run(["losetup", "-d", paths["loop"]], check=True)
                    self.assertEqual(r.returncode, code, r.stdout + r.stderr)
                    reason = err.format(**paths) if err else None
                    if reason:
                        lines = [l for l in r.stderr.splitlines() if reason in l]
                        self.assertTrue(lines, r.stderr)
                        self.assertTrue(lines[0].startswith("brisant-cli: "), r.stderr)
                    if code == 2:
                        self.assertEqual(len(r.stderr.strip().splitlines()), 1, r.stderr)
                    if code == 0:
                        self.assertEqual(r.stderr, "")
                    if as_json:
                        self.assertEqual(json.loads(r.stdout)["exit"], code)
                        if reason:
                            self.assertIn(reason.split(": ")[-1], r.stdout)
                    elif isinstance(out, list):
                        self.assertEqual(r.stdout.splitlines(), [l.format(**paths) for l in out])
                    elif out:
                        self.assertIn(out, r.stdout)

    def test_json_of_an_odd_path(self):
        with tempfile.TemporaryDirectory() as tmp:
            odd = os.path.join(os.fsencode(tmp), b"card-\xff\xfe.img")
            # A path that is not UTF-8 still gives JSON that parses.
            with Card(1984000, 3968000) as card:
                os.link(card.path, odd)
                for command in ("probe", "plan"):
                    r = subprocess.run([CLI, command, odd, "--json"], capture_output=True, timeout=60)
                    self.assertEqual(r.returncode, 0, r.stderr)
                    self.assertTrue(json.loads(r.stdout)["maps_to"].endswith("card-\u00ff\u00fe.img"))

    def test_image_in_use_by_another_program(self):
        def flocked(card):
            held = open(card.path, "rb")
            fcntl.flock(held, fcntl.LOCK_EX)
            return held.close

        def loop_attached(card):
            loop = subprocess.run(["losetup", "-f", "--show", card.path], capture_output=True, text=True)
            if loop.returncode != 0:
                self.skipTest("cannot attach a loop device here: " + loop.stderr.strip())
            return lambda: subprocess.run(["losetup", "-d", loop.stdout.strip()], check=True)

        def repairing(card):
            other = subprocess.Popen([CLI, "repair", card.path, "--yes"], stdout=subprocess.PIPE, text=True)
            other.stdout.readline()  # it has probed the card and holds it
            # Its lock is exclusive: a reader's shared lock, asked for now, is refused.
            shared = subprocess.run(["flock", "-n", "-s", card.path, "true"])
            self.assertEqual(shared.returncode, 1, "a shared lock was granted during a repair")
            def finish():
                out, _ = other.communicate(timeout=60)
                self.assertEqual(other.returncode, 0, out)
            return finish

        rows = [("flock", flocked, "locked by process"), ("another repair", repairing, "locked by process")]
        if os.geteuid() == 0 and shutil.which("losetup"):
            rows.append(("loop device", loop_attached, "attached to /dev/loop"))
        for what, hold, reason in rows:
            with self.subTest(what), Card(1984000, 3968000) as card:
                before = card.digest()
                release = hold(card)
                try:
                    r = run("repair", card.path, "--yes", "--no-pause")
                finally:
                    release()
                self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
                self.assertIn(FAIL, r.stdout)
                self.assertNotIn(CHANGED, r.stdout)
                self.assertIn("in use: " + reason, r.stderr)
                if what != "another repair":
                    self.assertEqual(card.digest(), before)
                self.assertEqual(fsck_complaints(card.path) if what == "another repair" else [], [])


class VanishingImage(unittest.TestCase):
    def test_image_cut_short_during_the_repair(self):
        for size in (0, 100 * 512):
            with self.subTest(size=size), Card(1984000, 3968000) as card:
                with subprocess.Popen([CLI, "repair", card.path, "--yes"], stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, text=True) as p:
                    for line in p.stdout:
                        if " 5/32" in line:
                            os.truncate(card.path, size)
                    err = p.stderr.read()
                    p.wait(timeout=60)
                self.assertEqual(p.returncode, 1, err)
                self.assertIn("beyond the end of the card", err)
                self.assertEqual(os.path.getsize(card.path), size, "the image grew again")


def undo_files():
    folder = os.path.join(os.environ["XDG_STATE_HOME"], "brisant")
    return sorted(os.listdir(folder)) if os.path.isdir(folder) else []


def repaired_with_undo(card):
    """Repairs the card and returns the path of the undo file it saved."""
    before = undo_files()
    r = run("repair", card.path, "--yes", "--no-pause")
    assert r.returncode == 0, r.stdout + r.stderr
    new = [f for f in undo_files() if f not in before]
    assert len(new) == 1 and "undo file: " + os.path.join(os.environ["XDG_STATE_HOME"], "brisant", new[0]) in r.stdout
    return os.path.join(os.environ["XDG_STATE_HOME"], "brisant", new[0])


def data_extents(path):
    """Where a sparse file holds data: (start, end) byte ranges."""
    extents = []
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        at = 0
        while at < size:
            try:
                start = os.lseek(f.fileno(), at, os.SEEK_DATA)
            except OSError:
                break
            end = os.lseek(f.fileno(), start, os.SEEK_HOLE)
            extents.append((start, end))
            at = end
    return size, extents


def same_image(a, b):
    """Byte for byte, reading only where either image holds data: holes read
    as zeros, and 2 GB of them are slow to compare."""
    (size_a, in_a), (size_b, in_b) = data_extents(a), data_extents(b)
    if size_a != size_b:
        return False
    with open(a, "rb") as fa, open(b, "rb") as fb:
        for start, end in in_a + in_b:
            for at in range(start, end, 1 << 20):
                n = min(1 << 20, end - at)
                if os.pread(fa.fileno(), n, at) != os.pread(fb.fileno(), n, at):
                    return False
    return True


def undo_marks(path):
    with open(path, "rb") as f:
        head = f.read(4096).split(b"\n\n")[0].decode()
    marks = re.search(r"^marks: (\S+) ", head, re.M).group(1)
    return [] if marks == "-" else [int(n) for n in marks.split(",")]


def rewrite_header(path, old, new):
    """The undo file with one header text replaced, whole by its check."""
    with open(path, "rb") as f:
        data = f.read()[:-32]
    assert old in data, old
    data = data.replace(old, new, 1)
    with open(path, "wb") as f:
        f.write(data + hashlib.sha256(data).digest())


def fat_card(*files):
    """A card whose declared 1,984,000 sectors hold a FAT16 volume with these
    files (name, size): the old tables then give clusters to files."""
    card = Card(1984000, 3968000)
    subprocess.run(["mkfs.fat", "-F", "16", "-s", "32", "-g", "255/64", card.path, "992000"],
                   capture_output=True, check=True)
    for name, size in files:
        with tempfile.NamedTemporaryFile() as data:
            data.write(os.urandom(size))
            data.flush()
            subprocess.run(["mcopy", "-i", card.path, data.name, "::" + name], check=True)
    return card


def root_names(card):
    r = subprocess.run(["mdir", "-b", "-i", card.path, "::"], capture_output=True, text=True)
    return sorted(os.path.basename(l.strip()) for l in r.stdout.splitlines() if l.strip())


class Undo(unittest.TestCase):
    def test_repair_then_undo_gives_the_card_back(self):
        with Card(1984000, 3968000) as card:
            card.write(600, os.urandom(512 * 64))
            original = Card(0, 0, like=card)
            undo = repaired_with_undo(card)
            self.assertEqual(os.stat(undo).st_mode & 0o777, 0o600)
            # Only an explicit yes gives the card back.
            for answer in ("", "n\n"):
                r = subprocess.run([CLI, "undo", undo, card.path], input=answer, capture_output=True, text=True,
                                   timeout=60)
                self.assertEqual(r.returncode, 4, r.stdout + r.stderr)
                self.assertEqual(root_names(card), [])
            listing = run("--drive", "E=" + card.path, "undo", "--list").stdout
            self.assertEqual(listing.splitlines()[0], undo, "the last repair's file comes first")
            self.assertIn("968 MB -> 1937 MB", listing)
            self.assertIn("card present: E:\\ (%s)" % card.path, listing)
            r = run("undo", undo, card.path, "--yes")
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
            self.assertIn("restored", r.stdout)
            self.assertTrue(same_image(card.path, original.path))
            # Once given back there is nothing left to do, and nothing is written.
            r = run("undo", undo, card.path, "--yes")
            self.assertEqual((r.returncode, "nothing to undo" in r.stdout), (0, True), r.stdout + r.stderr)
            self.assertTrue(same_image(card.path, original.path))
            original.__exit__()

    def test_refusals_leave_the_card_as_it_is(self):
        # Each row: what happens after the repair, and the card undo is run
        # on; None for the repaired card itself.
        def changed(card, undo, original):
            subprocess.run(["mcopy", "-i", card.path, __file__, "::NOTES.TXT"], check=True)

        def other_card(make):
            """Another card of the same size, repaired too."""
            def after(card, undo, original):
                other = make(original)
                repaired_with_undo(other)
                return other
            after.__name__ = "other card, " + make.__name__
            return after

        def blank_of_the_same_size(original=None):
            return Card(1984000, 3968000)

        def with_other_files(original=None):
            return fat_card(("OTHER.JPG", 300000))

        def with_files(original=None):
            return fat_card(("PHOTO.JPG", 200000), ("NOTES.TXT", 3000))

        def identical(original):
            return Card(0, 0, like=original)

        def damaged(card, undo, original):
            with open(undo, "r+b") as f:
                f.seek(2000)
                byte = f.read(1)
                f.seek(2000)
                f.write(bytes([byte[0] ^ 1]))

        def cut_short(card, undo, original):
            os.truncate(undo, os.path.getsize(undo) - 100)

        def forged(card, undo, original):
            # Whole by its check, but naming sectors no repair writes.
            rewrite_header(undo, b"range: 488 32 ", b"range: 600 32 ")

        def number_past_2_64(card, undo, original):
            rewrite_header(undo, b"declared: 1984000", b"declared: 99999999999999999999")

        def other_size(card, undo, original):
            subprocess.run(["sh", MAKE_CARD, card.path, "2000000", "4000000", "fat"], check=True)
            self.assertEqual(run("repair", card.path, "--yes", "--no-pause").returncode, 0)

        def formatted_again(card, undo, original):
            subprocess.run(["mkfs.fat", "-F", "16", card.path, "1984000"], capture_output=True, check=True)

        def old_files_overwritten(card, undo, original):
            card.write(undo_marks(undo)[0], os.urandom(512))

        other = "does not hold what this file's repair wrote"
        rows = [  # how the card was made, what happens after the repair, extra arguments, exit status, on stderr
            (blank_of_the_same_size, changed, [], 1, "written to since the repair (its root folder holds: NOTES.TXT)"),
            (blank_of_the_same_size, other_card(identical), [], 1, other),
            (blank_of_the_same_size, other_card(identical), ["--force"], 1, other),
            (with_files, other_card(with_other_files), [], 1, other),
            (with_files, other_card(with_other_files), ["--force"], 1, "--force does not change that"),
            (with_files, other_card(identical), [], 1, other),
            (with_files, other_card(identical), ["--force"], 1, other),
            (blank_of_the_same_size, other_size, ["--force"], 1, other),
            (with_files, formatted_again, [], 1, "written to since the repair (it was formatted again)"),
            (with_files, old_files_overwritten, [], 1, "sectors of the files it held before hold other bytes"),
            (blank_of_the_same_size, damaged, [], 1, "damaged"),
            (blank_of_the_same_size, cut_short, [], 1, "damaged"),
            (blank_of_the_same_size, number_past_2_64, ["--force"], 1, "damaged"),
            (blank_of_the_same_size, forged, ["--force"], 1, "does not describe a repair"),
        ]
        for make, after, extra, status, words in rows:
            with self.subTest(make.__name__, after=after.__name__, extra=extra), make() as card:
                original = Card(0, 0, like=card)
                undo = repaired_with_undo(card)
                target = after(card, undo, original) or card
                before = Card(0, 0, like=target)
                r = run("undo", undo, target.path, "--yes", *extra)
                self.assertEqual(r.returncode, status, r.stdout + r.stderr)
                self.assertIn(words, r.stderr)
                self.assertTrue(same_image(target.path, before.path))
                for left in {before, original, target} - {card}:
                    left.__exit__()

    def test_a_card_repaired_again_is_undone_by_its_last_file_only(self):
        with fat_card(("PHOTO.JPG", 200000)) as card:
            first = repaired_with_undo(card)
            self.assertEqual(run("undo", first, card.path, "--yes").returncode, 0)
            subprocess.run(["mcopy", "-i", card.path, __file__, "::NEW.TXT"], check=True)
            with_new = Card(0, 0, like=card)
            second = repaired_with_undo(card)
            r = run("undo", first, card.path, "--yes", "--force")
            self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
            self.assertIn("repaired again since (%s undoes that repair)" % second, r.stderr)
            listing = run("--drive", "E=" + card.path, "undo", "--list").stdout.splitlines()
            self.assertEqual(listing[listing.index(first) + 2].strip(), "card not present")
            self.assertTrue(listing[listing.index(second) + 2].strip().startswith("card present: E:"))
            r = run("undo", second, card.path, "--yes")
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
            self.assertTrue(same_image(card.path, with_new.path))
            self.assertEqual(root_names(card), ["NEW.TXT", "PHOTO.JPG"])
            with_new.__exit__()

    def test_force_puts_back_the_tables_of_a_changed_card(self):
        with Card(1984000, 3968000) as card:
            original = Card(0, 0, like=card)
            undo = repaired_with_undo(card)
            subprocess.run(["mcopy", "-i", card.path, __file__, "::NOTES.TXT"], check=True)
            r = run("undo", undo, card.path, "--yes", "--force")
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
            self.assertIn("overwrites the tables of: NOTES.TXT", r.stdout)
            self.assertEqual(card.digest(520), original.digest(520))
            original.__exit__()

    def test_a_repair_that_cannot_save_its_undo_file_writes_nothing(self):
        with Card(1984000, 3968000) as card, tempfile.NamedTemporaryFile() as plain:
            before = card.digest()
            existing = repaired_with_undo(Card(0, 0, like=card))
            # A file that cannot be flushed is never named, and the card is not written.
            unflushed = ["strace", "-qq", "-o", "/dev/null", "-e", "trace=fsync", "-e", "inject=fsync:error=EIO"]
            rows = [  # environment, arguments, words on stderr, run under
                ({"XDG_STATE_HOME": plain.name}, [], "cannot save the undo file", []),
                ({}, ["--undo-file", os.path.join(plain.name, "x.brisant-undo")], "cannot save the undo file", []),
                ({}, ["--undo-file", existing], "exists already", []),
                ({"XDG_STATE_HOME": "", "HOME": ""}, [], "no folder for the undo file", []),
                ({}, [], "Input/output error", unflushed),
            ]
            for env, args, words, under in rows:
                with self.subTest(env=env, args=args, under=under):
                    files = undo_files()
                    r = subprocess.run([*under, CLI, "repair", card.path, "--yes", "--no-pause", *args],
                                       capture_output=True, text=True, timeout=60,
                                       env=dict(os.environ, **env, **(UNTRACED_LEAKS if under else {})),
                                       stdin=subprocess.DEVNULL)
                    self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
                    self.assertIn(FAIL, r.stdout)
                    self.assertIn(words, r.stderr)
                    self.assertEqual(card.digest(), before)
                    self.assertEqual(undo_files(), files)
            # A folder without links (FAT, exFAT: a USB stick) gets the file
            # under its own name; a folder the program makes is the user's alone.
            with tempfile.TemporaryDirectory() as home:
                undo = os.path.join(home, "stick", "card.brisant-undo")
                os.mkdir(os.path.dirname(undo))
                r = subprocess.run(["strace", "-qq", "-o", "/dev/null", "-e", "trace=link,linkat", "-e",
                                    "inject=link,linkat:error=EPERM", CLI, "repair", card.path, "--yes", "--no-pause",
                                    "--undo-file", undo], capture_output=True, text=True, timeout=60,
                                   env=UNTRACED_LEAKS, stdin=subprocess.DEVNULL)
                self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                self.assertEqual(os.listdir(os.path.dirname(undo)), ["card.brisant-undo"])
                r = subprocess.run([CLI, "repair", card.path, "--yes", "--no-pause"], capture_output=True, text=True,
                                   timeout=60, env=dict(os.environ, XDG_STATE_HOME=os.path.join(home, "state")))
                self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                self.assertEqual(os.stat(os.path.join(home, "state")).st_mode & 0o777, 0o700)
                self.assertEqual(os.stat(os.path.join(home, "state", "brisant")).st_mode & 0o777, 0o700)
                self.assertEqual(run("undo", undo, card.path, "--yes").returncode, 1)

    def test_interrupted_undo_ends_restored_or_goes_on(self):
        # Old bytes that differ from the new ones in every command's sectors,
        # as on a card whose files fill more than half a table: a range cut
        # at a command boundary is then partly old and partly new.
        with Card(1984000, 3968000) as base:
            base.write(2, os.urandom(512 * 518))
            original = Card(0, 0, like=base)
            undo = repaired_with_undo(base)
            rows = [(sig, n) for n in range(1, 8) for sig in (signal.SIGINT, signal.SIGKILL)]
            for sig, n in rows:
                with self.subTest(signal=sig.name, write=n):
                    card = Card(0, 0, like=base)
                    r = subprocess.run(["strace", "-qq", "-o", "/dev/null", "-e", "trace=pwrite64", "-e",
                                        f"inject=pwrite64:signal={sig.name}:when={n}", CLI, "undo", undo, card.path,
                                        "--yes"], capture_output=True, text=True, timeout=60, env=UNTRACED_LEAKS)
                    self.assertEqual(r.returncode, -sig, r.stdout + r.stderr)
                    if sig == signal.SIGKILL:
                        again = run("undo", undo, card.path, "--yes")
                        self.assertEqual(again.returncode, 0, again.stdout + again.stderr)
                        self.assertIn("cut short" if n > 1 else "", again.stdout)
                    self.assertTrue(same_image(card.path, original.path))
                    card.__exit__()
            # A write that fails while an interruption waits: the failure and
            # the card's state are said before the program ends by the signal.
            card = Card(0, 0, like=base)
            r = subprocess.run(["strace", "-qq", "-o", "/dev/null", "-e", "trace=pwrite64", "-e",
                                "inject=pwrite64:error=EIO:signal=SIGINT:when=3", CLI, "undo", undo, card.path,
                                "--yes"], capture_output=True, text=True, timeout=60, env=UNTRACED_LEAKS)
            self.assertEqual(r.returncode, -signal.SIGINT, r.stdout + r.stderr)
            self.assertIn("failed", r.stderr)
            self.assertIn("may be partly given back; the undo file is kept", r.stderr)
            self.assertEqual(run("undo", undo, card.path, "--yes").returncode, 0)
            self.assertTrue(same_image(card.path, original.path))
            card.__exit__()
            original.__exit__()

    def test_a_repair_killed_in_its_layout_is_undone_without_force(self):
        with Card(1984000, 3968000) as base:
            base.write(2, os.urandom(512 * 518))
            original = Card(0, 0, like=base)
            # The repair's writes, counted: the token is its last write of sector 3967999.
            trace = os.path.join(os.environ["XDG_STATE_HOME"], "repair.trace")
            probe = Card(0, 0, like=base)
            subprocess.run(["strace", "-qq", "-o", trace, "-e", "trace=pwrite64", CLI, "repair", probe.path, "--yes",
                            "--no-pause", "--undo-file", trace + ".undo"], check=True, capture_output=True,
                           env=UNTRACED_LEAKS)
            with open(trace) as f:
                offsets = [int(l.rsplit(",", 1)[1].split(")")[0]) for l in f if l.startswith("pwrite64(")]
            os.unlink(trace)
            os.unlink(trace + ".undo")
            probe.__exit__()
            token = max(i for i, at in enumerate(offsets) if at == 3967999 * 512) + 1
            # Killed before the token, before the boot sector, in table 1, in table 2, before the root.
            for n in (token, token + 1, token + 3, token + 5, token + 6):
                with self.subTest(write=n - token):
                    card = Card(0, 0, like=base)
                    undo = os.path.join(os.environ["XDG_STATE_HOME"], "killed.brisant-undo")
                    r = subprocess.run(["strace", "-qq", "-o", "/dev/null", "-e", "trace=pwrite64", "-e",
                                        f"inject=pwrite64:signal=SIGKILL:when={n}", CLI, "repair", card.path, "--yes",
                                        "--no-pause", "--undo-file", undo], capture_output=True, text=True,
                                       timeout=60, env=UNTRACED_LEAKS)
                    self.assertEqual(r.returncode, -signal.SIGKILL, r.stdout + r.stderr)
                    again = run("undo", undo, card.path, "--yes")
                    self.assertEqual(again.returncode, 0, again.stdout + again.stderr)
                    self.assertIn("nothing to undo" if n == token else "cut short", again.stdout)
                    self.assertTrue(same_image(card.path, original.path))
                    os.unlink(undo)
                    card.__exit__()
            original.__exit__()


# A repair under strace that ends normally (a signal it ignores) must not
# have LeakSanitizer check it at exit: that cannot work under ptrace.
UNTRACED_LEAKS = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")


def signal_at_write(card, sig, write, nohup=False):
    """Runs a repair that gets `sig` as it enters its `write`-th write; with
    `nohup`, one started with SIGHUP ignored."""
    return subprocess.run(["strace", "-qq", "-o", "/dev/null", "-e", "trace=pwrite64", "-e",
                           f"inject=pwrite64:signal={sig.name}:when={write}",
                           *(["nohup"] if nohup else []), CLI, "repair", card.path, "--yes", "--no-pause"],
                          capture_output=True, text=True, timeout=60, env=UNTRACED_LEAKS)


def signal_at_pause(card, sig, position, nohup=False):
    """Runs a repair, with its pauses, that gets `sig` once it shows `position`."""
    with subprocess.Popen([*(["nohup"] if nohup else []), CLI, "repair", card.path, "--yes"],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as p:
        out = []
        for line in p.stdout:
            out.append(line)
            if f"{position:2d}/32" in line:
                p.send_signal(sig)
        err = p.stderr.read()
        p.wait(timeout=60)
    return subprocess.CompletedProcess(p.args, p.returncode, "".join(out), err)


class Interruptions(unittest.TestCase):
    """A repair interrupted anywhere leaves a card that is untouched or
    fsck-clean; one killed anywhere is made fsck-clean by a second run."""

    # 24 stamps, the flush (its first block a sector a command, then 1,023
    # blocks), 24 restores, the token, the boot region, 5 table and root writes
    FLUSH = 128 + 1023
    WRITES = 24 + FLUSH + 31
    # The flush rewrites what it reads: a kill inside it is one before the
    # restores, so its ends and a few writes between stand for the rest.
    SAMPLED = [*range(1, 27), 152, 153, 154, 600, 24 + FLUSH, *range(25 + FLUSH, WRITES + 1)]

    def test_signals_at_every_write_and_pause(self):
        if shutil.which("strace") is None:
            self.fail("strace is needed (scripts/install-deps.sh installs it)")
        with Card(1984000, 3968000) as base:
            clean = Card(0, 0, like=base)
            self.assertEqual(run("repair", clean.path, "--yes", "--no-pause").returncode, 0)
            # (signal, where, which write or pause, started under nohup)
            plan = [(sig, "write", n, False) for n in self.SAMPLED
                    for sig in ((signal.SIGINT if n % 2 else signal.SIGTERM), signal.SIGKILL)]
            plan += [(signal.SIGHUP, "write", n, False) for n in (1, 25 + self.FLUSH, 49 + self.FLUSH, self.WRITES)]
            plan += [(sig, "pause", n, False) for n in (5, 8, 11, 21, 24, 27)
                     for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGKILL)]
            # A signal ignored from the start ends nothing, and is no interruption.
            plan += [(signal.SIGHUP, "write", 1, True), (signal.SIGHUP, "write", 49 + self.FLUSH, True),
                     (signal.SIGHUP, "pause", 11, True)]

            def attempt(row):
                sig, where, n, nohup = row
                card = Card(0, 0, like=base)
                r = (signal_at_write if where == "write" else signal_at_pause)(card, sig, n, nohup)
                second = run("repair", card.path, "--yes", "--no-pause") if sig == signal.SIGKILL else None
                return row, card, r, second

            with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
                results = list(pool.map(attempt, plan))
            for (sig, where, n, nohup), card, r, second in results:
                with self.subTest(signal=sig.name, at=f"{where} {n}", nohup=nohup):
                    if nohup:
                        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                        self.assertIn(CHANGED, r.stdout)
                        self.assertNotIn("interrupted", r.stderr)
                    elif sig != signal.SIGKILL:
                        self.assertEqual(r.returncode, -sig, r.stdout + r.stderr)
                        self.assertIn("finishing the card first", r.stderr)
                        self.assertEqual(len(r.stderr.splitlines()), 1, r.stderr)
                    else:
                        self.assertEqual(r.returncode, -sig, r.stdout + r.stderr)
                        self.assertEqual(second.returncode, 0, second.stdout + second.stderr)
                    self.assertEqual(fsck_complaints(card.path), [])
                    self.assertEqual(card.digest(), clean.digest())
                    card.__exit__()
            clean.__exit__()

    def test_question_goes_to_the_terminal_not_to_stdout(self):
        with Card(1984000, 3968000) as card, tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "out.txt")
            # script(1) gives the program a terminal of its own; stdout goes to a file.
            command = "printf 'n\\n' | %s repair %s --no-pause > %s" % (CLI, card.path, out)
            r = subprocess.run(["script", "-qec", command, "/dev/null"], stdin=subprocess.DEVNULL,
                               capture_output=True, text=True, timeout=60)
            self.assertEqual(r.returncode, 4, r.stdout + r.stderr)
            self.assertIn("Do you want to continue? [y/N]", r.stdout)
            with open(out) as f:
                self.assertNotIn("[y/N]", f.read())

    def test_interrupt_at_the_question_leaves_the_card_untouched(self):
        with Card(1984000, 3968000) as card:
            before = card.digest()
            # Without a terminal the question goes to stderr, never to stdout.
            with subprocess.Popen([CLI, "repair", card.path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True, start_new_session=True) as p:
                shown = ""
                while not shown.endswith("[y/N] "):
                    c = p.stderr.read(1)
                    self.assertTrue(c, "ended before its question: " + shown)
                    shown += c
                p.send_signal(signal.SIGINT)
                p.wait(timeout=60)
                self.assertNotIn("[y/N]", p.stdout.read())
            self.assertEqual(p.returncode, -signal.SIGINT)
            self.assertEqual(card.digest(), before)


class SurfaceTest(unittest.TestCase):
    """repair --verify on a card of the least eligible size (1,400,000 sectors declared)."""

    DECLARED, TARGET = 1400000, 2800000

    def test_genuine_card_is_doubled_after_its_report(self):
        with Card(self.DECLARED, self.TARGET) as card:
            r = subprocess.run([CLI, "repair", card.path, "--verify", "--no-pause"], input="y\n",
                               capture_output=True, text=True, timeout=300)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
            # The warning comes with the question, which goes to stderr without a terminal.
            self.assertRegex(r.stderr, r"every sector of .*nothing on it can be recovered.*\n.*Do you want to continue")
            lines = r.stdout.splitlines()
            report = lines.index("surface test of %d sectors (1367 MB)" % self.TARGET)
            self.assertEqual(lines[report + 1:report + 6], [
                "  good      %d" % self.TARGET, "  dropped   0  (zeros, 0xFF or an earlier run's bytes)",
                "  wrapped   0", "  changed   0", "  first bad sector: none"])
            self.assertRegex(lines[report + 6], r"^  write [\d.]+ MB/s, read [\d.]+ MB/s$")
            self.assertEqual(lines[-2:], [CHANGED, REPLUG])
            self.assertEqual(struct.unpack_from("<I", card.read(0), 32)[0], self.TARGET)
            self.assertEqual(fsck_complaints(card.path), [])

    def test_signal_during_the_test_leaves_the_declared_size(self):
        """Ctrl-C or SIGTERM while writing or reading back stops the test; the
        card gets the layout of its declared size, the run says how far the
        test got, and then the signal ends the program. Signals at every write
        from the first on are all held, and one that comes with the last
        read-back or after it, before the layout, still keeps the declared size."""
        if shutil.which("strace") is None:
            self.fail("strace is needed (scripts/install-deps.sh installs it)")
        writes = self.TARGET // 128
        reads = writes + 3  # the probe's three reads come first
        # The report's write, after the test and before the layout, counted on
        # a run of its own: a sanitizer build makes write calls of its own.
        with Card(self.DECLARED, self.TARGET) as card, tempfile.TemporaryDirectory() as folder:
            trace = os.path.join(folder, "trace")
            subprocess.run(["strace", "-qq", "-o", trace, "-e", "trace=write", "-s", "20", CLI, "repair", card.path,
                            "--verify", "--yes", "--no-pause"], capture_output=True, timeout=300, env=UNTRACED_LEAKS,
                           check=True)
            with open(trace) as f:
                report = 1 + next(i for i, line in enumerate(f) if '"surface test of' in line)
        rows = [  # signal, system call, which one (strace's when=), where the test stopped
            (signal.SIGINT, "pwrite64", "100", "while writing"), (signal.SIGTERM, "pwrite64", str(writes), "while"),
            (signal.SIGINT, "pread64", str(reads // 2), "while reading back"),
            (signal.SIGTERM, "pread64", str(reads * 3 // 4), "while reading back"),
            (signal.SIGINT, "pwrite64", "1+", "while writing"),
            (signal.SIGINT, "pread64", str(reads), "after the last read-back"),
            (signal.SIGTERM, "write", str(report), "after the last read-back"),
        ]
        for sig, call, when, where in rows:
            with self.subTest(signal=sig.name, call=call, when=when), Card(self.DECLARED, self.TARGET) as card:
                r = subprocess.run(["strace", "-qq", "-o", "/dev/null", "-e", "trace=" + call, "-e",
                                    f"inject={call}:signal={sig.name}:when={when}", CLI, "repair", card.path,
                                    "--verify", "--yes", "--no-pause"],
                                   capture_output=True, text=True, timeout=300, env=UNTRACED_LEAKS)
                self.assertEqual(r.returncode, -sig, r.stdout + r.stderr)
                err = r.stderr.splitlines()
                self.assertEqual(len(err), 2, r.stderr)
                self.assertIn("interrupted: stopping the surface test", err[0])
                self.assertRegex(err[1], r"^brisant-cli: %s: stopped %s.*; the card keeps its declared size, "
                                 r"683 MB, with an empty volume$" % (re.escape(card.path), where))
                if where != "after the last read-back":
                    self.assertRegex(r.stdout, r"(?m)^surface test of %d sectors \(1367 MB\): stopped %s"
                                     % (self.TARGET, where))
                    # Sectors never read back are untested, not bad.
                    self.assertIn("  first bad sector: none of those read", r.stdout)
                self.assertEqual(r.stdout.splitlines()[-1], FAIL)
                self.assertNotIn(CHANGED, r.stdout)
                self.assertEqual(struct.unpack_from("<I", card.read(0), 32)[0], self.DECLARED)
                self.assertEqual(fsck_complaints(card.path), [])


class Queries(unittest.TestCase):
    def test_probe_and_plan_of_each_kind_of_card(self):
        # probe and plan end as the repair would: not eligible 3, too small 1.
        rows = [  # name, declared, card sectors, probe fields, exit status, plan fields
            ("not eligible", 1000000, 2000000, (1000000, "488 MB", False, 2000000, "976 MB", None), 3,
             {"eligible": False}),
            ("too small", 1984000, 1984000, (1984000, "968 MB", True, 3968000, "1937 MB", 3968000), 1,
             {"eligible": True, "target_sectors": 3968000}),
            ("4,194,304", 4194304, 4194304, (4194304, "2048 MB", True, 4194304, "2048 MB", 4194145), 0,
             {"eligible": True, "target_sectors": 4194304, "volume_sectors": 4194145, "clusters": 65524}),
            ("4,200,000", 4200000, 4200000, (4200000, "2050 MB", True, 4200000, "2050 MB", 4194145), 0,
             {"eligible": True, "target_sectors": 4200000, "volume_sectors": 4194145, "sectors_per_cluster": 64,
              "fat_sectors": 256, "root_lba": 514, "data_lba": 546, "clusters": 65524}),
        ]
        keys = ("capacity_sectors", "capacity", "eligible", "target_sectors", "target", "volume_sectors")
        for name, declared, sectors, probe_fields, status, plan_fields in rows:
            with self.subTest(card=name), Card(declared, sectors) as card:
                before = card.digest()
                r = run("probe", card.path, "--json")
                self.assertEqual(r.returncode, status, r.stdout + r.stderr)
                probe = json.loads(r.stdout)
                self.assertEqual(tuple(probe.get(k) for k in keys), probe_fields)

                r = run("plan", card.path, "--json")
                self.assertEqual(r.returncode, status, r.stdout + r.stderr)
                plan = json.loads(r.stdout)
                self.assertEqual({k: plan.get(k) for k in plan_fields}, plan_fields)
                if not plan["eligible"]:
                    self.assertNotIn("volume_sectors", plan, "a layout for a card that is not eligible")
                    self.assertFalse([c for c in plan["commands"] if c["command"].startswith("WRITE")])
                if status == 1:
                    self.assertNotIn("commands", plan, "a plan for a card the repair refuses")
                self.assertEqual(card.digest(), before, "probe or plan wrote to the card")

    def test_probe_plan_list(self):
        with Card(1984000, 3968000) as card:
            before = card.digest()
            probe = json.loads(run("--drive", "E=" + card.path, "probe", "E:", "--json").stdout)
            self.assertEqual((probe["capacity_sectors"], probe["capacity"], probe["eligible"],
                              probe["target_sectors"]), (1984000, "968 MB", True, 3968000))
            plan = json.loads(run("--drive", "E=" + card.path, "plan", "E:\\", "--json").stdout)
            self.assertEqual((plan["sectors_per_cluster"], plan["fat_sectors"], plan["root_lba"],
                              plan["data_lba"], plan["clusters"]), (64, 243, 488, 520, 61991))
            commands = [c["command"] for c in plan["commands"]]
            # The undo file's sectors read (the token's and the layout's),
            # then the stamp check: sector 0 and each stamped sector read,
            # the stamps written, read back (answered by the plan), sector 0
            # again.
            stamps = [c for c in commands[9:33]]
            self.assertEqual(len(set(stamps)), 24)
            self.assertTrue(all(c.startswith("READ(10) LBA ") and c.endswith(", 1 sector") for c in stamps))
            writes = [c.replace("READ", "WRITE") for c in stamps]
            undo = ["READ(10) LBA %d, %d sectors" % (lba, min(128, 520 - lba)) for lba in range(0, 520, 128)]
            self.assertEqual(commands[:82], [
                "READ(10) LBA 0, 1 sector", "READ(10) LBA 3967999, 1 sector", "READ(10) LBA 3967999, 1 sector"]
                + undo + ["READ(10) LBA 0, 1 sector"] + stamps + writes + stamps + ["READ(10) LBA 0, 1 sector"])
            self.assertEqual([c["sent_in_plan"] for c in plan["commands"][57:81]], [False] * 24)
            # The flush: 64 MiB at the top of the volume, read and written
            # back, its first block a sector a command out of order; then the
            # stamps read again in another order, sector 0, the restores, the
            # token.
            flush = commands[82:82 + 1 + 128 + 2 * 1023]
            first = int(flush[0].split()[2].rstrip(","))
            self.assertEqual(flush[0], "READ(10) LBA %d, 128 sectors" % first)
            scattered = flush[1:129]
            self.assertEqual(sorted(scattered), sorted("WRITE(10) LBA %d, 1 sector" % lba
                                                       for lba in range(first, first + 128)))
            self.assertNotEqual(scattered, sorted(scattered))
            blocks = [int(c.split()[2].rstrip(",")) for c in flush[129::2]]
            self.assertEqual(flush[129:], [c % lba for lba in blocks
                                           for c in ("READ(10) LBA %d, 128 sectors", "WRITE(10) LBA %d, 128 sectors")])
            self.assertEqual(blocks, sorted(blocks))
            self.assertLessEqual(blocks[-1] + 128, 3968000)
            reads = [plan["commands"][82]] + plan["commands"][82 + 129:82 + len(flush):2]
            self.assertTrue(all(c["sent_in_plan"] for c in reads))
            tail = commands[82 + len(flush):]
            self.assertEqual(sorted(tail[:24]), sorted(stamps))
            self.assertNotEqual(tail[:24], stamps)
            self.assertEqual(tail[24:50], ["READ(10) LBA 0, 1 sector"] + writes[::-1]
                             + ["WRITE(10) LBA 3967999, 1 sector"])
            self.assertEqual(tail[50:], [
                "PREVENT MEDIUM REMOVAL", "WRITE(10) LBA 0, 2 sectors", "ALLOW MEDIUM REMOVAL",
                "WRITE(10) LBA 2, 128 sectors", "WRITE(10) LBA 130, 115 sectors", "WRITE(10) LBA 245, 128 sectors",
                "WRITE(10) LBA 373, 115 sectors", "WRITE(10) LBA 488, 32 sectors", "ALLOW MEDIUM REMOVAL",
                "EJECT MEDIUM"])
            self.assertEqual(plan["commands"][-9]["cdb"], "2A 00 00 00 00 00 00 00 02 00")
            self.assertEqual(card.digest(), before, "plan wrote to the card")
            listing = json.loads(run("--drive", "E=" + card.path, "--drive", "F=/nonexistent", "list",
                                     "--json").stdout)
            self.assertEqual([(d["drive"], d["capacity"], d["eligible"]) for d in listing["drives"]],
                             [("E:\\", "968 MB", True)])
            self.assertEqual([(d["drive"], d["reason"]) for d in listing["not_offered"]],
                             [("F:\\", "No such file or directory")])
            self.assertEqual(run("--version").stdout.strip(), "brisant-cli 1.0.4.0")

    def test_help_and_man_page_list_every_option(self):
        man = os.path.join(SOURCE, "dist", "brisant-cli.1")
        with open(man) as f:
            synopsis = f.read().split(".SH SYNOPSIS")[1].split(".SH ")[0].replace("\\-", "-")
        text = run("--help").stdout
        for option in ("-y", "--yes", "-q", "--quiet", "-h", "--help", "-V", "--version", "--json", "--drive",
                       "--no-pause", "--undo-file", "--force", "--verify"):
            with self.subTest(option):
                self.assertRegex(text, r"(?m)^\s+(-\w, )?%s\b" % re.escape(option))
                self.assertRegex(synopsis, r"(?<![\w-])%s(?![\w-])" % re.escape(option))


class Completion(unittest.TestCase):
    def test_in_an_interactive_bash(self):
        """--drive E=<Tab> completes a path; after the TARGET no more is offered;
        undo's FILE comes from the undo folder too."""
        if shutil.which("tmux") is None or not os.path.exists(BASH_COMPLETION):
            self.fail("tmux and bash-completion are needed (scripts/install-deps.sh installs them)")
        script = os.path.join(SOURCE, "dist", "brisant-cli.bash-completion")
        rows = [  # typed before Tab Tab, then the whole line once an X is typed after them
            ("brisant-cli --drive E=card-o", "brisant-cli --drive E=card-one.img X"),
            ("brisant-cli --drive E=card-one.img pr", "brisant-cli --drive E=card-one.img probe X"),
            ("brisant-cli --drive E=card-one.img probe card-one.img car",
             "brisant-cli --drive E=card-one.img probe card-one.img carX"),
            ("brisant-cli list car", "brisant-cli list carX"),
            ("brisant-cli undo ", "brisant-cli undo {saved} X"),
        ]
        with tempfile.TemporaryDirectory() as tmp, tempfile.TemporaryDirectory() as state:
            for name in ("card-one.img", "card-two.img"):
                open(os.path.join(tmp, name), "wb").close()
            os.makedirs(os.path.join(state, "brisant"))
            saved = os.path.join(state, "brisant", "20261210-120000-card-968MB.brisant-undo")
            open(saved, "wb").close()
            rows = [(typed, line.format(saved=saved)) for typed, line in rows]
            tmux = ["tmux", "-f", "/dev/null", "-L", "brisant-cli-test-%d" % os.getpid()]
            env = dict(os.environ, HOME=tmp, TERM="xterm", XDG_STATE_HOME=state, HISTFILE="")
            subprocess.run(tmux + ["new-session", "-d", "-x", "200", "-y", "20", "-c", tmp,
                                   "bash --norc --noprofile -i"], check=True, env=env)
            try:
                def screen():
                    out = subprocess.run(tmux + ["capture-pane", "-p"], capture_output=True, text=True).stdout
                    return [line.rstrip() for line in out.splitlines() if line.strip()]

                def wait_for(done):
                    for _ in range(200):
                        lines = screen()
                        if lines and done(lines):
                            return lines
                        subprocess.run(["sleep", "0.05"])
                    self.fail("the shell shows %r" % screen())

                def keys(*k):
                    subprocess.run(tmux + ["send-keys", *k], check=True)

                keys("-l", "PS1='$ '; . %s; . %s" % (BASH_COMPLETION, script))
                keys("Enter")
                for typed, line in rows:
                    with self.subTest(typed):
                        keys("C-u")
                        keys("-l", "clear")
                        keys("Enter")
                        wait_for(lambda lines: lines == ["$"])
                        keys("-l", typed)
                        keys("Tab", "Tab", "X")
                        lines = wait_for(lambda lines: lines[-1].endswith("X"))
                        self.assertEqual(lines, ["$ " + line])
            finally:
                subprocess.run(tmux + ["kill-server"])


if __name__ == "__main__":
    CLI, MAKE_CARD = sys.argv[1], sys.argv[2]
    # Undo files go to a folder of the test's own, which nobody may write to as well.
    STATE = tempfile.mkdtemp(prefix="brisant-cli-state-")
    os.makedirs(os.path.join(STATE, "brisant"))
    for folder in (STATE, os.path.join(STATE, "brisant")):
        os.chmod(folder, 0o1777)
    os.environ["XDG_STATE_HOME"] = STATE
    SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(MAKE_CARD)))
    try:
        unittest.main(argv=sys.argv[:1] + sys.argv[3:], verbosity=2)
    finally:
        shutil.rmtree(STATE, ignore_errors=True)
