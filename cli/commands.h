// The commands of brisant-cli, one file each: list, probe, plan, repair,
// selftest and undo. Each returns the exit status of exit_status.h.
#pragma once

#include "cli/command_line.h"
#include "cli/drive_check.h"

int List(const Options& o);
int Probe(const Options& o, const Target& t);
// The repair rehearsed on the card: reads reach it, nothing else does.
int Plan(const Options& o, const Target& t);
int Repair(const Options& o, const Target& t);
int Selftest(const Options& o, const Target& t);
// Puts back what a repair overwrote, from its undo file; or lists those files.
int Undo(const Options& o, const Target& t);
