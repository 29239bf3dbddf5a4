#include "cli/command_watch.h"

#include <cstdio>

#include "device/cdb_text.h"
#include "scsi/cdb.h"

CommandWatch::CommandWatch(std::shared_ptr<platform::ScsiTarget> inner) : inner_(std::move(inner)) {}

bool CommandWatch::Execute(platform::ScsiExchange& x) {
    bool carriedOut = inner_->Execute(x);
    if (first.seen || (carriedOut && x.status == platform::kStatusGood)) return carriedOut;
    first.seen = true;
    first.cdb.assign(x.cdb, x.cdb + x.cdbLength);
    first.carriedOut = carriedOut;
    first.status = x.status;
    if (carriedOut && x.senseLength >= 14 && (x.sense[0] & 0x7E) == 0x70) {  // fixed format
        first.key = x.sense[2] & 0x0F;
        first.asc = x.sense[12];
        first.ascq = x.sense[13];
    } else if (carriedOut && x.senseLength >= 4 && (x.sense[0] & 0x7E) == 0x72) {  // descriptor format
        first.key = x.sense[1] & 0x0F;
        first.asc = x.sense[2];
        first.ascq = x.sense[3];
    }
    return carriedOut;
}

void CommandWatch::Released() { inner_->Released(); }

std::string CommandWatch::Failure::Describe() const {
    std::string command = DescribeCdb(cdb.data(), cdb.size());
    char detail[64];
#ifdef _WIN32
    // The system locks the volume before the first write to it.
    if (!carriedOut && !cdb.empty() && platform::IsWriteCommand(cdb[0])) {
        return command + ": not carried out (is a file or window open on the card? Windows then refuses to lock "
                         "the volume)";
    }
#endif
    if (!carriedOut) {
        std::snprintf(detail, sizeof detail, "not carried out");
    } else if (WriteProtected()) {
        std::snprintf(detail, sizeof detail, "write protected (DATA PROTECT)");
    } else if (NoMedium()) {
        std::snprintf(detail, sizeof detail, "no medium (NOT READY, MEDIUM NOT PRESENT)");
    } else if (key == platform::sense::kIllegalRequest && asc == 0x21) {
        std::snprintf(detail, sizeof detail, "beyond the end of the card (LBA OUT OF RANGE)");
    } else if (key != 0) {
        std::snprintf(detail, sizeof detail, "sense key %X, ASC %02X, ASCQ %02X", unsigned{key}, unsigned{asc},
                      unsigned{ascq});
    } else {
        std::snprintf(detail, sizeof detail, "status %02X", unsigned{status});
    }
    return command + ": " + detail;
}
