// A target in front of a drive's own that keeps the first command that
// failed, so that the console can say why a card was refused.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "scsi/target.h"

class CommandWatch : public platform::ScsiTarget {
public:
    struct Failure {
        bool seen = false;
        std::vector<std::uint8_t> cdb;
        bool carriedOut = false;
        std::uint8_t status = 0;
        std::uint8_t key = 0, asc = 0, ascq = 0;

        bool WriteProtected() const { return seen && key == platform::sense::kDataProtect; }
        bool NoMedium() const { return seen && key == platform::sense::kNotReady && asc == 0x3A; }
        // "WRITE(10) LBA 0, 2 sectors: write protected (DATA PROTECT)"
        std::string Describe() const;
    };

    explicit CommandWatch(std::shared_ptr<platform::ScsiTarget> inner);
    bool Execute(platform::ScsiExchange& exchange) override;
    void Released() override;

    // Forgets the failure seen so far.
    void Reset() { first = Failure(); }
    Failure first;

private:
    std::shared_ptr<platform::ScsiTarget> inner_;
};
