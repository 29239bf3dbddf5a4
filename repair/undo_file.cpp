#include "repair/undo_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>

#include <random>

#include "device/card_device.h"
#include "platform/user_files.h"
#include "repair/boot_sector.h"
#include "repair/capacity_rules.h"

namespace {

// Version 1 files carry no token: nothing in them tells their card from
// another repaired to the same size, so they are not used.
constexpr const char kFormat[] = "brisant undo file 2";
constexpr char kTokenMagic[16] = "brisant repair ";
constexpr std::size_t kMaxMarks = 8;

template <std::size_t N>
std::string Hex(const std::array<BYTE, N>& digest) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (BYTE b : digest) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

template <std::size_t N>
bool ParseHex(const std::string& text, std::array<BYTE, N>& digest) {
    if (text.size() != 2 * digest.size()) return false;
    for (std::size_t i = 0; i < digest.size(); ++i) {
        unsigned value = 0;
        if (std::sscanf(text.c_str() + 2 * i, "%2x", &value) != 1) return false;
        digest[i] = static_cast<BYTE>(value);
    }
    return Hex(digest) == text;
}

bool ParseNumber(const std::string& text, DWORD& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    std::uint64_t n = 0;
    for (char c : text) {
        n = n * 10 + static_cast<unsigned>(c - '0');
        if (n > 0xFFFFFFFFull) return false;
    }
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
    bool sawToken = false;
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
        } else if (key == "token") {
            good = ParseHex(value, r.token);
            sawToken = true;
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
    if (r.ranges.empty() || !sawOld || !sawToken || std::uint64_t{r.Sectors()} * kSectorSize != oldBytes || r.declared == 0 ||
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

UndoToken NewUndoToken() {
    std::random_device source;
    UndoToken token{};
    for (std::size_t i = 0; i < token.size(); i += 4) {
        const unsigned value = source();
        for (std::size_t b = 0; b < 4; ++b) token[i + b] = static_cast<BYTE>(value >> (8 * b));
    }
    return token;
}

DWORD TokenLba(const Fat16Geometry& g) { return g.totalSectors - 1; }

void FillTokenSector(BYTE* sector, const UndoToken& token) {
    std::memset(sector, 0, kSectorSize);
    std::memcpy(sector, kTokenMagic, sizeof kTokenMagic);
    std::memcpy(sector + sizeof kTokenMagic, token.data(), token.size());
}

bool ReadTokenSector(const BYTE* sector, UndoToken& token) {
    BYTE expected[kSectorSize];
    std::memcpy(token.data(), sector + sizeof kTokenMagic, token.size());
    FillTokenSector(expected, token);
    return std::memcmp(expected, sector, kSectorSize) == 0;
}

std::vector<BYTE> LayoutBytes(const Fat16Geometry& g, const UndoToken& token) {
    std::vector<BYTE> bytes(std::size_t{1 + g.dataLba()} * kSectorSize);
    FillTokenSector(bytes.data(), token);
    BYTE* volume = bytes.data() + kSectorSize;
    BuildBootSector(volume, g);
    std::memcpy(volume + std::size_t{g.fat1Lba()} * kSectorSize, kFatStart, sizeof kFatStart);
    std::memcpy(volume + std::size_t{g.fat2Lba()} * kSectorSize, kFatStart, sizeof kFatStart);
    return bytes;
}

bool LayoutRanges(const Fat16Geometry& g, const UndoToken& token, std::vector<UndoRange>& ranges) {
    ranges = {{TokenLba(g), 1, {}},
              {0, kReservedSectors, {}},
              {g.fat1Lba(), g.fatSectors, {}},
              {g.fat2Lba(), g.fatSectors, {}},
              {g.rootLba(), kRootDirSectors, {}}};
    const std::vector<BYTE> bytes = LayoutBytes(g, token);
    std::size_t at = 0;
    for (UndoRange& range : ranges) {
        const std::size_t size = std::size_t{range.count} * kSectorSize;
        if (!platform::Sha256(bytes.data() + at, size, range.written)) return false;
        at += size;
    }
    return true;
}

namespace {

DWORD Get16(const BYTE* p) { return DWORD{p[0]} | DWORD{p[1]} << 8; }

}  // namespace

std::vector<DWORD> FileMarks(const std::vector<BYTE>& start, const Fat16Geometry& g, DWORD declared) {
    const BYTE* boot = start.data();
    if (start.size() < kSectorSize || (boot[0] != 0xEB && boot[0] != 0xE9) || Get16(boot + 11) != kSectorSize) return {};
    const DWORD perCluster = boot[13];
    const DWORD reserved = Get16(boot + 14);
    const DWORD tables = boot[16];
    const DWORD fatSectors = Get16(boot + 22);
    const DWORD total = Get16(boot + 19) != 0 ? Get16(boot + 19) : DWORD{boot[32]} | DWORD{boot[33]} << 8 |
                                                                        DWORD{boot[34]} << 16 | DWORD{boot[35]} << 24;
    if (perCluster == 0 || (perCluster & (perCluster - 1)) != 0 || reserved == 0 || tables == 0 || fatSectors == 0) {
        return {};
    }
    const std::uint64_t data = reserved + std::uint64_t{tables} * fatSectors + (Get16(boot + 17) * 32 + kSectorSize - 1) / kSectorSize;
    if (data >= total) return {};
    const std::uint64_t clusters = (total - data) / perCluster;
    // FAT12 packs its entries otherwise; such a card has no files worth a mark.
    if (clusters < 4085 || clusters > 65524) return {};
    std::vector<DWORD> candidates;
    for (std::uint64_t cluster = 2; cluster < clusters + 2; ++cluster) {
        const std::uint64_t entry = std::uint64_t{reserved} * kSectorSize + cluster * 2;
        if (entry + 2 > start.size()) break;  // only what the undo file holds of the table
        const DWORD value = Get16(start.data() + entry);
        if (value == 0 || value == 0xFFF7) continue;
        const std::uint64_t lba = data + (cluster - 2) * perCluster;
        if (lba >= g.dataLba() && lba < declared && lba != TokenLba(g)) candidates.push_back(static_cast<DWORD>(lba));
    }
    if (candidates.size() <= kMaxMarks) return candidates;
    // Spread over the files, the first among them: new files fill the lowest clusters first.
    std::vector<DWORD> marks;
    for (std::size_t i = 0; i < kMaxMarks; ++i) marks.push_back(candidates[i * (candidates.size() - 1) / (kMaxMarks - 1)]);
    return marks;
}

std::vector<BYTE> EncodeUndo(const UndoRecord& r) {
    std::string head = std::string(kFormat) + "\n";
    head += "date: " + OneLine(r.date) + "\n";
    head += "card: " + OneLine(r.card) + "\n";
    head += "declared: " + std::to_string(r.declared) + "\n";
    head += "target: " + std::to_string(r.target) + "\n";
    head += "token: " + Hex(r.token) + "\n";
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
    if (bytes.size() - digestSize - body != std::size_t{r.Sectors()} * kSectorSize) return "the file is damaged (wrong size)";
    // Only the sectors a repair to that size writes are ever written back.
    std::vector<UndoRange> layout;
    if (!IsCapacityEligible(r.declared) || r.target != TargetCapacity(r.declared) ||
        !LayoutRanges(ComputeGeometry(r.target), r.token, layout) || layout.size() != r.ranges.size()) {
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

bool NewUndoPathForUser(const std::string& card, DWORD declared, std::string& path, std::string& why) {
    const std::string folder = platform::UndoFolder();
    if (folder.empty()) {
        why = "no folder for the undo file (" + platform::UndoFolderLack() + ")";
        return false;
    }
    if (!platform::MakeFolders(folder, why)) return false;
    path = NewUndoPath(folder, card, declared);
    return true;
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

std::string TokenHex(const UndoToken& token) { return Hex(token); }

UndoJudgement JudgeCard(const UndoRecord& r, const std::vector<BYTE>& current, bool marksMatch) {
    UndoJudgement judgement;
    const std::vector<BYTE> written = LayoutBytes(ComputeGeometry(r.target), r.token);
    if (current.size() != r.old.size() || written.size() != r.old.size() || r.ranges.size() != 5) return judgement;
    // Per range: whether every command's sectors are old or new, and whether all are old.
    struct Grain {
        bool allOld = true, anyOldOnly = false, anyNeither = false, allNew = true;
    };
    std::vector<Grain> grains;
    std::size_t at = 0;
    for (const UndoRange& range : r.ranges) {
        Grain grain;
        for (DWORD done = 0; done < range.count; done += kMaxSectorsPerCommand) {
            const std::size_t size = std::size_t{std::min(range.count - done, kMaxSectorsPerCommand)} * kSectorSize;
            const bool isNew = std::memcmp(current.data() + at, written.data() + at, size) == 0;
            const bool isOld = std::memcmp(current.data() + at, r.old.data() + at, size) == 0;
            grain.allOld = grain.allOld && isOld;
            grain.anyOldOnly = grain.anyOldOnly || (isOld && !isNew);
            grain.anyNeither = grain.anyNeither || (!isNew && !isOld);
            grain.allNew = grain.allNew && isNew;
            at += size;
        }
        grains.push_back(grain);
    }
    const bool allOld = std::all_of(grains.begin(), grains.end(), [](const Grain& g) { return g.allOld; });
    if (allOld) {
        judgement.state = UndoState::Restored;
        return judgement;
    }
    // The repair writes its token first and an undo puts it back last: a card
    // that shows any of the repair's writes without the token is not this
    // repair's card any more.
    if (!grains[0].allNew) {
        judgement.finding = ReadTokenSector(current.data(), judgement.cardToken) ? UndoFinding::OtherRepair
                                                                                 : UndoFinding::NoToken;
        return judgement;
    }
    judgement.state = UndoState::Changed;
    if (grains[1].anyNeither) {
        judgement.finding = UndoFinding::FormattedAgain;
    } else if (std::any_of(grains.begin() + 2, grains.end(), [](const Grain& g) { return g.anyNeither; })) {
        // The root directory is the last range: its names say whose tables
        // a forced undo overwrites.
        judgement.finding = UndoFinding::NewFiles;
        const std::size_t rootSize = std::size_t{r.ranges.back().count} * kSectorSize;
        judgement.files = RootNames(current.data() + current.size() - rootSize, rootSize);
    } else if (!marksMatch) {
        judgement.finding = UndoFinding::FilesOverwritten;
    } else {
        // Some commands' sectors old again, the rest as the repair wrote them.
        const bool anyOld = std::any_of(grains.begin(), grains.end(), [](const Grain& g) { return g.anyOldOnly; });
        judgement.state = anyOld ? UndoState::Resumes : UndoState::Ready;
    }
    return judgement;
}
