// What every command says of a drive: its JSON object, its heading, and the
// verdict line; shared by the commands of brisant-cli.
#pragma once

#include <string>

#include "cli/drive_check.h"
#include "cli/output.h"
#include "platform/winapi.h"

// DWORD is unsigned long on Windows; %u and the JSON numbers take unsigned.
inline unsigned U(DWORD n) { return static_cast<unsigned>(n); }

// The drive and what the system knows of it, for a JSON object.
JsonObject DriveJson(const Target& t);
// What sector 0 declares and what a repair would make of it.
void AddCapacity(JsonObject& json, const DriveVerdict& v);
// "asks, then writes the new volume", "not eligible: ...", "refused: ...".
std::string VerdictText(const DriveVerdict& v);
// The first line of a command's text: "E:\  /dev/sdb", or the path given.
void PrintHeading(const Target& t);
// The end of a repair or selftest the operator declined.
int Declined();
