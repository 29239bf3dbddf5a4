// Which card stands behind a drive letter, as the kernel describes it, so an
// operator can tell the card about to be erased from every other disk. Read
// from sysfs and the mount and swap tables; no command reaches the device.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// One thing that keeps the disk busy: a mounted file system, a swap area, or
// a device stacked on it (device-mapper, RAID).
struct DiskUse {
    std::string device;  // "/dev/sdb1", or the disk itself
    std::string use;     // the mount point, "swap", or "held by dm-0"
};

// Everything that uses the disk behind a block device node, holders first,
// then mounts and swap areas; empty for what is not a block device.
std::vector<DiskUse> DiskUses(const std::string& devicePath);
// One use in a few words: "/dev/sdb1 is mounted on /media/card".
std::string DiskUseText(const DiskUse& use);

struct DriveIdentity {
    std::string path;  // what the letter maps to: a device node or a card image
    bool image = false;
    bool known = false;  // false when neither sysfs nor the file system knows the path
    // The whole disk behind path: a partition path re-formats all of it.
    std::string disk;
    bool partition = false;
    std::string vendor;  // the reader's (SCSI) or the card's (SD/MMC) maker
    std::string model;
    std::string bus;  // "usb", "mmc", "ata", "nvme", "virtio", "loop", "scsi"...
    bool removable = false;
    std::uint64_t sizeBytes = 0;  // the medium as the kernel knows it, or the image file
    bool readOnly = false;
    std::vector<DiskUse> inUse;
};

// The identity of a device node or card image path.
DriveIdentity IdentifyPath(const std::string& path);
// The identity of what a drive letter maps to; unknown for a letter mapped
// to a test target or to nothing.
DriveIdentity IdentifyDrive(char letter);

// One line: "/dev/sdb: Generic STORAGE DEVICE, usb, removable, 1937 MB
// (2031616000 bytes), read-only, in use: /dev/sdb1 on /media/card".
std::string IdentityText(const DriveIdentity& identity);
// The whole-disk devices that a drive letter can stand for, in the order the
// default drive map hands out D: to Z:: sd* first, then mmcblk*.
std::vector<std::string> WholeDiskDevices();

// Where /sys and /proc are read from: "" for the running system, or a folder
// holding sys/ and proc/ (a fake tree for tests).
void SetSystemRoot(const std::string& root);
const std::string& SystemRoot();

}  // namespace platform
