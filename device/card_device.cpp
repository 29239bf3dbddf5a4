#include "device/card_device.h"

#include <cstdio>
#include <cstring>

#include "device/scsi_request_block.h"

namespace {

constexpr ULONG kShortTimeout = 2;
constexpr ULONG kLongTimeout = 120;
constexpr UCHAR kStatusGood = 0;

void Prepare(ScsiRequestBlock& block) {
    std::memset(&block, 0, sizeof block);
    block.Header.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    block.Header.PathId = 0;
    block.Header.TargetId = 1;
    block.Header.Lun = 0;
    block.Header.CdbLength = 10;
    block.Header.SenseInfoLength = 24;
    block.Header.SenseInfoOffset = offsetof(ScsiRequestBlock, SenseData);
}

// A command counts only when the platform carried it out and the device
// ended it GOOD: a write-protected or failing card must not look written.
BOOL Send(HANDLE device, ScsiRequestBlock& block) {
    DWORD returned = 0;
    BOOL done = sys::DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof block, &block,
                                sizeof block, &returned, nullptr);
    return done && block.Header.ScsiStatus == kStatusGood;
}

void VolumePath(char letter, char (&path)[8]) { std::snprintf(path, sizeof path, "\\\\.\\%c:", letter); }

HANDLE OpenVolume(char letter) {
    char path[8];
    VolumePath(letter, path);
    return sys::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

}  // namespace

CCardDevice::CCardDevice() : m_hDevice(INVALID_HANDLE_VALUE) {}

// Handles from OpenDrive belong to their callers.
CCardDevice::~CCardDevice() = default;

BYTE CCardDevice::EnumDrives(BYTE* letters) {
    BYTE count = 0;
    for (char letter = 'D'; letter <= 'Z'; ++letter) {
        m_hDevice = OpenVolume(letter);
        if (m_hDevice == INVALID_HANDLE_VALUE) continue;
        if (Inquiry(m_hDevice) && count < kDriveTableSize) letters[count++] = static_cast<BYTE>(letter);
        sys::CloseHandle(m_hDevice);
        m_hDevice = INVALID_HANDLE_VALUE;
    }
    return count;
}

HANDLE CCardDevice::OpenDrive(char letter) {
    m_hDevice = OpenVolume(letter);
    return m_hDevice == INVALID_HANDLE_VALUE ? nullptr : m_hDevice;
}

BOOL CCardDevice::CloseDrive(HANDLE device) { return sys::CloseHandle(device); }

BOOL CCardDevice::Inquiry(HANDLE device) {
    ScsiRequestBlock block;
    BYTE inquiryData[36];
    // A device that sends no data must not pass for a connected disk.
    inquiryData[0] = 0x7F;
    inquiryData[1] = 0x00;
    Prepare(block);
    block.Header.DataIn = SCSI_IOCTL_DATA_IN;
    block.Header.DataTransferLength = sizeof inquiryData;
    block.Header.TimeOutValue = kShortTimeout;
    block.Header.DataBuffer = inquiryData;
    block.Header.Cdb[0] = platform::op::kInquiry;
    block.Header.Cdb[4] = sizeof inquiryData;
    if (!Send(device, block)) return FALSE;
    // Pass-through reaches the whole physical device, so a fixed disk must
    // never be offered: only removable media count.
    return inquiryData[0] == 0x00 && (inquiryData[1] & 0x80) != 0;
}

BOOL CCardDevice::ReadSectors(HANDLE device, BYTE* buffer, DWORD lba, DWORD count) {
    return Transfer(device, buffer, lba, count, platform::op::kRead10, SCSI_IOCTL_DATA_IN);
}

BOOL CCardDevice::WriteSectors(HANDLE device, BYTE* buffer, DWORD lba, DWORD count) {
    return Transfer(device, buffer, lba, count, platform::op::kWrite10, SCSI_IOCTL_DATA_OUT);
}

BOOL CCardDevice::Transfer(HANDLE device, BYTE* buffer, DWORD lba, DWORD count, BYTE opcode,
                           UCHAR dataIn) {
    DWORD moved = 0;
    while (moved < count) {
        DWORD size = count - moved <= kMaxSectorsPerCommand ? count - moved : kMaxSectorsPerCommand;
        DWORD at = lba + moved;
        // The platform writes its answer, sense included, back into the
        // block: each command starts from a zeroed one.
        ScsiRequestBlock block;
        Prepare(block);
        block.Header.DataIn = dataIn;
        block.Header.TimeOutValue = kShortTimeout;
        block.Header.Cdb[0] = opcode;
        block.Header.DataTransferLength = size * kSectorSize;
        block.Header.Cdb[2] = static_cast<UCHAR>(at >> 24);
        block.Header.Cdb[3] = static_cast<UCHAR>(at >> 16);
        block.Header.Cdb[4] = static_cast<UCHAR>(at >> 8);
        block.Header.Cdb[5] = static_cast<UCHAR>(at);
        block.Header.Cdb[8] = static_cast<UCHAR>(size);
        block.Header.DataBuffer = buffer + static_cast<std::size_t>(moved) * kSectorSize;
        // A device that moves less than asked and still says GOOD has not
        // read or written these sectors.
        if (!Send(device, block) || block.Header.DataTransferLength != size * kSectorSize) return FALSE;
        moved += size;
    }
    return TRUE;
}

BOOL CCardDevice::PreventMediumRemoval(HANDLE device, BYTE prevent) {
    ScsiRequestBlock block;
    Prepare(block);
    block.Header.DataIn = SCSI_IOCTL_DATA_OUT;
    block.Header.TimeOutValue = kLongTimeout;
    block.Header.Cdb[0] = platform::op::kPreventAllowMediumRemoval;
    block.Header.Cdb[4] = prevent ? 1 : 0;
    return Send(device, block);
}

BOOL CCardDevice::EjectMedium(HANDLE device) {
    ScsiRequestBlock block;
    Prepare(block);
    block.Header.DataIn = SCSI_IOCTL_DATA_OUT;
    block.Header.TimeOutValue = kLongTimeout;
    block.Header.Cdb[0] = platform::op::kStartStopUnit;
    block.Header.Cdb[4] = 0x02;
    return Send(device, block);
}
