// Access to the card behind a drive letter: the sweep, volume handles and the
// five SCSI commands.
#pragma once

#include "platform/winapi.h"
#include "scsi/cdb.h"

constexpr DWORD kSectorSize = platform::kSectorBytes;
constexpr DWORD kMaxSectorsPerCommand = 128;

class CCardDevice {
public:
    CCardDevice();
    virtual ~CCardDevice();

    // Writes the letters D..Z that hold a connected removable direct-access
    // device into `letters` (room for 16) and returns how many.
    BYTE EnumDrives(BYTE* letters);
    HANDLE OpenDrive(char letter);
    BOOL CloseDrive(HANDLE device);

    BOOL Inquiry(HANDLE device);
    BOOL ReadSectors(HANDLE device, BYTE* buffer, DWORD lba, DWORD count);
    BOOL WriteSectors(HANDLE device, BYTE* buffer, DWORD lba, DWORD count);
    BOOL PreventMediumRemoval(HANDLE device, BYTE prevent);
    BOOL EjectMedium(HANDLE device);

    HANDLE m_hDevice;

private:
    BOOL Transfer(HANDLE device, BYTE* buffer, DWORD lba, DWORD count, BYTE opcode, UCHAR dataIn);
};

// The table a caller hands to EnumDrives holds this many letters.
constexpr BYTE kDriveTableSize = 16;
