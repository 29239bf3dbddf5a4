// A removable-media card reader whose card is an image file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/scsi_target.h"

namespace platform {

void ScsiExchange::CheckCondition(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    status = kStatusCheckCondition;
    std::memset(sense, 0, sizeof sense);
    sense[0] = 0x70;  // current error, fixed format
    sense[2] = key;
    sense[7] = 10;
    sense[12] = asc;
    sense[13] = ascq;
    senseLength = 18;
}

namespace {

constexpr std::uint32_t kSector = 512;

std::uint32_t Be32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}
std::uint16_t Be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

class CardImageReader : public ScsiTarget {
public:
    CardImageReader(int fd, bool readOnly, std::uint64_t sectors)
        : fd_(fd), readOnly_(readOnly), sectors_(sectors) {}
    ~CardImageReader() override { close(fd_); }

    bool Execute(ScsiExchange& x) override {
        x.status = kStatusGood;
        x.residual = x.dataLength;
        x.senseLength = 0;
        switch (x.cdb[0]) {
            case 0x12: Inquiry(x); break;
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
    void Inquiry(ScsiExchange& x) {
        if (x.cdb[1] & 0x01) {
            x.CheckCondition(sense::kIllegalRequest, 0x24, 0x00);
            return;
        }
        std::uint8_t reply[36] = {};
        reply[0] = 0x00;  // connected direct-access device
        reply[1] = 0x80;  // removable medium
        reply[2] = 0x05;
        reply[3] = 0x02;
        reply[4] = sizeof reply - 5;
        std::memcpy(reply + 8, "BRISANT Card Image Rdr  1.04", 28);
        std::uint32_t n = Be16(x.cdb + 3);
        if (n > sizeof reply) n = sizeof reply;
        if (x.direction != DataDirection::In || n > x.dataLength) n = 0;
        if (n > 0) std::memcpy(x.data, reply, n);
        x.residual = x.dataLength - n;
    }

    void Transfer(ScsiExchange& x, bool write) {
        if (!mediumPresent_) {
            x.CheckCondition(sense::kNotReady, 0x3A, 0x00);
            return;
        }
        std::uint64_t lba = Be32(x.cdb + 2);
        std::uint64_t count = Be16(x.cdb + 7);
        std::uint64_t bytes = count * kSector;
        if (lba + count > sectors_) {
            x.CheckCondition(sense::kIllegalRequest, 0x21, 0x00);
            return;
        }
        DataDirection expected = write ? DataDirection::Out : DataDirection::In;
        if (count > 0 && (x.direction != expected || bytes > x.dataLength)) {
            x.CheckCondition(sense::kIllegalRequest, 0x24, 0x00);
            return;
        }
        if (write && readOnly_) {
            x.CheckCondition(sense::kDataProtect, 0x27, 0x00);
            return;
        }
        off_t offset = static_cast<off_t>(lba * kSector);
        std::uint64_t done = 0;
        while (done < bytes) {
            ssize_t n = write ? pwrite(fd_, x.data + done, bytes - done, offset + static_cast<off_t>(done))
                              : pread(fd_, x.data + done, bytes - done, offset + static_cast<off_t>(done));
            if (n < 0 && errno == EINTR) continue;
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

    int fd_;
    bool readOnly_;
    std::uint64_t sectors_;
    bool mediumPresent_ = true;
    bool preventRemoval_ = false;
};

}  // namespace

std::shared_ptr<ScsiTarget> OpenCardImage(const std::string& path, std::string* error) {
    bool readOnly = false;
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        readOnly = true;
    }
    if (fd < 0) {
        if (error) *error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (error) *error = path + ": not a regular file";
        close(fd);
        return nullptr;
    }
    return std::make_shared<CardImageReader>(fd, readOnly,
                                             static_cast<std::uint64_t>(st.st_size) / kSector);
}

}  // namespace platform
