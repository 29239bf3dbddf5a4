#!/usr/bin/env python3
"""Measures brisant-cli's repair against mkfs.fat making the same volume, what
the repair sends, the repair through SG_IO in a QEMU guest, the sweep and the
dialog's start-up; prints one table, each figure the median of --runs runs.
Then, once each, our quick check, Debian's f3probe and repair --verify on
cards whose storage lies, in QEMU guests.

usage: bench.py --build DIR [--runs N] [--out FILE] [--skip-vm] [--skip-gui] [--skip-lying]
       bench.py --build DIR --only-lying [--out FILE]: only the lying cards,
       their section of FILE replaced and the rest kept
Run it through bench/run.sh, which builds what it measures."""

import argparse
import datetime
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "vm"))

SECTOR = 512
DECLARED = 1984000
CARD_SECTORS = 2 * DECLARED
DIALOG_TITLE = "^Korvela Fix 2GB Capacity$"
MKFS = ["mkfs.fat", "-F", "16", "-s", "64", "-R", "2", "-r", "512"]


def note(text):
    print(text, file=sys.stderr, flush=True)


def run_measured(measure, argv):
    """Wall seconds, CPU seconds and peak resident KiB of one whole process."""
    r = subprocess.run([measure] + argv, stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if r.returncode != 0:
        raise SystemExit("bench: %s: %s" % (" ".join(argv), r.stderr.strip()))
    wall, cpu, peak = r.stdout.split()
    return float(wall), float(cpu), int(peak)


def sample_card(path):
    subprocess.run(["sh", os.path.join(ROOT, "samples", "make-sample-card.sh"), path], check=True)


def blank_image(path):
    if os.path.exists(path):
        os.remove(path)
    with open(path, "wb") as f:
        f.truncate(CARD_SECTORS * SECTOR)


def median_of(samples):
    return [statistics.median(column) for column in zip(*samples)]


def bench_processes(measure, cli, work, runs):
    card = os.path.join(work, "card.img")
    repair, mkfs = [], []
    for _ in range(runs):
        sample_card(card)
        repair.append(run_measured(measure, [cli, "repair", card, "--yes", "--no-pause"]))
        blank_image(card)
        mkfs.append(run_measured(measure, MKFS + [card]))
    os.remove(card)
    return median_of(repair), median_of(mkfs)


def bench_surface(measure, cli, work, runs):
    """repair --verify on the sample card against dd writing then reading the
    same bytes in blocks of the same size (64 KiB, 128 sectors) on the same
    kind of image, with direct I/O and through the page cache as the card
    image back end goes. Each process starts on a fresh sparse image and
    after a sync, so that no earlier run's writeback competes with it."""
    card = os.path.join(work, "surface.img")
    blocks = CARD_SECTORS // 128
    dd_write = ["dd", "if=/dev/zero", "of=" + card, "bs=64K", "count=%d" % blocks, "conv=notrunc", "status=none"]
    dd_read = ["dd", "if=" + card, "of=/dev/null", "bs=64K", "count=%d" % blocks, "status=none"]
    ours, direct, cached = [], [], []

    def timed(argv):
        subprocess.run(["sync"], check=True)
        return run_measured(measure, argv)

    for _ in range(runs):
        sample_card(card)
        ours.append(timed([cli, "repair", card, "--verify", "--yes", "--no-pause"]))
        for flags, samples in (((["oflag=direct"], ["iflag=direct"]), direct), (([], []), cached)):
            sample_card(card)
            w = timed(dd_write + flags[0])
            r = timed(dd_read + flags[1])
            samples.append((w[0] + r[0], w[1] + r[1], max(w[2], r[2])))
    os.remove(card)
    subprocess.run(["sync"], check=True)
    return median_of(ours), median_of(direct), median_of(cached)


def bench_inside(repair_bench, runs):
    out = subprocess.run([repair_bench, str(runs)], check=True, capture_output=True, text=True).stdout
    return {k: float(v) for k, v in (line.split() for line in out.splitlines() if line.strip())}


# Times come from the kernel's clock through shell builtins only, so that no
# process start-up but brisant-cli's own is measured.
GUEST_SCRIPT = r"""
now_ns() {
    while read -r w1 w2 w3 w4; do
        if [ "$w1 $w2" = "now at" ]; then now=$w3; return; fi
    done </proc/timer_list
}
for disk in DISKS; do wait_disk $disk || exit 1; done
echo "@@BEGIN bench"
now_ns; a=$now; now_ns; echo "clock $(( (now - a) / 1000 ))"
/payload/brisant-cli --help >/dev/null  # paged in before the first run
letter=D
for disk in DISKS; do
    before=$(cat /sys/block/$disk/device/iorequest_cnt)
    now_ns; t0=$now
    /payload/brisant-cli repair $letter --yes --no-pause </dev/null >/tmp/out 2>&1
    rc=$?
    now_ns; t1=$now
    after=$(cat /sys/block/$disk/device/iorequest_cnt)
    echo "run $disk $rc $(( (t1 - t0) / 1000 )) $((after - before))"
    letter=$(echo $letter | tr D-Y E-Z)
done
printf '\n@@RC bench 0\n@@END bench\n'
"""


GUEST_SURFACE_SCRIPT = GUEST_SCRIPT.split("for disk in DISKS")[0] + r"""
for disk in sda sdb; do wait_disk $disk || exit 1; done
echo "@@BEGIN surface"
/payload/brisant-cli --help >/dev/null  # paged in first
now_ns; t0=$now
/payload/brisant-cli repair D --verify --yes --no-pause </dev/null >/tmp/out 2>&1
rc=$?
now_ns; t1=$now
dd if=/dev/zero of=/dev/sdb bs=64K count=BLOCKS oflag=direct 2>/dev/null
now_ns; t2=$now
dd if=/dev/sdb of=/dev/null bs=64K count=BLOCKS iflag=direct 2>/dev/null
now_ns; t3=$now
echo "surface $rc $(( (t1 - t0) / 1000 )) $(( (t2 - t1) / 1000 )) $(( (t3 - t2) / 1000 ))"
grep "MB/s" /tmp/out
printf '\n@@RC surface 0\n@@END surface\n'
"""


def boot_sample_cards(cli, work, name, script, cards, timeout):
    """The guest's result, or None without QEMU; the cards' images go either way."""
    import harness
    try:
        vm = harness.Machine(os.path.abspath(cli), os.path.join(work, "vm"),
                             os.path.join(os.path.dirname(os.path.abspath(cli)), "vm-cache"))
        return vm.boot(name, script, cards, timeout=timeout)
    except harness.Skip as e:
        note("bench: no QEMU guest: %s" % e)
        return None
    finally:
        for card in cards:
            os.remove(card["path"])


def bench_vm_surface(cli, work):
    """repair --verify on one sample card behind the guest's USB reader, and
    dd with direct I/O writing then reading as many bytes on a second one:
    seconds of each, once (an emulated reader moves a few MB/s)."""
    cards = []
    for d in ("sda", "sdb"):
        path = os.path.join(work, "vm-surface-%s.img" % d)
        sample_card(path)
        cards.append({"path": path})
    script = GUEST_SURFACE_SCRIPT.replace("BLOCKS", str(CARD_SECTORS // 128))
    r = boot_sample_cards(cli, work, "surface", script, cards, 5400)
    if r is None:
        return None
    text = r.out("surface")
    note("bench: guest reported:\n" + text.strip())
    m = re.search(r"^surface (\d+) (\d+) (\d+) (\d+)$", text, re.M)
    if not m or int(m.group(1)) != 0:
        raise SystemExit("bench: repair --verify in the guest failed:\n" + text)
    ours, write, read = (int(m.group(i)) / 1e6 for i in (2, 3, 4))
    return ours, write + read


def bench_vm(cli, work, runs):
    # The guest's USB controller has room for this many readers.
    runs = min(runs, 5)
    disks = ["sd" + chr(ord("a") + i) for i in range(runs)]
    cards = []
    for d in disks:
        path = os.path.join(work, "vm-%s.img" % d)
        sample_card(path)
        cards.append({"path": path})
    r = boot_sample_cards(cli, work, "bench", GUEST_SCRIPT.replace("DISKS", " ".join(disks)), cards, 600)
    if r is None:
        return None
    text = r.out("bench")
    note("bench: guest reported:\n" + text.strip())
    clock = int(re.search(r"^clock (\d+)$", text, re.M).group(1))
    results = []
    for m in re.finditer(r"^run (\S+) (\d+) (\d+) (\d+)$", text, re.M):
        if int(m.group(2)) != 0:
            raise SystemExit("bench: the repair in the guest exited %s on %s" % (m.group(2), m.group(1)))
        if int(m.group(3)) <= clock:
            raise SystemExit("bench: the guest's clock gave no usable time:\n" + text)
        seconds = (int(m.group(3)) - clock) / 1e6
        results.append((seconds, int(m.group(4)), int(m.group(4)) / seconds))
    if len(results) != runs:
        raise SystemExit("bench: the guest reported %d of %d repairs:\n%s" % (len(results), runs, text))
    return median_of(results) + [len(results)]


LYING_STORAGE = {
    "genuine": "holds every sector it shows",
    "wrap": "sector s at and past 2^21 is sector s mod 2^21",
    "drop": "writes at and past sector 2^21 vanish; reads there give zeros",
    "cache": "drop, behind a write-back cache of the last 4,096 sectors written past 2^21",
    "cache-16k": "drop, behind a cache of 16,384 sectors",
    "cache-64k": "drop, behind a cache of 65,536 sectors",
    "wrap-cache": "wrap, behind a write-back cache of 4,096 sectors",
    "wrap-cache-16k": "wrap, behind a cache of 16,384 sectors",
    "wrap-cache-64k": "wrap, behind a cache of 65,536 sectors",
    "two-caches": "drop, behind 64 sectors for writes of up to 8 sectors and 65,536 for longer ones",
}


def bench_lying(cli, work):
    """{kind: (quick check and f3probe, repair --verify or None)}, or None
    without QEMU, nbdkit or f3probe."""
    import harness
    import scenarios
    cache = os.path.join(os.path.dirname(os.path.abspath(cli)), "vm-cache")
    results = {}
    try:
        vm = harness.Machine(os.path.abspath(cli), os.path.join(work, "lying"), cache)
        verify = scenarios.has_verify(cli)
        for kind in scenarios.LYING_CARDS:
            note("bench: a %s card" % kind)
            results[kind] = (scenarios.quick_check_and_f3probe(vm, vm.work, kind),
                             scenarios.verify_card(vm, vm.work, kind)
                             if verify and kind in scenarios.PROBED_CARDS else None)
    except harness.Skip as e:
        note("bench: no lying cards: %s" % e)
        return None
    return results


def lying_table(results):
    head = ["| card | its storage | our quick check | time | f3probe --destructive | time | repair --verify | time |",
            "|---|---|---|---:|---|---:|---|---:|"]
    rows = []
    for kind, (probe, verify) in results.items():
        quick = {"genuine": "genuine: doubled", "fake": "fake: refused"}[probe["quick"]]
        if probe["quick"] == "fake":
            quick += ", card unchanged" if probe["unchanged"] else ", card CHANGED"
            quick += ", old files read back" if probe["old_files"] else ", old files LOST"
        if verify is None:
            verified, verify_time = "not measured", ""
        else:
            verified = {0: "doubled", 1: "declared size"}.get(verify["exit"], "no layout")
            verified = "%s (exit %d)" % (verified, verify["exit"])
            verify_time = "%.1f s" % verify["seconds"]
        rows.append("| %s | %s | %s | %.2f s | %s | %.2f s | %s | %s |" % (
            kind, LYING_STORAGE[kind], quick, probe["quick_seconds"], probe["f3probe"] or "no verdict",
            probe["f3probe_seconds"], verified, verify_time))
    return "\n".join(head + rows)


LYING_MEANING = """\
Each card declares 1,984,000 sectors in its boot sector and shows a disk of
3,968,000; nbdkit serves it from tests/vm/lying_card.py to the QEMU guest's USB
card reader (TCG, no KVM). Our quick check is `brisant-cli repair /dev/sdX --yes
--no-pause` (its stamps, then the layout); f3probe is Debian's `f3probe
--destructive --time-ops` on a second card of the same kind in the same guest;
`repair --verify` writes and reads back every sector first. Times are wall
times inside the guest, from the guest's uptime, each from one run, taken once
the guest's entropy pool is ready (a boot's first random number waits about a
second for it). A fake card's store holds a FAT16 volume with two files
before the check; after a refusal Linux mounts the card and compares them,
and once nbdkit has stopped and written out what its caches held, the whole
store is compared with what it was. `repair --verify` runs on the first four
kinds only.
"""


def check_cost(cli, work):
    """What the quick check sends on a genuine card, from `plan`: its
    commands and bytes in all, and those of the flush and the second reading
    of the stamps, from the flush's first read to the read of sector 0 that
    ends that reading."""
    import json
    card = os.path.join(work, "cost.img")
    sample_card(card)
    try:
        plan = json.loads(subprocess.run([cli, "plan", card, "--json"], check=True, capture_output=True,
                                         text=True).stdout)
    finally:
        os.remove(card)
    commands = [c["command"] for c in plan["commands"]]
    check = commands[:commands.index("PREVENT MEDIUM REMOVAL")]
    first = next(i for i, c in enumerate(check)
                 if re.match(r"READ\(10\) LBA (\d+), 128 sectors$", c)
                 and int(c.split()[2].rstrip(",")) >= CARD_SECTORS // 2)
    end = check.index("READ(10) LBA 0, 1 sector", first) + 1

    def tally(part):
        got = {"commands": len(part), "read": 0, "written": 0}
        for c in part:
            m = re.match(r"(READ|WRITE)\(10\) LBA \d+, (\d+) sectors?$", c)
            if m:
                got["read" if m.group(1) == "READ" else "written"] += int(m.group(2)) * SECTOR
        return got
    return tally(check), tally(check[first:end])


def cost_table(cost, genuine):
    whole, added = cost
    mib = lambda n: "%.2f MiB" % (n / 1048576)
    rows = ["| on a genuine card | commands | read | written | time in the guest |", "|---|---:|---:|---:|---:|",
            "| all it sends before the layout (probe, undo reads, stamps, flush, restores, token) | %d | %s | %s | |" % (
                whole["commands"], mib(whole["read"]), mib(whole["written"])),
            "| of which the flush and the second reading | %d | %s | %s | |" % (
                added["commands"], mib(added["read"]), mib(added["written"]))]
    if genuine:
        rows.append("| the whole repair (check and layout) | | | | %.2f s |" % genuine["quick_seconds"])
        if genuine["f3probe_seconds"] is not None:
            rows.append("| f3probe --destructive on the same kind of card | | | | %.2f s |"
                        % genuine["f3probe_seconds"])
    return "\n".join(rows)


COST_MEANING = """\
Commands and bytes come from `brisant-cli plan CARD --json` on the sample card
(a plan reads what the repair reads and lists every command). The flush
rewrites the top 64 MiB of the new volume with what it reads there: on a card
of 10 MB/s it reads and writes 64 MiB, about 13 s in all at that speed both
ways; the stamps (up to 25) and their restores add well under a second.
"""



LYING_HEADING = "## Cards whose storage lies"


def lying_section(results, started, host, cost):
    when = "Measured on %s UTC; machine: %s." % (started.strftime("%Y-%m-%d %H:%M"), host)
    genuine = results.get("genuine", (None, None))[0]
    return "\n".join([LYING_HEADING, "", when, "", lying_table(results), "", LYING_MEANING,
                      "### What the quick check costs", "", cost_table(cost, genuine), "", COST_MEANING])


def splice_lying(path, section):
    """The file with its lying cards' section (the last one) replaced."""
    try:
        with open(path) as f:
            text = f.read()
    except FileNotFoundError:
        text = ""
    at = text.find("\n" + LYING_HEADING + "\n")
    if at >= 0:
        text = text[:at + 1]
    return (text + "\n" if text and not text.endswith("\n\n") else text) + section


def bench_dialog(brisant, work, runs):
    """Median seconds from starting Brisant to its dialog being mapped, under
    a display of xvfb-run's (which also sets up the X authority)."""
    if not (brisant and os.path.exists(brisant) and shutil.which("xvfb-run") and shutil.which("xdotool")):
        note("bench: no dialog figure (needs Brisant, xvfb-run and xdotool)")
        return None
    card = os.path.join(work, "dialog.img")
    sample_card(card)
    try:
        r = subprocess.run(["xvfb-run", "-a", "-s", "-screen 0 1024x768x24 -noreset", sys.executable,
                            os.path.abspath(__file__), "--dialog", brisant, card, "--runs", str(runs)],
                           capture_output=True, text=True, timeout=600)
    finally:
        os.remove(card)
    if r.returncode != 0:
        raise SystemExit("bench: the dialog measurement failed:\n" + r.stderr)
    return float(r.stdout.split()[-1])


def dialog_times(brisant, card, runs):
    """Runs on the display in DISPLAY."""
    times = []
    retries = 0
    while len(times) < runs:
        start = time.perf_counter()
        p = subprocess.Popen([brisant, "--drive", "E=" + card], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        while not subprocess.run(["xdotool", "search", "--onlyvisible", "--name", DIALOG_TITLE],
                                 capture_output=True, text=True).stdout.strip():
            if p.poll() is not None:
                break
            if time.perf_counter() - start > 30:
                p.kill()
                raise SystemExit("bench: the dialog did not appear within 30 s")
            time.sleep(0.002)
        else:
            times.append(time.perf_counter() - start)
        if p.poll() is not None:
            # A start that ends before its dialog is mapped is repeated, a few times at most.
            retries += 1
            if retries > runs:
                raise SystemExit("bench: Brisant keeps ending before its dialog appears")
            continue
        p.terminate()
        p.wait()
    if retries:
        note("bench: %d start(s) of Brisant ended before the dialog and were repeated" % retries)
    print(statistics.median(times))


def machine():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            model = re.search(r"^model name\s*:\s*(.+)$", f.read(), re.M).group(1)
    except (OSError, AttributeError):
        pass
    with open("/proc/meminfo") as f:
        mem = int(re.search(r"MemTotal:\s+(\d+)", f.read()).group(1)) // 1024
    distro = ""
    if os.path.exists("/etc/debian_version"):
        with open("/etc/debian_version") as f:
            distro = "Debian " + f.read().strip() + ", "
    load = os.getloadavg()[0]
    return "%s, %d cores, %d MiB, %sLinux %s (load average %.1f at the start)" % (
        model, os.cpu_count(), mem, distro, platform.release(), load)


def mkfs_version():
    r = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", "dosfstools"], capture_output=True, text=True)
    return "mkfs.fat from dosfstools " + (r.stdout.strip() or "(version unknown)")


def surface_table(runs, surface, vm):
    ours, direct, cached = surface
    mb = CARD_SECTORS * SECTOR / 1e6
    rows = ["| measure | brisant-cli repair --verify | dd, direct I/O | ratio | dd, page cache | ratio |",
            "|---|---:|---:|---:|---:|---:|"]

    def row(what, fmt, i):
        rows.append("| %s | %s | %s | %.2f | %s | %.2f |" % (
            what, fmt(ours[i]), fmt(direct[i]), ours[i] / direct[i], fmt(cached[i]), ours[i] / cached[i]))

    row("wall time, whole process(es)", lambda v: "%.2f s" % v, 0)
    if vm:
        rows.append("| wall time through the QEMU guest's USB reader (SG_IO, TCG; one run) | %.1f s | %.1f s | %.2f "
                    "|  |  |" % (vm[0], vm[1], vm[0] / vm[1]))
    else:
        rows.append("| wall time through the QEMU guest's USB reader | not measured (no QEMU or kernel) |  |  |  |  |")
    rows.append("| throughput, %.0f MB written and read back | %.0f MB/s | %.0f MB/s |  | %.0f MB/s |  |" % (
        mb, 2 * mb / ours[0], 2 * mb / direct[0], 2 * mb / cached[0]))
    row("CPU time (user + system)", lambda v: "%.2f s" % v, 1)
    row("peak resident memory", lambda v: "%d KiB" % v, 2)
    return "\n".join(rows)


def table(runs, repair, mkfs, inside, vm, dialog):
    rows = []

    def row(what, ours, theirs="", ratio=""):
        rows.append("| %s | %s | %s | %s |" % (what, ours, theirs, ratio))

    def ratio(a, b):
        return "%.2f" % (a / b) if b else "-"

    row("wall time, whole process", "%.1f ms" % (repair[0] * 1e3), "%.1f ms" % (mkfs[0] * 1e3),
        ratio(repair[0], mkfs[0]))
    row("CPU time (user + system)", "%.1f ms" % (repair[1] * 1e3), "%.1f ms" % (mkfs[1] * 1e3),
        ratio(repair[1], mkfs[1]))
    row("peak resident memory", "%d KiB" % repair[2], "%d KiB" % mkfs[2], ratio(repair[2], mkfs[2]))
    row("repair alone, inside the process", "%.0f µs" % inside["repair_us"])
    row("layout commands (boot region, tables, root; <= 128 sectors each)",
        "%d, %d bytes written" % (inside["layout_commands"], inside["layout_bytes"]),
        "least: %d, %d bytes" % (inside["layout_least_commands"], inside["layout_least_bytes"]),
        ratio(inside["layout_commands"], inside["layout_least_commands"]))
    row("guard commands (everything else that moves data)",
        "%d: %d reads of %d bytes, %d writes of %d bytes" % (
            inside["guard_commands"], inside["guard_reads"], inside["guard_bytes_read"],
            inside["guard_writes"], inside["guard_bytes_written"]),
        "", ratio(inside["guard_commands"], inside["layout_commands"]))
    row("control commands (lock, unlock, eject)", "%d" % inside["control_commands"])
    row("bytes written, all commands",
        "%d" % (inside["layout_bytes"] + inside["guard_bytes_written"]),
        "least: %d" % inside["layout_least_bytes"],
        ratio(inside["layout_bytes"] + inside["guard_bytes_written"], inside["layout_least_bytes"]))
    row("peak buffer memory the repair holds", "%d bytes" % inside["peak_buffer_bytes"])
    row("undo file: extra commands of a repair (reads of at most %d sectors)" % inside["undo_largest_read_sectors"],
        "%d" % inside["undo_extra_commands"], "goal: 5", ratio(inside["undo_extra_commands"], 5))
    row("undo file: repair alone with the file saved and flushed, inside the process",
        "%.0f µs (+%.0f µs), a file of %d bytes" % (
            inside["repair_undo_us"], inside["repair_undo_us"] - inside["repair_us"], inside["undo_file_bytes"]),
        "%.0f µs without" % inside["repair_us"], ratio(inside["repair_undo_us"], inside["repair_us"]))
    if vm:
        row("repair through SG_IO in the QEMU guest (USB reader, TCG; median of %d cards)" % vm[3],
            "%.0f ms, %d commands, %.0f commands/s" % (vm[0] * 1e3, vm[1], vm[2]))
    else:
        row("repair through SG_IO in the QEMU guest", "not measured (no QEMU or kernel)")
    row("sweep of D: to Z:, no devices", "%.1f µs" % inside["sweep_empty_us"])
    row("sweep of D: to Z:, one image-backed drive", "%.1f µs" % inside["sweep_one_card_us"])
    if dialog is not None:
        row("start of Brisant under Xvfb to its dialog mapped", "%.0f ms" % (dialog * 1e3))
    else:
        row("start of Brisant under Xvfb to its dialog mapped", "not measured (no Xvfb or GUI build)")
    head = ["| measure | brisant-cli repair | mkfs.fat | ratio |", "|---|---:|---:|---:|"]
    return "\n".join(head + rows)


MEANING = """\
What the ratios mean:

- **wall time, CPU time, peak memory**: brisant-cli's figure divided by
  mkfs.fat's, for whole processes (start-up included) that each leave a FAT16
  volume of 3,968,000 sectors on a sparse image of that size. Below 1.0 the
  repair is faster or leaner than mkfs.fat; 1.0 is a tie.
- **layout commands**: the write commands the repair spends on the layout,
  divided by the fewest that could carry the same sectors (the boot region,
  both tables and the root directory are contiguous, so one run of commands
  of at most 128 sectors each would do). Above 1.0 only because each region
  starts its own command.
- **guard commands**: commands the repair sends besides the layout and the
  lock/unlock/eject (the probe of sector 0, the read of the new volume's last
  sector, and any counterfeit stamps, read-backs and restores), per layout
  command: what the checks cost on the wire.
- **bytes written**: everything the repair writes, guards included, divided by
  the bytes the layout needs. Above 1.0 means the guards write to the card.

Whole processes are timed by bench/measure.c from fork to exit (wall time,
user + system CPU time, ru_maxrss as peak resident memory); the repair's buffer memory
is the most global memory it holds at once (the largest table buffer).
"Repair alone" and the sweeps are timed inside one process by
bench/repair_bench.cpp (no process start-up, card images in the page cache). The
guest figure is the repair's wall time inside a QEMU guest (TCG, no KVM)
through the Linux SCSI stack and an emulated USB card reader; its commands are
counted by the disk's iorequest_cnt: the sweep's INQUIRY and the commands the
kernel sends on its own when the disk is opened and ejected included.
"""


SURFACE_MEANING = """\
The full-surface test writes every sector of the doubled volume (%d sectors)
with its pattern and reads it all back, in commands of 128 sectors; dd moves
the same bytes in blocks of the same 64 KiB, writing zeros then reading them
back (`dd if=/dev/zero of=CARD bs=64K conv=notrunc` and `dd if=CARD
of=/dev/null bs=64K`, with `oflag=direct` and `iflag=direct` for direct I/O).
The ratios are brisant-cli's figure divided by dd's (write and read added);
the goal is at most 1.1. A card image is reached through the page cache, as
plain dd is, so the direct-I/O column is the slower reference; on a card
behind a reader every command reaches the card. In the QEMU guest both run
on a sample card of their own behind the emulated USB reader: brisant-cli
through SG_IO, dd on the disk node with direct I/O.
""" % CARD_SECTORS


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build")
    p.add_argument("--dialog", nargs=2, metavar=("BRISANT", "CARD"), help=argparse.SUPPRESS)
    p.add_argument("--runs", type=int, default=11)
    p.add_argument("--out")
    p.add_argument("--skip-vm", action="store_true")
    p.add_argument("--skip-gui", action="store_true")
    p.add_argument("--skip-lying", action="store_true")
    p.add_argument("--only-lying", action="store_true")
    a = p.parse_args()
    if a.dialog:
        dialog_times(a.dialog[0], a.dialog[1], a.runs)
        return
    if not a.build:
        p.error("--build is required")
    build = os.path.abspath(a.build)
    cli = os.path.join(build, "brisant-cli")
    brisant = os.path.join(build, "Brisant")
    repair_bench = os.path.join(build, "bench", "repair_bench")
    for tool in ("mkfs.fat", "mcopy"):
        if not shutil.which(tool):
            raise SystemExit("bench: %s is missing (Debian packages dosfstools, mtools)" % tool)

    started = datetime.datetime.now(datetime.timezone.utc)
    host = machine()
    work = tempfile.mkdtemp(prefix="brisant-bench-")
    if a.only_lying:
        try:
            cost = check_cost(cli, work)
            lying = bench_lying(cli, work)
        finally:
            shutil.rmtree(work, ignore_errors=True)
        if not lying:
            raise SystemExit("bench: no lying cards measured")
        section = lying_section(lying, started, host, cost)
        print(section)
        if a.out:
            text = splice_lying(a.out, section)
            with open(a.out, "w") as f:
                f.write(text)
            note("bench: its section of %s replaced" % a.out)
        return
    try:
        note("bench: brisant-cli repair against mkfs.fat, %d runs each" % a.runs)
        repair, mkfs = bench_processes(os.path.join(build, "bench", "measure"), cli, work, a.runs)
        note("bench: repair --verify against dd, %d runs each" % min(a.runs, 5))
        surface = bench_surface(os.path.join(build, "bench", "measure"), cli, work, min(a.runs, 5))
        note("bench: the repair from inside")
        inside = bench_inside(repair_bench, a.runs)
        vm = None
        if not a.skip_vm:
            note("bench: the repair in a QEMU guest, %d cards" % a.runs)
            vm = bench_vm(cli, work, a.runs)
        vm_surface = None
        if not a.skip_vm:
            note("bench: repair --verify against dd in a QEMU guest")
            vm_surface = bench_vm_surface(cli, work)
        dialog = None
        if not a.skip_gui:
            note("bench: Brisant's dialog under Xvfb, %d starts" % a.runs)
            dialog = bench_dialog(brisant, work, a.runs)
        lying = None
        if not a.skip_lying:
            note("bench: cards whose storage lies, in QEMU guests")
            cost = check_cost(cli, work)
            lying = bench_lying(cli, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    text = "\n".join([
        "# Benchmarks",
        "",
        "Measured by `sh bench/run.sh` on %s UTC." % started.strftime("%Y-%m-%d %H:%M"),
        "",
        "Machine: %s." % host,
        "Compared with: %s (`%s` on a sparse image of %d sectors)." % (
            mkfs_version(), " ".join(MKFS), CARD_SECTORS),
        "The card: `samples/make-sample-card.sh`, declaring %d sectors; repaired with"
        " `brisant-cli repair CARD --yes --no-pause`." % DECLARED,
        "Each figure is the median of %d runs." % a.runs,
        "",
        table(a.runs, repair, mkfs, inside, vm, dialog),
        "",
        MEANING,
        "## The full-surface test",
        "",
        "`brisant-cli repair CARD --verify --yes --no-pause` on the same card; median of %d runs." % min(a.runs, 5),
        "",
        surface_table(a.runs, surface, vm_surface),
        "",
        SURFACE_MEANING,
    ])
    if lying:
        text += "\n" + lying_section(lying, started, host, cost)
    print(text)
    if a.out:
        with open(a.out, "w") as f:
            f.write(text)
        note("bench: written to %s" % a.out)


if __name__ == "__main__":
    main()
