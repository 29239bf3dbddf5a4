// Which drive a command means, and whether a repair of it would go ahead:
// the checks a repair makes before its question, in its order, kept in one
// place so that list, probe and plan predict what repair does.
#pragma once

#include <memory>
#include <string>

#include "cli/command_watch.h"
#include "device/card_device.h"
#include "repair/capacity_repair.h"

std::string DriveText(char letter);  // "E:\"

// A drive as the operator named it.
struct Target {
    char letter = 0;
    std::string name;  // "E:\" for a letter, the path as given for a path
    std::string path;  // what the letter maps to
    bool byPath = false;
    // How a message names it: "E:\ (/dev/sdb)", or the path.
    std::string Label() const;
};

Target LetterTarget(char letter);
// A TARGET word: a drive letter (E, E: or E:\) or a device or image path,
// which gets a letter of its own. False with the reason and exit status.
bool ResolveTarget(const std::string& word, Target& target, std::string& error, int& status);

// The drives the sweep offers (D: to Z:, at most 16), taken once.
class Sweep {
public:
    Sweep();
    bool Offers(char letter) const;

private:
    BYTE m_Letters[kDriveTableSize];
    BYTE m_nCount;
};

struct DriveVerdict {
    int status = 0;      // the exit status a repair would give before its question, 0 when it would ask
    std::string reason;  // why not, for a refusal
    bool absent = false;   // no drive behind the letter at all
    bool offered = false;  // the sweep offers it
    bool probed = false;   // sector 0 was read
    DWORD declared = 0;
    std::string declaredText;
    DWORD target = 0;  // the declared capacity doubled, when below 1 GB
    DWORD volume = 0;  // the total a repair writes: the target, cut to what FAT16 allows
};

// Opens, offered by the sweep, not in use by anything else, sector 0 reads:
// what every command that sends commands to a card needs. The first check
// that fails gives the verdict; a drive in use is still probed, so that what
// it holds is shown. `watch` stands in front of the drive
// from then on, when it opened.
DriveVerdict CheckReachable(const Target& target, const Sweep& sweep, std::shared_ptr<CommandWatch>& watch);
// CheckReachable, then what a repair checks of the capacity before it asks:
// eligible, and a medium of known size that holds the new volume.
DriveVerdict CheckDrive(const Target& target, const Sweep& sweep, std::shared_ptr<CommandWatch>& watch);
// Ends the program's own use of the drive: the letter maps to its path again.
void ReleaseDrive(const Target& target);

// Why a repair that went as far as the drive failed: the card's own answer,
// then what the system knows about the drive, then what the repair found.
// The watch and everything above it must be released first.
std::string WhyFailed(const Target& target, const CCapacityRepair& repair, const CommandWatch::Failure& failure);

// Which card a letter reaches, as the system knows it (no command is sent).
std::string IdentityOf(char letter);
