// A target that lets reads through and keeps everything else to itself, so a
// repair can be rehearsed on a real card without changing it. Sectors the
// rehearsal wrote read back as written, from memory: a repair that checks
// its own writes sees them, though the card never does.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "scsi/target.h"

namespace platform {

class DryRunTarget : public ScsiTarget {
public:
    struct Command {
        std::vector<std::uint8_t> cdb;
        bool sent;  // reached the card
        bool good;
    };

    explicit DryRunTarget(std::shared_ptr<ScsiTarget> inner);
    bool Execute(ScsiExchange& exchange) override;
    void Released() override;

    std::vector<Command> commands;

private:
    bool AnswerFromWrites(ScsiExchange& exchange);
    void KeepWrite(const ScsiExchange& exchange);

    std::shared_ptr<ScsiTarget> inner_;
    std::map<std::uint32_t, std::vector<std::uint8_t>> written_;
};

}  // namespace platform
