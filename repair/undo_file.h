// The undo file of a repair: the bytes a repair is about to overwrite, kept
// so that the card can be given back, with what it takes to judge later that
// the card is the one repaired and still holds what the repair wrote.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "platform/sha256.h"
#include "platform/winapi.h"
#include "repair/fat16_geometry.h"

// A number each repair makes for itself and leaves on the card: no two
// repairs share one, so an undo file fits the one card it was made on and
// only until that card is repaired again.
using UndoToken = std::array<BYTE, 16>;

// One region the layout writes: the token's sector, the boot region, each
// table, the root.
struct UndoRange {
    DWORD lba = 0;
    DWORD count = 0;
    platform::Sha256Digest written{};  // of what the repair writes there
};

struct UndoRecord {
    std::string date;  // UTC, "2026-12-09T20:15:03Z"
    std::string card;  // the drive's identity line
    DWORD declared = 0;
    DWORD target = 0;
    UndoToken token{};
    // In the order the repair writes them; an undo puts them back last first.
    std::vector<UndoRange> ranges;
    // Sectors of the old volume's files that the repair leaves alone: bytes
    // that tell this card from another, and show when files of the new
    // volume have overwritten them.
    std::vector<DWORD> marks;
    platform::Sha256Digest marksDigest{};
    std::vector<BYTE> old;  // the ranges' bytes before the repair, one after another

    DWORD Sectors() const;
};

inline constexpr const char kUndoSuffix[] = ".brisant-undo";
// No undo file is larger: the largest layout is 546 sectors and the token's one (280 KB).
inline constexpr std::size_t kUndoFileLimit = 1 << 20;

UndoToken NewUndoToken();
// The token's sector: the volume's last, which no file system reads while its
// cluster, if it lies in one, is free.
DWORD TokenLba(const Fat16Geometry& geometry);
void FillTokenSector(BYTE* sector, const UndoToken& token);
// False when the sector holds no token of this program.
bool ReadTokenSector(const BYTE* sector, UndoToken& token);

// The ranges a repair with this token writes, with the digest of each.
// False without SHA-256.
bool LayoutRanges(const Fat16Geometry& geometry, const UndoToken& token, std::vector<UndoRange>& ranges);
// What the repair writes into its ranges, one after another.
std::vector<BYTE> LayoutBytes(const Fat16Geometry& geometry, const UndoToken& token);

// Marks from the old volume: the first sector of some of the clusters that
// its table, found in `start` (the card's first sectors before the repair),
// gives to files, where the new layout and its token leave them alone.
std::vector<DWORD> FileMarks(const std::vector<BYTE>& start, const Fat16Geometry& geometry, DWORD declared);

std::vector<BYTE> EncodeUndo(const UndoRecord& record);
// "" for a whole, well-formed file; otherwise why it cannot be used.
std::string DecodeUndo(const std::vector<BYTE>& bytes, UndoRecord& record);
// Only the header, for a listing: "" when it reads.
std::string DecodeUndoHeader(const std::vector<BYTE>& bytes, UndoRecord& record);

// A name in `folder` that no file holds yet, by date, card and capacity:
// "20261209-201503-sdb-968MB.brisant-undo".
std::string NewUndoPath(const std::string& folder, const std::string& card, DWORD declared);
// A new name in the user's undo folder, made when it is missing; false with
// the reason when there is no folder or it cannot be made.
bool NewUndoPathForUser(const std::string& card, DWORD declared, std::string& path, std::string& why);

std::string UtcNow();

// What a card holds, measured against an undo file.
enum class UndoState {
    Ready,      // what the repair wrote: the undo can go ahead
    Resumes,    // partly its old bytes again: an undo was cut short
    Restored,   // its old bytes already: nothing to do
    Changed,    // written to since the repair
    OtherCard,  // not the volume this repair wrote
};

// What a changed card or another card was found to hold.
enum class UndoFinding {
    None,
    NewFiles,        // the new volume's tables or root hold entries of their own
    FormattedAgain,  // its boot region is neither the repair's nor the old one
    FilesOverwritten,  // sectors of the old files hold other bytes now
    OtherRepair,     // the token of another repair: repaired again, or another card
    NoToken,         // no token of this repair
};

struct UndoJudgement {
    UndoState state = UndoState::OtherCard;
    UndoFinding finding = UndoFinding::None;
    std::vector<std::string> files;  // the root directory's entries, for a changed card
    UndoToken cardToken{};           // the token found, for OtherRepair

    bool operator==(const UndoJudgement&) const = default;
};

// `current` holds the ranges' bytes as the card has them now, one after
// another; `marksMatch` whether the marked sectors still hold their bytes.
// Judged at the grain of the commands that wrote each range, so that a range
// an undo or a repair was cut short inside is neither old nor new, but both.
UndoJudgement JudgeCard(const UndoRecord& record, const std::vector<BYTE>& current, bool marksMatch);

std::string TokenHex(const UndoToken& token);
