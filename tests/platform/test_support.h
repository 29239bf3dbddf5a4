// Helpers shared by the device and platform tests: the request block's byte
// layout for this pointer width, sector patterns, sparse card images in a
// private temp folder, and a drive map that starts and ends empty.
#pragma once

#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/drive_map.h"
#include "platform/scsi_target.h"

namespace brisant_test {

// Offsets written out by hand, not taken from the structs, so a layout slip
// in the headers shows up as a byte mismatch.
struct BlockLayout {
    std::size_t size;  // the whole request block
    std::size_t header;
    std::size_t dataBuffer;
    std::size_t senseInfoOffset;
    std::size_t cdb;
    std::size_t reserved;
    std::size_t senseData;
};
inline constexpr std::size_t kLength = 0;
inline constexpr std::size_t kScsiStatus = 2;
inline constexpr std::size_t kPathId = 3;
inline constexpr std::size_t kTargetId = 4;
inline constexpr std::size_t kLun = 5;
inline constexpr std::size_t kCdbLength = 6;
inline constexpr std::size_t kSenseInfoLength = 7;
inline constexpr std::size_t kDataIn = 8;
inline constexpr std::size_t kDataTransferLength = 12;
inline constexpr std::size_t kTimeOutValue = 16;
inline constexpr BlockLayout kLayout = sizeof(void*) == 8 ? BlockLayout{96, 56, 24, 32, 36, 56, 60}
                                                          : BlockLayout{80, 44, 20, 24, 28, 44, 48};

inline void PutLe(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) bytes.at(at + i) = static_cast<std::uint8_t>(value >> (8 * i));
}

// Names the field a byte offset belongs to, for readable mismatches.
inline std::string FieldAt(std::size_t at) {
    const BlockLayout& l = kLayout;
    if (at < 2) return "Length";
    if (at == kScsiStatus) return "ScsiStatus";
    if (at == kPathId) return "PathId";
    if (at == kTargetId) return "TargetId";
    if (at == kLun) return "Lun";
    if (at == kCdbLength) return "CdbLength";
    if (at == kSenseInfoLength) return "SenseInfoLength";
    if (at == kDataIn) return "DataIn";
    if (at >= 12 && at < 16) return "DataTransferLength";
    if (at >= 16 && at < 20) return "TimeOutValue";
    if (at >= l.dataBuffer && at < l.dataBuffer + sizeof(void*)) return "DataBuffer";
    if (at >= l.senseInfoOffset && at < l.senseInfoOffset + 4) return "SenseInfoOffset";
    if (at >= l.cdb && at < l.cdb + 16) return "Cdb[" + std::to_string(at - l.cdb) + "]";
    if (at >= l.reserved && at < l.reserved + 4) return "Reserved";
    if (at >= l.senseData && at < l.senseData + 32) return "SenseData[" + std::to_string(at - l.senseData) + "]";
    return "padding";
}

inline ::testing::AssertionResult SameBytes(const std::vector<std::uint8_t>& got,
                                            const std::vector<std::uint8_t>& want) {
    if (got.size() != want.size()) {
        return ::testing::AssertionFailure() << "block is " << got.size() << " bytes, want " << want.size();
    }
    ::testing::AssertionResult result = ::testing::AssertionSuccess();
    int mismatches = 0;
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (got[i] == want[i]) continue;
        if (mismatches++ == 0) result = ::testing::AssertionFailure();
        if (mismatches <= 8) {
            char line[96];
            std::snprintf(line, sizeof line, "\n  byte %zu (%s): got 0x%02X, want 0x%02X", i, FieldAt(i).c_str(),
                          got[i], want[i]);
            result << line;
        }
    }
    if (mismatches > 8) result << "\n  ... " << mismatches << " bytes differ";
    return result;
}

// Every sector distinct, and none all zeros, so a misplaced sector shows.
inline std::uint8_t PatternByte(std::uint64_t sector, std::size_t i) {
    return static_cast<std::uint8_t>((sector + 1) * 37 + i * 11 + (i >> 8));
}
inline std::vector<std::uint8_t> Pattern(std::uint64_t firstSector, std::uint64_t sectors) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(sectors) * 512);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = PatternByte(firstSector + i / 512, i % 512);
    return bytes;
}

// A sparse image file in its own temp folder, removed with the object. The
// explicit 64-bit calls reach past 2 GiB in a 32-bit build too.
class TempImage {
public:
    explicit TempImage(std::uint64_t sectors) {
        const char* base = std::getenv("TMPDIR");
        std::string folder = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/brisant-test-XXXXXX";
        std::vector<char> name(folder.begin(), folder.end());
        name.push_back('\0');
        if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        dir_ = name.data();
        path_ = dir_ + "/card.img";
        int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_LARGEFILE, 0644);
        bool sized = fd >= 0 && ftruncate64(fd, static_cast<off64_t>(sectors * 512)) == 0;
        if (fd >= 0) close(fd);
        if (!sized) {
            // The destructor does not run for a constructor that throws.
            unlink(path_.c_str());
            rmdir(dir_.c_str());
            throw std::runtime_error("cannot create " + path_);
        }
    }
    ~TempImage() {
        unlink(path_.c_str());
        rmdir(dir_.c_str());
    }
    TempImage(const TempImage&) = delete;
    TempImage& operator=(const TempImage&) = delete;

    const std::string& path() const { return path_; }

    std::uint64_t SizeBytes() const {
        struct stat64 st {};
        return stat64(path_.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    }

    std::vector<std::uint8_t> Read(std::uint64_t lba, std::uint64_t sectors = 1) const {
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(sectors) * 512);
        int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_LARGEFILE);
        ssize_t n = fd < 0 ? -1 : pread64(fd, bytes.data(), bytes.size(), static_cast<off64_t>(lba * 512));
        if (fd >= 0) close(fd);
        if (n != static_cast<ssize_t>(bytes.size())) throw std::runtime_error("cannot read " + path_);
        return bytes;
    }

    void Write(std::uint64_t lba, const std::vector<std::uint8_t>& bytes) const {
        int fd = open(path_.c_str(), O_WRONLY | O_CLOEXEC | O_LARGEFILE);
        ssize_t n = fd < 0 ? -1 : pwrite64(fd, bytes.data(), bytes.size(), static_cast<off64_t>(lba * 512));
        if (fd >= 0) close(fd);
        if (n != static_cast<ssize_t>(bytes.size())) throw std::runtime_error("cannot write " + path_);
    }

    // A back end that finds the file read-only (mode 0444), or not open to it
    // at all (0). Root ignores file modes, so it opens under an unprivileged
    // file-system uid.
    template <typename Open>
    auto OpenAsUser(mode_t mode, Open open) const {
        chmod(path_.c_str(), mode);
        chmod(dir_.c_str(), 0755);
        bool root = geteuid() == 0;
        if (root) setfsuid(65534);
        auto target = open(path_);
        if (root) setfsuid(0);
        chmod(path_.c_str(), 0644);
        return target;
    }
    std::shared_ptr<platform::ScsiTarget> OpenReadOnly() const {
        return OpenAsUser(0444, [](const std::string& path) { return platform::OpenCardImage(path); });
    }

private:
    std::string dir_;
    std::string path_;
};

// The drive map is process-wide: every test starts from an empty one and
// must give back every volume handle it opened.
class DriveMapTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::ClearDriveMap();
        openBefore_ = platform::OpenVolumeCount();
    }
    void TearDown() override {
        EXPECT_EQ(platform::OpenVolumeCount(), openBefore_) << "volume handles left open";
        platform::ClearDriveMap();
    }

private:
    int openBefore_ = 0;
};

}  // namespace brisant_test
