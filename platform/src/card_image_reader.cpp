// A removable-media card reader whose card is an image file.
#include <cstring>
#include <memory>

#include "image_file.h"
#include "platform/scsi_target.h"

namespace platform {

namespace {

constexpr std::uint32_t kSector = 512;

class CardImageReader : public ScsiTarget {
public:
    CardImageReader(std::unique_ptr<ImageFile> file, std::uint64_t sectors)
        : file_(std::move(file)), sectors_(sectors) {}

    bool Execute(ScsiExchange& x) override {
        x.status = kStatusGood;
        x.residual = x.dataLength;
        x.senseLength = 0;
        switch (x.cdb[0]) {
            case 0x12: x.AnswerInquiry(true, "BRISANT", "Card Image Rdr", "1.04"); break;
            case 0x28: Transfer(x, false); break;
            case 0x2A: Transfer(x, true); break;
            case 0x1E: preventRemoval_ = (x.cdb[4] & 0x01) != 0; break;
            case 0x1B: StartStop(x); break;
            default: x.CheckCondition(sense::kIllegalRequest, 0x20, 0x00); break;
        }
        return true;
    }

    // Closing the last handle unlocks the medium, as the kernel does on release.
    void Released() override { preventRemoval_ = false; }

private:
    void Transfer(ScsiExchange& x, bool write) {
        if (!mediumPresent_) {
            x.CheckCondition(sense::kNotReady, 0x3A, 0x00);
            return;
        }
        std::uint64_t lba = Be32(x.cdb + 2);
        std::uint64_t count = Be16(x.cdb + 7);
        std::uint64_t bytes = count * kSector;
        // An image cut short since it was opened must fail here: a write
        // beyond its end would quietly make it long again.
        std::int64_t now = file_->Size();
        if (lba + count > sectors_ || now < 0 || lba + count > static_cast<std::uint64_t>(now) / kSector) {
            x.CheckCondition(sense::kIllegalRequest, 0x21, 0x00);
            return;
        }
        DataDirection expected = write ? DataDirection::Out : DataDirection::In;
        if (count > 0 && (x.direction != expected || bytes > x.dataLength)) {
            x.CheckCondition(sense::kIllegalRequest, 0x24, 0x00);
            return;
        }
        if (write && file_->ReadOnly()) {
            x.CheckCondition(sense::kDataProtect, 0x27, 0x00);
            return;
        }
        std::uint64_t offset = lba * kSector;
        std::uint64_t done = 0;
        while (done < bytes) {
            std::int64_t n = write ? file_->WriteAt(x.data + done, bytes - done, offset + done)
                                   : file_->ReadAt(x.data + done, bytes - done, offset + done);
            if (n <= 0) {
                if (write) {
                    x.CheckCondition(sense::kMediumError, 0x0C, 0x00);
                } else {
                    x.CheckCondition(sense::kMediumError, 0x11, 0x00);
                }
                x.residual = static_cast<std::uint32_t>(x.dataLength - done);
                return;
            }
            done += static_cast<std::uint64_t>(n);
        }
        x.residual = static_cast<std::uint32_t>(x.dataLength - bytes);
    }

    void StartStop(ScsiExchange& x) {
        bool loadEject = (x.cdb[4] & 0x02) != 0;
        bool start = (x.cdb[4] & 0x01) != 0;
        if (!loadEject) return;
        if (!start && preventRemoval_) {
            x.CheckCondition(sense::kIllegalRequest, 0x53, 0x02);
            return;
        }
        mediumPresent_ = start;
    }

    std::unique_ptr<ImageFile> file_;
    std::uint64_t sectors_;
    bool mediumPresent_ = true;
    bool preventRemoval_ = false;
};

}  // namespace

std::shared_ptr<ScsiTarget> OpenCardImage(const std::string& path, std::string* error) {
    auto file = std::make_unique<ImageFile>();
    if (!file->Open(path, error)) return nullptr;
    std::int64_t size = file->Size();
    if (size < 0) {
        if (error) *error = path + ": cannot read its size";
        return nullptr;
    }
    return std::make_shared<CardImageReader>(std::move(file), static_cast<std::uint64_t>(size) / kSector);
}

}  // namespace platform
