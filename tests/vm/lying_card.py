"""An nbdkit plugin: a card whose storage may lie about what it holds.

nbdkit python PLUGIN kind=KIND file=PATH size=BYTES [cache=SECTORS] [small=SECTORS]

The disk is size bytes. Its real storage is the file PATH (sparse, made by the
test, sector 0 included); past the file's end the kind decides:
  genuine  there is no past: the file is as large as the disk;
  wrap     a sector reads and writes the sector at its offset modulo the file;
  drop     writes succeed and go nowhere, reads return zeros;
  cache    drop, behind a cache of 4096 sectors unless cache= says otherwise.

With cache=SECTORS, a wrap or drop card keeps the last SECTORS sectors
written past the file's end in a write-back cache: they read back as written
until newer writes push them out, and only then land where the kind sends
them (the folded sector, or nowhere). With small=SECTORS as well, writes of
at most 8 sectors go to a cache of that many sectors of their own, and only
longer ones to the large cache. Whatever the caches hold when nbdkit stops
lands too, oldest first, as a card writes its cache out when it loses power.
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
cache_sectors = None
small_sectors = 0
SMALL_WRITE = 8 * SECTOR


def config(key, value):
    global kind, path, size, cache_sectors, small_sectors
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
    elif key == "small":
        small_sectors = int(value)
    else:
        raise ValueError("unknown parameter %s" % key)


def config_complete():
    global kind, cache_sectors
    if kind is None or path is None or size is None:
        raise ValueError("kind, file and size are required")
    if kind == "cache":
        kind, cache_sectors = "drop", cache_sectors or 4096
    if kind == "genuine" and (cache_sectors or small_sectors):
        raise ValueError("a genuine card has nothing past its storage to cache")
    if small_sectors and not cache_sectors:
        raise ValueError("small= needs cache=")
    if size % SECTOR or (cache_sectors is not None and cache_sectors < 1) or small_sectors < 0:
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
        # Sector number -> its bytes, oldest write first: the large cache and
        # the one for small writes.
        self.caches = [collections.OrderedDict(), collections.OrderedDict()]

    def close(self):
        for cache in self.caches:
            while cache:
                self.land(*cache.popitem(last=False))
        os.close(self.fd)

    def land(self, sector, data):
        """A cached sector written out where the kind sends it."""
        if kind == "wrap":
            os.pwrite(self.fd, data, sector * SECTOR % self.real)

    def read(self, offset, count):
        if offset + count <= self.real:
            return os.pread(self.fd, count, offset)
        if offset < self.real:
            head = self.real - offset
            return self.read(offset, head) + self.read(self.real, count - head)
        if cache_sectors:
            first, last = offset // SECTOR, (offset + count - 1) // SECTOR
            data = b"".join(self.cached(s) for s in range(first, last + 1))
            return data[offset % SECTOR:offset % SECTOR + count]
        return self.past_end(offset, count)

    def past_end(self, offset, count):
        if kind == "wrap":
            return b"".join(self.read(at % self.real, n) for at, n in self.wrapped(offset, count))
        return bytes(count)

    def cached(self, sector):
        for cache in self.caches:
            if sector in cache:
                return cache[sector]
        return self.past_end(sector * SECTOR, SECTOR)

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
        if cache_sectors:
            if offset % SECTOR or count % SECTOR:
                # Part of a sector: the rest of it as the card reads it now.
                first = offset - offset % SECTOR
                whole = bytearray(self.read(first, -(-(offset + count - first) // SECTOR) * SECTOR))
                whole[offset - first:offset - first + count] = data
                data, offset, count = bytes(whole), first, len(whole)
            small = bool(small_sectors) and count <= SMALL_WRITE
            cache, room = (self.caches[1], small_sectors) if small else (self.caches[0], cache_sectors)
            first = offset // SECTOR
            for i in range(count // SECTOR):
                for c in self.caches:
                    c.pop(first + i, None)
                cache[first + i] = data[i * SECTOR:(i + 1) * SECTOR]
            while len(cache) > room:
                self.land(*cache.popitem(last=False))
        elif kind == "wrap":
            done = 0
            for at, n in self.wrapped(offset, count):
                self.write(data[done:done + n], at % self.real)
                done += n

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
