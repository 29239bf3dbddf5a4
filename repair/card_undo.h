// Giving a card back the bytes a repair overwrote, from its undo file.
#pragma once

#include <string>

#include "device/card_device.h"
#include "repair/undo_file.h"

// Reads the ranges and marked sectors and judges what the card holds; false
// when a read fails.
bool InspectCard(CCardDevice& device, HANDLE handle, const UndoRecord& record, UndoJudgement& judgement);

// With removal prevented, judges the card again (a card changed while the
// operator was asked gets nothing), then writes the old bytes back, the
// ranges last written first so that the token goes last, and reads them back
// and compares. "" when the card holds them again; `wrote` says whether any
// write was sent.
std::string RestoreCard(CCardDevice& device, HANDLE handle, const UndoRecord& record, const UndoJudgement& asked,
                        bool& wrote);
