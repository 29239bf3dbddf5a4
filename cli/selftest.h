// A check that a reader carries each of the five commands, on a card that may
// hold files: the sectors it writes get their old bytes back.
#pragma once

#include <string>

#include "cli/command_watch.h"
#include "cli/console_operator.h"
#include "device/card_device.h"

// Runs after the sweep offered `letter` and sector 0 declared `declared`
// sectors: reads the last 128 of them, asks, writes a pattern over them and
// reads it back, writes the old bytes back and reads them back, prevents and
// allows removal, and ejects the card. One line a step on stdout; the exit
// status (0 passed, 1 failed, 4 declined).
int RunSelftest(CCardDevice& device, char letter, DWORD declared, CommandWatch& watch, CConsoleOperator& op);
