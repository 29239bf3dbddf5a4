#include "repair/surface_test.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "repair/sector_stamps.h"

namespace {

constexpr int kWords = kSectorSize / 8;
constexpr std::uintptr_t kPageAlign = 4096;
// An odd constant whose multiples keep every word of a pattern distinct.
constexpr std::uint64_t kStride = 0x9E3779B97F4A7C15;

// A seed of its own for every sector and run (splitmix64's finaliser).
std::uint64_t Seed(DWORD lba, std::uint64_t run) {
    std::uint64_t x = run ^ (std::uint64_t{lba} * kStride);
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EB;
    return x ^ (x >> 31);
}

std::uint64_t Word(const BYTE* data, int i) {
    std::uint64_t w;
    std::memcpy(&w, data + 8 * i, 8);
    return w;
}

// Word 0 holds the run and word 1 the sector, so that a sector read back
// names whose pattern it holds; the rest is cheap to make and to check, which
// matters when every sector of the card goes through it twice.
bool Matches(const BYTE* data, DWORD lba, std::uint64_t run) {
    if (Word(data, 0) != run || Word(data, 1) != lba) return false;
    std::uint64_t expected = Seed(lba, run) + 2 * kStride;
    std::uint64_t differs = 0;
    for (int i = 2; i < kWords; ++i, expected += kStride) differs |= Word(data, i) ^ expected;
    return differs == 0;
}

bool AllBytes(const BYTE* data, BYTE value) {
    for (DWORD i = 0; i < kSectorSize; ++i) {
        if (data[i] != value) return false;
    }
    return true;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Count(SurfaceReport& r, DWORD lba, SectorVerdict verdict, DWORD holds) {
    switch (verdict) {
        case SectorVerdict::Good: ++r.good; return;
        case SectorVerdict::Dropped: ++r.dropped; break;
        case SectorVerdict::Wrapped:
            if (r.wrapped++ == 0) {
                r.firstWrapped = lba;
                r.wrappedFrom = holds;
            }
            break;
        case SectorVerdict::Changed: ++r.changed; break;
    }
    if (r.firstBad == SurfaceReport::kNone) r.firstBad = lba;
}

double MegabytesPerSecond(DWORD sectors, double seconds) {
    return seconds > 0 ? sectors * double{kSectorSize} / 1e6 / seconds : 0;
}

std::string Sectors(DWORD n) { return std::to_string(n) + (n == 1 ? " sector" : " sectors"); }

}  // namespace

void FillSurfacePattern(BYTE* sector, DWORD lba, std::uint64_t run) {
    const std::uint64_t header[2] = {run, lba};
    std::memcpy(sector, header, sizeof header);
    std::uint64_t word = Seed(lba, run) + 2 * kStride;
    for (int i = 2; i < kWords; ++i, word += kStride) std::memcpy(sector + 8 * i, &word, 8);
}

SectorVerdict JudgeSector(const BYTE* data, DWORD lba, std::uint64_t run, DWORD sectors, DWORD& holds) {
    if (Matches(data, lba, run)) return SectorVerdict::Good;
    if (AllBytes(data, 0x00) || AllBytes(data, 0xFF)) return SectorVerdict::Dropped;
    const std::uint64_t owner = Word(data, 1);
    if (owner == lba && Matches(data, lba, Word(data, 0))) return SectorVerdict::Dropped;
    if (owner < sectors && Matches(data, static_cast<DWORD>(owner), run)) {
        holds = static_cast<DWORD>(owner);
        return SectorVerdict::Wrapped;
    }
    return SectorVerdict::Changed;
}

// Everything is written before anything is read back: a card that keeps
// recent writes in a cache in front of missing flash can answer only the
// last few from it.
SurfaceReport RunSurfaceTest(CCardDevice& device, HANDLE handle, DWORD sectors, ICapacityOperator& op) {
    SurfaceReport r;
    r.sectors = sectors;
    const std::uint64_t run = NewStampRun();
    // On a page boundary, so that the system can hand the pages themselves to
    // the reader instead of copying every command through a buffer of its own.
    std::vector<BYTE> storage(std::size_t{kMaxSectorsPerCommand} * kSectorSize + kPageAlign - 1);
    BYTE* const buffer = storage.data() + (kPageAlign - reinterpret_cast<std::uintptr_t>(storage.data()) % kPageAlign) %
                                              kPageAlign;

    auto start = std::chrono::steady_clock::now();
    while (r.written < sectors && !r.failed) {
        if (op.StopRequested()) {
            r.stopped = true;
            break;
        }
        const DWORD at = r.written;
        const DWORD n = sectors - at < kMaxSectorsPerCommand ? sectors - at : kMaxSectorsPerCommand;
        for (DWORD i = 0; i < n; ++i) FillSurfacePattern(buffer + std::size_t{i} * kSectorSize, at + i, run);
        r.failed = !device.WriteSectors(handle, buffer, at, n);
        if (!r.failed) r.written = at + n;
        op.ShowTestProgress("writing", r.written, sectors);
    }
    r.writeSeconds = SecondsSince(start);

    // After a failed write the sectors written so far still tell whether the
    // card holds its declared size.
    start = std::chrono::steady_clock::now();
    bool failedRead = false;
    while (!r.stopped && r.read < r.written && !failedRead) {
        if (op.StopRequested()) {
            r.stopped = true;
            break;
        }
        const DWORD at = r.read;
        const DWORD n = r.written - at < kMaxSectorsPerCommand ? r.written - at : kMaxSectorsPerCommand;
        failedRead = !device.ReadSectors(handle, buffer, at, n);
        if (failedRead) break;
        for (DWORD i = 0; i < n; ++i) {
            DWORD holds = 0;
            const SectorVerdict verdict =
                JudgeSector(buffer + std::size_t{i} * kSectorSize, at + i, run, sectors, holds);
            Count(r, at + i, verdict, holds);
        }
        r.read = at + n;
        op.ShowTestProgress("reading", r.read, r.written);
    }
    r.readSeconds = SecondsSince(start);
    r.failed = r.failed || failedRead;
    // A sector never read back is no proof of anything.
    if (r.read < sectors && r.firstBad == SurfaceReport::kNone) r.firstBad = r.read;
    return r;
}

std::vector<std::string> SurfaceSummary(const SurfaceReport& r) {
    std::vector<std::string> lines;
    char line[160];
    std::snprintf(line, sizeof line, "surface test of %u sectors (%s)%s", static_cast<unsigned>(r.sectors),
                  (std::to_string(r.sectors >> 11) + " MB").c_str(),
                  r.stopped ? (": " + SurfaceStopPoint(r)).c_str() : r.failed ? ": ended by a failed command" : "");
    lines.push_back(line);
    lines.push_back("  good      " + std::to_string(r.good));
    lines.push_back("  dropped   " + std::to_string(r.dropped) + "  (zeros, 0xFF or an earlier run's bytes)");
    std::string wrapped = "  wrapped   " + std::to_string(r.wrapped);
    if (r.wrapped > 0) {
        const long long distance = static_cast<long long>(r.wrappedFrom) - r.firstWrapped;
        wrapped += "  (sector " + std::to_string(r.firstWrapped) + " holds the pattern of sector " +
                   std::to_string(r.wrappedFrom) + ", " + (distance < 0 ? "" : "+") + std::to_string(distance) +
                   ")";
    }
    lines.push_back(wrapped);
    lines.push_back("  changed   " + std::to_string(r.changed));
    if (r.read < r.sectors) lines.push_back("  not read  " + std::to_string(r.sectors - r.read));
    // A stopped test never read the rest back: those sectors are untested, not bad.
    if (r.stopped && r.firstBad >= r.read) {
        lines.push_back("  first bad sector: none of those read");
    } else {
        lines.push_back(r.AllGood() ? "  first bad sector: none"
                                    : "  first bad sector: " + std::to_string(r.firstBad));
    }
    std::snprintf(line, sizeof line, "  write %.1f MB/s, read %.1f MB/s", MegabytesPerSecond(r.written, r.writeSeconds),
                  MegabytesPerSecond(r.read, r.readSeconds));
    lines.push_back(line);
    return lines;
}

std::string SurfaceStopPoint(const SurfaceReport& r) {
    const auto mb = [](DWORD sectors) { return std::to_string(sectors >> 11); };
    if (r.written == 0) return "stopped before the first write";
    if (r.written < r.sectors) return "stopped while writing, at " + mb(r.written) + " of " + mb(r.sectors) + " MB";
    if (r.read < r.written) return "stopped while reading back, at " + mb(r.read) + " of " + mb(r.sectors) + " MB";
    return "stopped after the last read-back";
}

std::string SurfaceStopReason(const SurfaceReport& r, DWORD declared) {
    if (r.written == 0) return SurfaceStopPoint(r) + "; the card is as it was";
    return SurfaceStopPoint(r) + "; the card keeps its declared size, " + std::to_string(declared >> 11) + " MB" +
           ", with an empty volume";
}

std::string SurfaceReason(const SurfaceReport& r, DWORD declared) {
    std::string where = "sector " + std::to_string(r.firstBad);
    if (r.firstBad == r.firstWrapped) {
        where += " holds the pattern of sector " + std::to_string(r.wrappedFrom);
    } else if (r.firstBad >= r.read) {
        where += " was never read back";
    } else {
        where += " did not hold its pattern";
    }
    const std::string bad = Sectors(r.sectors - r.good) + " of " + std::to_string(r.sectors) + " failed";
    if (!r.HoldsBelow(declared)) {
        return "the card is damaged below its declared size: " + where + " (" + bad +
               "); no file system was written, and every sector tested was overwritten";
    }
    return "the card does not hold " + std::to_string(r.sectors) + " sectors: " + where + " (" + bad + ")" +
           (r.provenBelow >= declared ? ", but its declared sectors tested again alone held" : "") +
           "; it was re-formatted at its declared " + std::to_string(declared) + " sectors, empty, and works as before";
}
