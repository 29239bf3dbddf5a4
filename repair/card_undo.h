// Giving a card back the bytes a repair overwrote, from its undo file.
#pragma once

#include <string>

#include "device/card_device.h"
#include "repair/undo_file.h"

// Reads the ranges and marked sectors and judges what the card holds; false
// when a read fails.
bool InspectCard(CCardDevice& device, HANDLE handle, const UndoRecord& record, UndoJudgement& judgement);

// Writes the old bytes back, then reads them back and compares. "" when the card holds them again.
std::string RestoreCard(CCardDevice& device, HANDLE handle, const UndoRecord& record);
