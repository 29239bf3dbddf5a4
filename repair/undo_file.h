// The undo file of a repair: the bytes a repair is about to overwrite, kept
// so that the card can be given back, with what it takes to judge later that
// the card is the one repaired and still holds what the repair wrote.
#pragma once

#include <string>
#include <vector>

#include "platform/sha256.h"
#include "platform/winapi.h"
#include "repair/fat16_geometry.h"

// One region the layout writes: the boot region, each table, the root.
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
    std::vector<UndoRange> ranges;
    // Sectors the repair leaves alone, whose bytes tell this card from
    // another repaired to the same size.
    std::vector<DWORD> marks;
    platform::Sha256Digest marksDigest{};
    std::vector<BYTE> old;  // the ranges' bytes before the repair, one after another

    DWORD Sectors() const;
};

inline constexpr const char kUndoSuffix[] = ".brisant-undo";
// No undo file is larger: the largest layout is 546 sectors (280 KB).
inline constexpr std::size_t kUndoFileLimit = 1 << 20;

// The ranges a layout of this geometry writes, with the digest of each.
// False without SHA-256.
bool LayoutRanges(const Fat16Geometry& geometry, std::vector<UndoRange>& ranges);

std::vector<BYTE> EncodeUndo(const UndoRecord& record);
// "" for a whole, well-formed file; otherwise why it cannot be used.
std::string DecodeUndo(const std::vector<BYTE>& bytes, UndoRecord& record);
// Only the header, for a listing: "" when it reads.
std::string DecodeUndoHeader(const std::vector<BYTE>& bytes, UndoRecord& record);

// A name in `folder` that no file holds yet, by date, card and capacity:
// "20261209-201503-sdb-968MB.brisant-undo".
std::string NewUndoPath(const std::string& folder, const std::string& card, DWORD declared);

std::string UtcNow();

// What a card holds, measured against an undo file.
enum class UndoState {
    Ready,      // what the repair wrote: the undo can go ahead
    Resumes,    // partly its old bytes again: an undo was cut short
    Restored,   // its old bytes already: nothing to do
    Changed,    // written to since the repair
    OtherCard,  // not the volume this repair wrote
};

struct UndoJudgement {
    UndoState state = UndoState::OtherCard;
    std::vector<std::string> files;  // the root directory's entries, for a changed card
    bool sameCard = false;           // the marked sectors hold their bytes
};

// `current` holds the ranges' bytes as the card has them now, one after
// another; `marksMatch` whether the marked sectors still hold their bytes.
UndoJudgement JudgeCard(const UndoRecord& record, const std::vector<BYTE>& current, bool marksMatch);
