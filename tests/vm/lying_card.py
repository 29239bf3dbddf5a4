"""An nbdkit plugin: a card whose storage may lie about what it holds.

nbdkit python PLUGIN kind=KIND file=PATH size=BYTES [cache=SECTORS]

The disk is size bytes. Its real storage is the file PATH (sparse, made by the
test, sector 0 included); past the file's end the kind decides:
  genuine  there is no past: the file is as large as the disk;
  wrap     a sector reads and writes the sector at its offset modulo the file;
  drop     writes succeed and go nowhere, reads return zeros;
  cache    the last SECTORS sectors written there (4096 unless given) are kept
           and read back right, older ones read zeros.
"""

import collections
import os

import nbdkit

API_VERSION = 2
SECTOR = 512
KINDS = ("genuine", "wrap", "drop", "cache")

kind = None
path = None
size = None
cache_sectors = 4096


def config(key, value):
    global kind, path, size, cache_sectors
    if key == "kind":
        if value not in KINDS:
            raise ValueError("kind must be one of %s" % ", ".join(KINDS))
        kind = value
    elif key == "file":
        path = value
    elif key == "size":
        size = int(value)
    elif key == "cache":
        cache_sectors = int(value)
    else:
        raise ValueError("unknown parameter %s" % key)


def config_complete():
    if kind is None or path is None or size is None:
        raise ValueError("kind, file and size are required")
    if size % SECTOR or cache_sectors < 1:
        raise ValueError("size must be whole sectors and cache at least one")


def thread_model():
    return nbdkit.THREAD_MODEL_SERIALIZE_ALL_REQUESTS


class Card:
    def __init__(self):
        self.fd = os.open(path, os.O_RDWR)
        self.real = os.fstat(self.fd).st_size
        if self.real % SECTOR or not 0 < self.real <= size:
            raise ValueError("%s: %d bytes, not whole sectors up to %d" % (path, self.real, size))
        if kind == "genuine" and self.real != size:
            raise ValueError("a genuine card's file is as large as its disk")
        # Sector number -> its bytes, oldest write first.
        self.cache = collections.OrderedDict()

    def close(self):
        os.close(self.fd)

    def read(self, offset, count):
        if offset + count <= self.real:
            return os.pread(self.fd, count, offset)
        if offset < self.real:
            head = self.real - offset
            return self.read(offset, head) + self.read(self.real, count - head)
        if kind == "wrap":
            return b"".join(self.read(at % self.real, n) for at, n in self.wrapped(offset, count))
        if kind == "cache":
            first, last = offset // SECTOR, (offset + count - 1) // SECTOR
            data = b"".join(self.cache.get(s, bytes(SECTOR)) for s in range(first, last + 1))
            return data[offset % SECTOR:offset % SECTOR + count]
        return bytes(count)

    def write(self, data, offset):
        count = len(data)
        if offset + count <= self.real:
            os.pwrite(self.fd, data, offset)
            return
        if offset < self.real:
            head = self.real - offset
            self.write(data[:head], offset)
            self.write(data[head:], self.real)
            return
        if kind == "wrap":
            done = 0
            for at, n in self.wrapped(offset, count):
                self.write(data[done:done + n], at % self.real)
                done += n
        elif kind == "cache":
            if offset % SECTOR or count % SECTOR:
                # Part of a sector: the rest of it as the card reads it now.
                first = offset - offset % SECTOR
                whole = bytearray(self.read(first, -(-(offset + count - first) // SECTOR) * SECTOR))
                whole[offset - first:offset - first + count] = data
                data, offset, count = bytes(whole), first, len(whole)
            first = offset // SECTOR
            for i in range(count // SECTOR):
                self.cache.pop(first + i, None)
                self.cache[first + i] = data[i * SECTOR:(i + 1) * SECTOR]
            while len(self.cache) > cache_sectors:
                self.cache.popitem(last=False)

    def wrapped(self, offset, count):
        """The request cut where it crosses a multiple of the real size."""
        while count:
            n = min(count, self.real - offset % self.real)
            yield offset, n
            offset += n
            count -= n


def open(readonly):
    return Card()


def close(h):
    h.close()


def get_size(h):
    return size


def pread(h, buf, offset, flags):
    buf[:] = h.read(offset, len(buf))


def pwrite(h, buf, offset, flags):
    h.write(bytes(buf), offset)


def flush(h, flags):
    os.fsync(h.fd)
