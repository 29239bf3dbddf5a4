// Which device or card image stands behind each drive letter on a build
// without Windows volumes. "\\.\X:" opens whatever letter X maps to.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "scsi/target.h"

namespace platform {

// D: to Z: go to the whole disks that exist, sd* first, then mmcblk*, as
// WholeDiskDevices lists them (under SystemRoot, so a test can fix the map).
void ResetDriveMap();
// Nothing is mapped: every volume fails to open.
void ClearDriveMap();
// Only D: to Z: are drives this program may use.
bool ValidLetter(char letter);
// The refusal of a letter outside them, as given.
std::string LetterOutOfRange(const std::string& given);
// A letter outside D..Z is refused.
bool MapDrive(char letter, const std::string& path);
void MapDrive(char letter, std::shared_ptr<ScsiTarget> target, const std::string& description);
void UnmapDrive(char letter);
// Whether the map names the letter (else the system's own volume, if any,
// stands behind it).
bool IsMappedDrive(char letter);
// The target behind a letter, opened as a volume handle would open it.
std::shared_ptr<ScsiTarget> OpenDriveTarget(char letter);
// What the letter maps to, or an empty text.
std::string DescribeDrive(char letter);
// The letter already mapped to this path, else one whose mapping is empty or
// names nothing that exists; 0 when every letter is taken.
char LetterForPath(const std::string& path);
// "X=PATH", as given on a command line.
bool ParseDriveOption(const std::string& option, std::string* error);

// The --drive options of one command line, brisant-cli's and the dialog's
// alike, each mapped as it comes.
class DriveOptions {
public:
    // Takes argv[i] when it is "--drive X=PATH" (moving i past PATH) or
    // "--drive=X=PATH"; false for any other argument. `error` is set when the
    // option cannot be taken: no X=PATH, a letter outside D to Z, a build
    // that maps no paths, or a letter given twice (which path was meant
    // cannot be told).
    bool Take(int argc, char** argv, int& i, std::string* error);
    // The X=PATH of each option taken, in order.
    const std::vector<std::string>& Taken() const { return taken_; }

private:
    std::vector<std::string> taken_;
};

// What keeps the drive from being written, in a few words ("/dev/sdb1 is
// mounted on /media/card", "attached to /dev/loop0"), or an empty text. Asked
// before the drive is opened: the program's own use is not told apart.
std::string DriveInUse(char letter);

// Why volumes did not open, from the last attempt on each mapped letter:
// "cannot open /dev/sda..sdw: permission denied; run as root" when none
// opened and some refused the user; empty when one opened or none refused.
std::string OpenFailureReason();

}  // namespace platform
