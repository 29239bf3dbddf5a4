"""Boots Debian's kernel under QEMU with a USB card reader and runs a shell
payload in it; the payload's output comes back over the second serial port."""

import glob
import gzip
import hashlib
import io
import lzma
import os
import re
import shutil
import stat
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import process_group  # noqa: E402

SKIP = 77

# The reader's driver stack, an SD host controller's, plus what a vfat mount needs.
MODULES = ["xhci-pci", "ehci-pci", "usb-storage", "uas", "sd_mod", "sg", "mmc_block", "sdhci-pci", "vfat",
           "nls_cp437", "nls_iso8859-1", "nls_utf8", "nls_ascii"]
MODULE_PARAMS = {"usb-storage": "delay_use=0"}

BUSYBOX_CANDIDATES = ["/bin/busybox", "/usr/bin/busybox"]

EXIT_MARK = "@@VM-EXIT "

INIT = r"""#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mkdir -p /proc /sys /dev /tmp /mnt
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
# A file per block device the kernel has announced, for wait_disk. The
# listener's uevent socket (netlink protocol 15) must be bound before the
# reader's driver loads, or the disk's event is missed.
mkdir /tmp/announced
uevent sh -c '[ "$SUBSYSTEM/$ACTION" = block/add ] && : >"/tmp/announced/$DEVNAME"' &
n=0
until awk -v pid=$! '$2 == 15 && $3 == pid { up = 1 } END { exit !up }' /proc/net/netlink; do
    n=$((n + 1))
    [ "$n" -gt 500 ] && break
    usleep 10000
done
while read -r ko args; do
    insmod "/lib/modules/$ko" $args 2>/dev/null
done < /etc/modules.load
stty -F /dev/ttyS1 raw -echo 2>/dev/null
if [ -f /payload/run.sh ]; then
    (cd /payload && . /etc/vm-lib.sh && . /payload/run.sh) >/dev/ttyS1 2>&1
    rc=$?
else
    rc=125
fi
echo "@@VM-EXIT $rc" >/dev/ttyS1
sync
poweroff -f
reboot -f
"""

# Helpers the payload scripts are sourced with.
VM_LIB = r"""
# wait_disk NAME [SECONDS]: the kernel has announced the disk or partition.
# Its node and sysfs entry appear earlier, while an open still fails with
# ENXIO and a disk's partitions are not yet read.
wait_disk() {
    n=0
    while [ ! -e "/tmp/announced/$1" ] || [ ! -b "/dev/$1" ]; do
        n=$((n + 1))
        [ "$n" -gt $(( ${2:-30} * 10 )) ] && { echo "@@NO-DISK $1"; return 1; }
        usleep 100000
    done
}

# run_cli TAG ARGS...: the CLI's output and exit status, framed for the host.
run_cli() {
    tag=$1; shift
    echo "@@BEGIN $tag"
    /payload/brisant-cli "$@" </dev/null
    rc=$?
    # The frame must start a line even after output without a final newline.
    printf '\n@@RC %s %d\n' "$tag" "$rc"
    echo "@@END $tag"
}

# section TAG CMD...: any command's output, framed.
section() {
    tag=$1; shift
    echo "@@BEGIN $tag"
    "$@"
    rc=$?
    printf '\n@@RC %s %d\n' "$tag" "$rc"
    echo "@@END $tag"
}

# Log every command the SCSI midlayer sends and completes (its queue and
# completion logging, bits 9-11 and 12-14, at level 3) to the kernel log.
scsi_trace_on() { dmesg -c >/dev/null; echo 0x3600 >/proc/sys/dev/scsi/logging_level; }
scsi_trace_off() { echo 0 >/proc/sys/dev/scsi/logging_level; section "${1:-scsi-trace}" dmesg -c; }

# The modules a boot asked for beyond the reader's (Machine.boot's modules).
load_more_modules() {
    while read -r ko args; do
        insmod "/lib/modules/$ko" $args || return 1
    done </etc/modules.more
}
"""

HARNESS_VERSION = "1"


class Skip(Exception):
    pass


def log(msg):
    print(msg, flush=True)


# ---------------------------------------------------------------- cpio (newc)

def _cpio_entry(out, ino, name, mode, data=b""):
    name_b = name.encode() + b"\0"
    hdr = "070701" + "".join("%08X" % v for v in (
        ino, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(name_b), 0))
    out.write(hdr.encode())
    out.write(name_b)
    out.write(b"\0" * ((4 - (110 + len(name_b)) % 4) % 4))
    out.write(data)
    out.write(b"\0" * ((4 - len(data) % 4) % 4))


class Cpio:
    def __init__(self):
        self.buf = io.BytesIO()
        self.dirs = set()
        self.ino = 0

    def _entry(self, name, mode, data=b""):
        self.ino += 1
        _cpio_entry(self.buf, self.ino, name, mode, data)

    def dir(self, name):
        parts = name.strip("/").split("/")
        for i in range(1, len(parts) + 1):
            d = "/".join(parts[:i])
            if d not in self.dirs:
                self.dirs.add(d)
                self._entry(d, stat.S_IFDIR | 0o755)

    def file(self, name, data, mode=0o644):
        name = name.strip("/")
        if "/" in name:
            self.dir(name.rsplit("/", 1)[0])
        self._entry(name, stat.S_IFREG | mode, data)

    def gz(self):
        self._entry("TRAILER!!!", 0)
        return gzip.compress(self.buf.getvalue(), compresslevel=1, mtime=0)


# ------------------------------------------------------------ host discovery

def newest_kernel():
    kernels = glob.glob("/boot/vmlinuz-*")
    if not kernels:
        raise Skip("no kernel image in /boot (install linux-image-amd64)")

    def version_key(path):
        ver = path[len("/boot/vmlinuz-"):]
        return [(0, int(x), "") if x.isdigit() else (1, 0, x) for x in re.split(r"[.-]", ver)]
    kernels.sort(key=version_key)
    path = kernels[-1]
    kver = path[len("/boot/vmlinuz-"):]
    if not os.path.isdir("/lib/modules/%s/kernel" % kver):
        raise Skip("no modules for kernel %s in /lib/modules" % kver)
    if not os.access(path, os.R_OK):
        raise Skip("%s is not readable" % path)
    return path, kver


def require_tools(*tools):
    for tool in tools:
        if shutil.which(tool) is None:
            raise Skip("%s not found (install %s)" % (tool, {
                "qemu-system-x86_64": "qemu-system-x86",
                "fsck.fat": "dosfstools",
                "mdir": "mtools", "mcopy": "mtools",
                "modprobe": "kmod",
                "f3probe": "f3",
            }.get(tool, tool)))


def module_chain(kver, names=MODULES):
    """Module files in load order, each once, with the parameters we want."""
    order = []
    for mod in names:
        r = subprocess.run(["modprobe", "-S", kver, "-D", mod], capture_output=True, text=True)
        if r.returncode != 0:
            raise Skip("modprobe cannot resolve %s for %s: %s" % (mod, kver, r.stderr.strip()))
        for line in r.stdout.splitlines():
            words = line.split()
            if len(words) >= 2 and words[0] == "insmod" and words[1] not in order:
                order.append(words[1])
    return order


def _module_data(path):
    with open(path, "rb") as f:
        data = f.read()
    if path.endswith(".xz"):
        return lzma.decompress(data)
    if path.endswith(".gz"):
        return gzip.decompress(data)
    if path.endswith(".zst"):
        return subprocess.run(["zstd", "-dc", path], check=True, capture_output=True).stdout
    return data


def _module_name(path):
    base = os.path.basename(path)
    return re.sub(r"\.ko(\.(xz|gz|zst))?$", "", base)


def find_busybox():
    for path in BUSYBOX_CANDIDATES:
        if os.path.isfile(path) and is_static_elf(path):
            return path
    raise Skip("no static busybox (install busybox-static)")


def is_static_elf(path):
    with open(path, "rb") as f:
        head = f.read(64)
        if head[:4] != b"\x7fELF" or head[4] != 2:
            return False
        phoff = int.from_bytes(head[32:40], "little")
        phentsize = int.from_bytes(head[54:56], "little")
        phnum = int.from_bytes(head[56:58], "little")
        f.seek(phoff)
        for _ in range(phnum):
            ph = f.read(phentsize)
            if int.from_bytes(ph[0:4], "little") == 3:  # PT_INTERP
                return False
    return True


# ---------------------------------------------------------------- initramfs

def base_initramfs(cache_dir, kver):
    """The kernel-side initramfs, rebuilt only when its inputs change."""
    busybox = find_busybox()
    modules = module_chain(kver)
    key = hashlib.sha256()
    key.update(HARNESS_VERSION.encode() + INIT.encode() + VM_LIB.encode() + kver.encode())
    for path in [busybox] + modules:
        st = os.stat(path)
        key.update(("%s:%d:%d\n" % (path, st.st_size, st.st_mtime_ns)).encode())
    os.makedirs(cache_dir, exist_ok=True)
    out = os.path.join(cache_dir, "base-%s-%s.cpio.gz" % (kver, key.hexdigest()[:16]))
    if os.path.exists(out):
        return out

    c = Cpio()
    with open(busybox, "rb") as f:
        c.file("bin/busybox", f.read(), 0o755)
    load = []
    for path in modules:
        name = _module_name(path)
        c.file("lib/modules/%s.ko" % name, _module_data(path))
        params = MODULE_PARAMS.get(name.replace("_", "-"), "")
        load.append(("%s.ko %s" % (name, params)).strip())
    c.file("etc/modules.load", ("\n".join(load) + "\n").encode())
    c.file("etc/vm-lib.sh", VM_LIB.encode())
    c.file("init", INIT.encode(), 0o755)
    for d in ("proc", "sys", "dev", "tmp", "mnt", "payload"):
        c.dir(d)
    _store(c, out)
    return out


def _store(archive, out):
    """Writes the archive to the cache whole or not at all: boots in parallel share it."""
    tmp = "%s.%d.tmp" % (out, os.getpid())
    with open(tmp, "wb") as f:
        f.write(archive.gz())
    os.replace(tmp, out)


def module_archive(cache_dir, kver, names):
    """More modules, beyond the reader's, for load_more_modules."""
    base = set(module_chain(kver))
    modules = [m for m in module_chain(kver, names) if m not in base]
    key = hashlib.sha256(kver.encode())
    for path in modules:
        st = os.stat(path)
        key.update(("%s:%d:%d\n" % (path, st.st_size, st.st_mtime_ns)).encode())
    out = os.path.join(cache_dir, "modules-%s.cpio.gz" % key.hexdigest()[:16])
    if not os.path.exists(out):
        c = Cpio()
        for path in modules:
            c.file("lib/modules/more/%s.ko" % _module_name(path), _module_data(path))
        c.file("etc/modules.more", "".join("more/%s.ko\n" % _module_name(p) for p in modules).encode())
        _store(c, out)
    return out


def cli_archive(cache_dir, cli):
    """The CLI as its own archive, shared by every boot of the same binary."""
    with open(cli, "rb") as f:
        data = f.read()
    out = os.path.join(cache_dir, "cli-%s.cpio.gz" % hashlib.sha256(data).hexdigest()[:16])
    if not os.path.exists(out):
        c = Cpio()
        c.file("payload/brisant-cli", data, 0o755)
        _store(c, out)
    return out


def program_archive(cache_dir, program):
    """A dynamically linked program of the host's, with the libraries ldd
    names, at the same paths in the guest."""
    r = subprocess.run(["ldd", program], capture_output=True, text=True)
    if r.returncode != 0:
        raise Skip("ldd cannot list the libraries of %s: %s" % (program, r.stderr.strip()))
    files = [program] + re.findall(r"(/\S+) \(0x", r.stdout)
    key = hashlib.sha256()
    for path in files:
        st = os.stat(path)
        key.update(("%s:%d:%d\n" % (path, st.st_size, st.st_mtime_ns)).encode())
    os.makedirs(cache_dir, exist_ok=True)
    out = os.path.join(cache_dir, "%s-%s.cpio.gz" % (os.path.basename(program), key.hexdigest()[:16]))
    if not os.path.exists(out):
        c = Cpio()
        for path in files:
            with open(path, "rb") as f:
                c.file(path, f.read(), 0o755)
        _store(c, out)
    return out


def helper_archive(cache_dir, source):
    """A small C program of the tests', built static, as /payload/NAME."""
    with open(source, "rb") as f:
        code = f.read()
    name = os.path.splitext(os.path.basename(source))[0].replace("_", "-")
    out = os.path.join(cache_dir, "%s-%s.cpio.gz" % (name, hashlib.sha256(code).hexdigest()[:16]))
    if os.path.exists(out):
        return out
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        raise Skip("no C compiler for %s (install gcc)" % source)
    os.makedirs(cache_dir, exist_ok=True)
    binary = "%s.%d.bin" % (out, os.getpid())
    r = subprocess.run([cc, "-O2", "-static", "-o", binary, source], capture_output=True, text=True)
    if r.returncode != 0:
        raise AssertionError("%s does not build:\n%s" % (source, r.stderr))
    c = Cpio()
    with open(binary, "rb") as f:
        c.file("payload/" + name, f.read(), 0o755)
    os.remove(binary)
    _store(c, out)
    return out


# ------------------------------------------------------------------- running

class GuestResult:
    def __init__(self, text, console, seconds):
        self.text = text
        self.console = console
        self.seconds = seconds
        m = re.search(r"^" + re.escape(EXIT_MARK) + r"(\d+)\s*$", text, re.M)
        self.exit = int(m.group(1)) if m else None
        self.sections = {}
        self.rcs = {}
        for m in re.finditer(r"^@@BEGIN (\S+)\n(.*?)^@@RC \1 (\d+)\n@@END \1$", text, re.M | re.S):
            self.sections[m.group(1)] = m.group(2)
            self.rcs[m.group(1)] = int(m.group(3))

    def out(self, tag):
        if tag not in self.sections:
            raise AssertionError("guest did not report '%s'" % tag)
        return self.sections[tag]

    def rc(self, tag):
        self.out(tag)
        return self.rcs[tag]


class Machine:
    def __init__(self, cli, work_dir, cache_dir):
        require_tools("qemu-system-x86_64", "modprobe")
        if not os.path.isfile(cli):
            raise AssertionError("%s has not been built" % cli)
        if not is_static_elf(cli):
            raise Skip("%s is not linked statically (configure with -DBRISANT_STATIC_CLI=ON)" % cli)
        self.cli = cli
        self.work = work_dir
        self.cache = cache_dir
        self.kernel, self.kver = newest_kernel()
        self.last = None
        os.makedirs(work_dir, exist_ok=True)

    def boot(self, name, script, cards, timeout=200, extra_cmdline="", archives=(), files=None,
             memory=256, shares=(), modules=()):
        """cards: list of dicts(path or nbd, readonly=False, removable=True,
        empty=False, slot=False); a slot card sits on an SD host controller, not
        a USB reader; nbd names the unix socket of a server of the card's disk.
        archives: more of the guest's files, from program_archive; files:
        {name: bytes} put beside run.sh in /payload. shares: (host folder,
        tag, readonly) for virtio-9p; modules: more of the kernel's, loaded by
        load_more_modules."""
        if modules:
            archives = tuple(archives) + (module_archive(self.cache, self.kver, modules),)
        base = base_initramfs(self.cache, self.kver)
        cli = cli_archive(self.cache, self.cli)
        c = Cpio()
        c.file("payload/run.sh", script.encode(), 0o755)
        for file_name, data in (files or {}).items():
            c.file("payload/" + file_name, data)
        initrd = os.path.join(self.work, name + ".initrd")
        with open(initrd, "wb") as f:
            for part in (base, cli) + tuple(archives):
                with open(part, "rb") as p:
                    f.write(p.read())
            f.write(c.gz())

        console = os.path.join(self.work, name + ".console.log")
        serial = os.path.join(self.work, name + ".serial.log")
        for p in (console, serial):
            if os.path.exists(p):
                os.remove(p)
        cmd = ["qemu-system-x86_64", "-accel", "tcg", "-m", str(memory), "-smp", "1",
               "-nographic", "-monitor", "none", "-nic", "none", "-no-reboot",
               "-kernel", self.kernel, "-initrd", initrd,
               "-append", "console=ttyS0 panic=-1 quiet log_buf_len=4M rdinit=/init " + extra_cmdline,
               "-serial", "file:" + console, "-serial", "file:" + serial,
               "-device", "qemu-xhci,id=xhci"]
        cmd += usb_cards(cards)
        for path, tag, readonly in shares:
            cmd += ["-virtfs", "local,path=%s,mount_tag=%s,security_model=none,multidevs=remap%s"
                    % (path, tag, ",readonly=on" if readonly else "")]
        started = time.monotonic()
        proc = process_group.start(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True)
        try:
            try:
                stderr = proc.communicate(timeout=timeout)[1]
                status = "qemu status %d" % proc.returncode
            except subprocess.TimeoutExpired:
                process_group.stop(proc)
                stderr = proc.communicate()[1]
                status = "qemu stopped after %d s" % timeout
        finally:
            process_group.stop(proc)
            seconds = time.monotonic() - started
        text = _read(serial).replace("\r", "")
        result = GuestResult(text, _read(console), seconds)
        self.last = result
        log("[%s] guest ran %.1f s, %s" % (name, seconds, status))
        if result.exit is None:
            log("---- qemu stderr\n" + stderr)
            log("---- kernel console (tail)\n" + result.console[-4000:])
            log("---- guest output\n" + text)
            raise AssertionError("guest '%s' did not finish (%s)" % (name, status))
        return result


def usb_cards(cards):
    args = []
    for i, card in enumerate(cards):
        if card.get("slot"):
            # QEMU's SD card takes only a power-of-two image size.
            args += ["-drive", "if=none,id=card%d,file=%s,format=raw,cache=unsafe" % (i, card["path"]),
                     "-device", "sdhci-pci", "-device", "sd-card,drive=card%d" % i]
            continue
        drive = "if=none,id=card%d" % i
        if card.get("nbd"):
            drive += ",file=nbd+unix:///?socket=%s,format=raw,cache=unsafe" % card["nbd"]
        elif not card.get("empty"):
            drive += ",file=%s,format=raw,cache=unsafe" % card["path"]
        if card.get("readonly"):
            drive += ",readonly=on"
        dev = "usb-storage,bus=xhci.0,drive=card%d,removable=%s" % (
            i, "on" if card.get("removable", True) else "off")
        if "bootindex" in card:
            dev += ",bootindex=%d" % card["bootindex"]
        args += ["-drive", drive, "-device", dev]
    return args


class LyingCardServer:
    """nbdkit serving a card of tests/vm/lying_card.py's kinds from a file:
    with LyingCardServer(kind, backing, disk_bytes, log) as card: boot(..., [card])."""

    PLUGIN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lying_card.py")

    def __init__(self, kind, backing, disk_bytes, log_path, params=()):
        require_tools("nbdkit")
        self.socket = backing + ".sock"
        self.pidfile = backing + ".pid"
        self.cmd = ["nbdkit", "--foreground", "--exit-with-parent", "--unix", self.socket,
                    "--pidfile", self.pidfile,
                    "python", self.PLUGIN, "kind=" + kind, "file=" + backing, "size=%d" % disk_bytes, *params]
        self.log_path = log_path
        self.proc = None

    def __enter__(self):
        for p in (self.socket, self.pidfile):
            if os.path.exists(p):
                os.remove(p)
        with open(self.log_path, "w") as log_file:
            self.proc = process_group.start(self.cmd, stdin=subprocess.DEVNULL, stdout=log_file,
                                            stderr=subprocess.STDOUT)
        # nbdkit writes its pid file once it accepts connections.
        deadline = time.monotonic() + 20
        while not os.path.exists(self.pidfile):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.__exit__(None, None, None)
                said = _read(self.log_path)
                if "cannot open plugin" in said and "python" in said:
                    raise Skip("nbdkit has no python plugin (install nbdkit-plugin-python)")
                raise AssertionError("nbdkit did not serve the card:\n" + said)
            time.sleep(0.05)
        return {"nbd": self.socket}

    def __exit__(self, *exc):
        if self.proc is not None:
            process_group.stop(self.proc)
        for p in (self.socket, self.pidfile):
            if os.path.exists(p):
                os.remove(p)


def _read(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")
    except FileNotFoundError:
        return ""
