// The request that carries one SCSI command through the pass-through ioctl.
#pragma once

#include <cstddef>

#include "platform/winapi.h"

struct ScsiRequestBlock {
    SCSI_PASS_THROUGH_DIRECT Header;
    ULONG Reserved;
    UCHAR SenseData[32];
};

#if !defined(_WIN64) && !defined(__LP64__)
// A 32-bit process: exactly the 80-byte block the storage driver expects.
static_assert(sizeof(ScsiRequestBlock) == 80);
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 44);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Length) == 0);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, ScsiStatus) == 2);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, PathId) == 3);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TargetId) == 4);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Lun) == 5);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, CdbLength) == 6);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoLength) == 7);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataIn) == 8);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) == 12);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue) == 16);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 20);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == 24);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 28);
static_assert(offsetof(ScsiRequestBlock, Reserved) == 44);
static_assert(offsetof(ScsiRequestBlock, SenseData) == 48);
#else
// A 64-bit process: the wider header, with the sense area behind it.
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 56);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) == 12);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue) == 16);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 24);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == 32);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 36);
static_assert(offsetof(ScsiRequestBlock, Reserved) == 56);
static_assert(offsetof(ScsiRequestBlock, SenseData) == 60);
#endif
