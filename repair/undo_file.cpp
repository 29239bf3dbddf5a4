#include "repair/undo_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>

#include "platform/user_files.h"
#include "repair/boot_sector.h"
#include "repair/capacity_rules.h"

namespace {

constexpr DWORD kSector = 512;
constexpr const char kFormat[] = "brisant undo file 1";

std::string Hex(const platform::Sha256Digest& digest) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (BYTE b : digest) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

bool ParseHex(const std::string& text, platform::Sha256Digest& digest) {
    if (text.size() != 2 * digest.size()) return false;
    for (std::size_t i = 0; i < digest.size(); ++i) {
        unsigned value = 0;
        if (std::sscanf(text.c_str() + 2 * i, "%2x", &value) != 1) return false;
        digest[i] = static_cast<BYTE>(value);
    }
    return Hex(digest) == text;
}

bool ParseNumber(const std::string& text, DWORD& value) {
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const unsigned long long n = std::stoull(text);
    if (n > 0xFFFFFFFFull) return false;
    value = static_cast<DWORD>(n);
    return true;
}

// A line of the header never holds a line break.
std::string OneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return text;
}

// The header up to its blank line, and where the old bytes begin.
std::string ParseHeader(const std::vector<BYTE>& bytes, UndoRecord& r, std::size_t& body) {
    const char* text = reinterpret_cast<const char*>(bytes.data());
    const std::string head(text, std::min<std::size_t>(bytes.size(), 64 * 1024));
    const std::size_t end = head.find("\n\n");
    if (head.compare(0, sizeof kFormat - 1, kFormat) != 0 || end == std::string::npos) {
        return "not an undo file of this program";
    }
    body = end + 2;
    std::istringstream lines(head.substr(0, end));
    std::string line;
    std::getline(lines, line);
    if (line != kFormat) return "an undo file of another version (" + line + ")";
    DWORD oldBytes = 0;
    bool sawOld = false;
    r = UndoRecord();
    while (std::getline(lines, line)) {
        const std::size_t colon = line.find(": ");
        if (colon == std::string::npos) return "a damaged header line: " + line;
        const std::string key = line.substr(0, colon);
        const std::string value = line.substr(colon + 2);
        std::istringstream words(value);
        std::string a, b, c;
        bool good = true;
        if (key == "date") {
            r.date = value;
        } else if (key == "card") {
            r.card = value;
        } else if (key == "declared") {
            good = ParseNumber(value, r.declared);
        } else if (key == "target") {
            good = ParseNumber(value, r.target);
        } else if (key == "range") {
            UndoRange range;
            good = (words >> a >> b >> c) && ParseNumber(a, range.lba) && ParseNumber(b, range.count) &&
                   ParseHex(c, range.written) && range.count > 0 && range.lba + std::uint64_t{range.count} <= 0xFFFFFFFFull;
            r.ranges.push_back(range);
        } else if (key == "marks") {
            good = static_cast<bool>(words >> a >> c) && ParseHex(c, r.marksDigest);
            std::istringstream list(a);
            std::string lba;
            while (good && std::getline(list, lba, ',')) {
                DWORD n = 0;
                good = lba == "-" || ParseNumber(lba, n);
                if (lba != "-") r.marks.push_back(n);
            }
        } else if (key == "old bytes") {
            good = ParseNumber(value, oldBytes);
            sawOld = true;
        }
        if (!good) return "a damaged header line: " + line;
    }
    if (r.ranges.empty() || !sawOld || std::uint64_t{r.Sectors()} * kSector != oldBytes || r.declared == 0 ||
        r.target == 0) {
        return "an incomplete header";
    }
    return std::string();
}

}  // namespace

DWORD UndoRecord::Sectors() const {
    std::uint64_t sectors = 0;
    for (const UndoRange& range : ranges) sectors += range.count;
    return sectors > 0xFFFFFFu ? 0xFFFFFFu : static_cast<DWORD>(sectors);
}

bool LayoutRanges(const Fat16Geometry& g, std::vector<UndoRange>& ranges) {
    ranges = {{0, kReservedSectors, {}},
              {g.fat1Lba(), g.fatSectors, {}},
              {g.fat2Lba(), g.fatSectors, {}},
              {g.rootLba(), kRootDirSectors, {}}};
    std::vector<BYTE> bytes(std::size_t{g.fatSectors > kReservedSectors ? g.fatSectors : kReservedSectors} * kSector);
    BuildBootSector(bytes.data(), g);
    if (!platform::Sha256(bytes.data(), kReservedSectors * kSector, ranges[0].written)) return false;
    std::fill(bytes.begin(), bytes.end(), BYTE{0});
    std::memcpy(bytes.data(), kFatStart, sizeof kFatStart);
    platform::Sha256(bytes.data(), std::size_t{g.fatSectors} * kSector, ranges[1].written);
    ranges[2].written = ranges[1].written;
    std::vector<BYTE> root(kRootDirSectors * kSector);
    return platform::Sha256(root.data(), root.size(), ranges[3].written);
}

std::vector<BYTE> EncodeUndo(const UndoRecord& r) {
    std::string head = std::string(kFormat) + "\n";
    head += "date: " + OneLine(r.date) + "\n";
    head += "card: " + OneLine(r.card) + "\n";
    head += "declared: " + std::to_string(r.declared) + "\n";
    head += "target: " + std::to_string(r.target) + "\n";
    for (const UndoRange& range : r.ranges) {
        head += "range: " + std::to_string(range.lba) + " " + std::to_string(range.count) + " " + Hex(range.written) + "\n";
    }
    std::string marks;
    for (DWORD lba : r.marks) marks += (marks.empty() ? "" : ",") + std::to_string(lba);
    head += "marks: " + (marks.empty() ? std::string("-") : marks) + " " + Hex(r.marksDigest) + "\n";
    head += "old bytes: " + std::to_string(r.old.size()) + "\n\n";
    std::vector<BYTE> bytes(head.begin(), head.end());
    bytes.insert(bytes.end(), r.old.begin(), r.old.end());
    platform::Sha256Digest whole{};
    platform::Sha256(bytes.data(), bytes.size(), whole);
    bytes.insert(bytes.end(), whole.begin(), whole.end());
    return bytes;
}

std::string DecodeUndoHeader(const std::vector<BYTE>& bytes, UndoRecord& r) {
    std::size_t body = 0;
    return ParseHeader(bytes, r, body);
}

std::string DecodeUndo(const std::vector<BYTE>& bytes, UndoRecord& r) {
    platform::Sha256Digest whole{};
    const std::size_t digestSize = whole.size();
    if (bytes.size() < digestSize || !platform::Sha256(bytes.data(), bytes.size() - digestSize, whole)) {
        return bytes.size() < digestSize ? "the file is damaged (too short)" : "no SHA-256 on this system";
    }
    if (std::memcmp(whole.data(), bytes.data() + bytes.size() - digestSize, digestSize) != 0) {
        return "the file is damaged or cut short (its check does not match)";
    }
    std::size_t body = 0;
    const std::string why = ParseHeader(bytes, r, body);
    if (!why.empty()) return "the file is damaged: " + why;
    if (bytes.size() - digestSize - body != std::size_t{r.Sectors()} * kSector) return "the file is damaged (wrong size)";
    // Only the sectors a repair to that size writes are ever written back.
    std::vector<UndoRange> layout;
    if (!IsCapacityEligible(r.declared) || r.target != TargetCapacity(r.declared) ||
        !LayoutRanges(ComputeGeometry(r.target), layout) || layout.size() != r.ranges.size()) {
        return "the file does not describe a repair of this program";
    }
    for (std::size_t i = 0; i < layout.size(); ++i) {
        if (layout[i].lba != r.ranges[i].lba || layout[i].count != r.ranges[i].count ||
            layout[i].written != r.ranges[i].written) {
            return "the file does not describe a repair of this program";
        }
    }
    r.old.assign(bytes.begin() + static_cast<std::ptrdiff_t>(body), bytes.end() - static_cast<std::ptrdiff_t>(digestSize));
    return std::string();
}

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
#if defined(_WIN32)
    gmtime_s(&utc, &now);
#else
    gmtime_r(&now, &utc);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string NewUndoPath(const std::string& folder, const std::string& card, DWORD declared) {
    std::string date = UtcNow();  // 2026-12-09T20:15:03Z
    std::string stamp;
    for (char c : date) {
        if (c >= '0' && c <= '9') stamp += c;
        if (c == 'T') stamp += '-';
    }
    // The card as a name any file system takes: the last element of the path
    // that opens its identity line.
    std::string name = card.substr(0, card.find(": "));
    while (!name.empty() && (name.back() == '/' || name.back() == '\\')) name.pop_back();
    const std::size_t slash = name.find_last_of("/\\");
    if (slash != std::string::npos) name.erase(0, slash + 1);
    for (char& c : name) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-')) c = '_';
    }
    if (name.empty()) name = "card";
    const std::string base = stamp + "-" + name + "-" + std::to_string(declared >> 11) + "MB";
    for (int n = 1;; ++n) {
        std::string file = base;
        if (n > 1) file.append("-").append(std::to_string(n));
        const std::string path = platform::JoinPath(folder, file.append(kUndoSuffix));
        if (!platform::FileExists(path)) return path;
    }
}

namespace {

// The names in a root directory: 8.3 names, folders with a slash; deleted
// entries, long-name parts and the volume label left out.
std::vector<std::string> RootNames(const BYTE* root, std::size_t size) {
    std::vector<std::string> names;
    for (std::size_t at = 0; at + 32 <= size; at += 32) {
        const BYTE* e = root + at;
        if (e[0] == 0) break;
        const BYTE attributes = e[11];
        if (e[0] == 0xE5 || attributes == 0x0F || (attributes & 0x08) != 0) continue;
        auto part = [](const BYTE* p, std::size_t n) {
            std::string s(reinterpret_cast<const char*>(p), n);
            s.erase(s.find_last_not_of(' ') + 1);
            for (char& c : s) {
                if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
            }
            return s;
        };
        std::string name = part(e, 8);
        if (!name.empty() && name[0] == 0x05) name[0] = static_cast<char>(0xE5);
        const std::string extension = part(e + 8, 3);
        if (!extension.empty()) name += "." + extension;
        if ((attributes & 0x10) != 0) name += "/";
        names.push_back(name);
    }
    return names;
}

}  // namespace

UndoJudgement JudgeCard(const UndoRecord& r, const std::vector<BYTE>& current, bool marksMatch) {
    UndoJudgement judgement;
    judgement.sameCard = marksMatch;
    if (current.size() != r.old.size() || r.ranges.empty()) return judgement;
    std::size_t at = 0;
    bool allOld = true, anyOld = false, bootNeither = false, anyNeither = false;
    for (std::size_t i = 0; i < r.ranges.size(); ++i) {
        const std::size_t size = std::size_t{r.ranges[i].count} * kSector;
        platform::Sha256Digest digest{};
        platform::Sha256(current.data() + at, size, digest);
        const bool written = digest == r.ranges[i].written;
        const bool old = std::memcmp(current.data() + at, r.old.data() + at, size) == 0;
        allOld = allOld && old;
        anyOld = anyOld || (old && !written);
        if (!written && !old) {
            anyNeither = true;
            if (i == 0) bootNeither = true;
        }
        at += size;
    }
    if (allOld) {
        judgement.state = UndoState::Restored;
    } else if (bootNeither) {
        judgement.state = UndoState::OtherCard;
    } else if (anyNeither) {
        // The root directory is the last range: its names say whose tables
        // a forced undo overwrites.
        judgement.state = UndoState::Changed;
        const std::size_t rootSize = std::size_t{r.ranges.back().count} * kSector;
        judgement.files = RootNames(current.data() + current.size() - rootSize, rootSize);
    } else if (!marksMatch) {
        judgement.state = UndoState::OtherCard;
    } else {
        judgement.state = anyOld ? UndoState::Resumes : UndoState::Ready;
    }
    return judgement;
}
