// Helpers shared by the device and platform tests: the request block's byte
// layout for this pointer width, sector patterns, sparse card images in a
// private temp folder, and a drive map that starts and ends empty.
#pragma once

#ifdef _WIN32
#include <process.h>
#include <windows.h>
#else
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/volume_handles.h"
#include "scsi/card_image.h"
#include "scsi/drive_map.h"
#include "scsi/target.h"

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

// A sparse image file in its own temp folder, removed with the object, with
// 64-bit offsets in a 32-bit build too.
class TempImage {
public:
    explicit TempImage(std::uint64_t sectors) {
        namespace fs = std::filesystem;
        static int made = 0;
        fs::path dir = fs::temp_directory_path() /
                       ("brisant-test-" + std::to_string(ProcessId()) + "-" + std::to_string(++made));
        std::error_code error;
        if (!fs::create_directory(dir, error)) throw std::runtime_error("cannot create " + dir.string());
        dir_ = dir.string();
        path_ = (dir / "card.img").string();
        bool sized = std::ofstream(path_, std::ios::binary).good();
        if (sized) fs::resize_file(path_, sectors * 512, error);
        if (!sized || error) {
            // The destructor does not run for a constructor that throws.
            fs::remove_all(dir_, error);
            throw std::runtime_error("cannot create " + path_);
        }
    }
    ~TempImage() {
        // A drive still mapped to the image holds it open, and Windows
        // deletes no open file: the folder would stay behind.
        for (char letter = 'D'; letter <= 'Z'; ++letter) {
            if (platform::IsMappedDrive(letter) && platform::DescribeDrive(letter) == path_) platform::UnmapDrive(letter);
        }
        std::error_code error;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_write, std::filesystem::perm_options::add,
                                     error);
        std::filesystem::remove_all(dir_, error);
    }
    TempImage(const TempImage&) = delete;
    TempImage& operator=(const TempImage&) = delete;

    const std::string& path() const { return path_; }

    std::uint64_t SizeBytes() const {
        std::error_code error;
        std::uintmax_t size = std::filesystem::file_size(path_, error);
        return error ? 0 : static_cast<std::uint64_t>(size);
    }

    std::vector<std::uint8_t> Read(std::uint64_t lba, std::uint64_t sectors = 1) const {
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(sectors) * 512);
        std::ifstream file(path_, std::ios::binary);
        file.seekg(static_cast<std::streamoff>(lba * 512));
        file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!file || file.gcount() != static_cast<std::streamsize>(bytes.size())) {
            throw std::runtime_error("cannot read " + path_);
        }
        return bytes;
    }

    void Write(std::uint64_t lba, const std::vector<std::uint8_t>& bytes) const {
        std::fstream file(path_, std::ios::binary | std::ios::in | std::ios::out);
        file.seekp(static_cast<std::streamoff>(lba * 512));
        file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!file.flush()) throw std::runtime_error("cannot write " + path_);
    }

#ifndef _WIN32
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
#endif
    // A reader that finds the file read-only.
    std::shared_ptr<platform::ScsiTarget> OpenReadOnly() const {
#ifdef _WIN32
        ::SetFileAttributesA(path_.c_str(), FILE_ATTRIBUTE_READONLY);
        return platform::OpenCardImage(path_);
#else
        return OpenAsUser(0444, [](const std::string& path) { return platform::OpenCardImage(path); });
#endif
    }

private:
    static long ProcessId() {
#ifdef _WIN32
        return _getpid();
#else
        return static_cast<long>(getpid());
#endif
    }

    std::string dir_;
    std::string path_;
};

// Wine as root opens read-only files for writing all the same.
inline bool ReadOnlyFilesAreHonoured() {
#ifdef _WIN32
    HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll == nullptr || ::GetProcAddress(ntdll, "wine_get_version") == nullptr;
#else
    return true;
#endif
}

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
