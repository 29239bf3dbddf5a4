// One exchange as an SG_IO request, and the kernel's answer back into it.
// Private to the SG_IO back end; kept apart so it can be checked without a
// device.
#pragma once

#include <scsi/sg.h>

#include <climits>
#include <cstdint>

#include "scsi/target.h"

namespace platform {

inline sg_io_hdr_t SgRequest(ScsiExchange& x) {
    sg_io_hdr_t io{};
    io.interface_id = 'S';
    io.cmd_len = x.cdbLength;
    io.cmdp = x.cdb;
    io.mx_sb_len = sizeof x.sense;
    io.sbp = x.sense;
    io.dxfer_len = x.dataLength;
    io.dxferp = x.data;
    switch (x.direction) {
        case DataDirection::None: io.dxfer_direction = SG_DXFER_NONE; break;
        case DataDirection::In: io.dxfer_direction = SG_DXFER_FROM_DEV; break;
        case DataDirection::Out: io.dxfer_direction = SG_DXFER_TO_DEV; break;
    }
    // SG_IO counts milliseconds.
    std::uint64_t ms = std::uint64_t{x.timeoutSeconds} * 1000u;
    io.timeout = ms > UINT_MAX ? UINT_MAX : static_cast<unsigned>(ms);
    return io;
}

// False when the command never completed: the host adapter lost the device
// (no connect, bus reset, abort, timeout) or the driver gave up. Only then is
// the device's status byte worth anything.
inline bool TakeSgAnswer(const sg_io_hdr_t& io, ScsiExchange& x) {
    constexpr unsigned kDriverSense = 0x08;  // sense data is valid: not a failure
    if (io.host_status != 0) return false;
    unsigned driver = io.driver_status & 0x0Fu;
    if (driver != 0 && driver != kDriverSense) return false;

    x.status = io.status;
    std::uint32_t residual = io.resid < 0 ? 0u : static_cast<std::uint32_t>(io.resid);
    x.residual = residual > x.dataLength ? x.dataLength : residual;
    x.senseLength = io.sb_len_wr > sizeof x.sense ? sizeof x.sense : io.sb_len_wr;
    return true;
}

}  // namespace platform
