// A target that lets reads through and keeps everything else to itself, so a
// repair can be rehearsed on a real card without changing it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/scsi_target.h"

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
    std::shared_ptr<ScsiTarget> inner_;
};

}  // namespace platform
