// A removable-media card reader whose card is an image file.
#include "scsi/card_image.h"

#include <algorithm>
#include <memory>

#include "scsi/image_file.h"
#include "scsi/medium_emulation.h"

namespace platform {

namespace {

class CardImageReader : public MediumEmulation {
public:
    CardImageReader(std::unique_ptr<ImageFile> file, std::uint64_t sectors)
        : file_(std::move(file)), sectors_(sectors) {}

    // Closing the last handle unlocks the medium, as the kernel does on release.
    void Released() override { preventRemoval_ = false; }

private:
    void AnswerInquiry(ScsiExchange& x) override { x.AnswerInquiry(true, "BRISANT", "Card Image Rdr", "1.04"); }

    // An image cut short since it was opened must fail here: a write beyond
    // its end would quietly make it long again.
    std::uint64_t Sectors() override {
        std::int64_t now = file_->Size();
        if (now < 0) return 0;
        return std::min(sectors_, static_cast<std::uint64_t>(now) / kSectorBytes);
    }

    bool ReadOnly() override { return file_->ReadOnly(); }

    std::int64_t Move(std::uint8_t* data, std::uint64_t bytes, std::uint64_t offset, bool write) override {
        return write ? file_->WriteAt(data, bytes, offset) : file_->ReadAt(data, bytes, offset);
    }

    void PreventRemoval(bool prevent) override { preventRemoval_ = prevent; }

    bool MayEject(ScsiExchange& x) override {
        if (!preventRemoval_) return true;
        x.CheckCondition(sense::kIllegalRequest, 0x53, 0x02);
        return false;
    }

    std::unique_ptr<ImageFile> file_;
    std::uint64_t sectors_;
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
    return std::make_shared<CardImageReader>(std::move(file), static_cast<std::uint64_t>(size) / kSectorBytes);
}

}  // namespace platform
