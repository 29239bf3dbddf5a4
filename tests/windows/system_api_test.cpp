// The real Windows API behind sys::, as the programs reach it. Under Wine a
// volume opens but takes no SCSI pass-through, so the sweep must come back
// empty and nothing may be written; a real Windows machine answers through
// the opt-in self-test instead.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "device/card_device.h"
#include "device/scsi_request_block.h"
#include "scsi/drive_map.h"
#include "platform/sha256.h"
#include "platform/user_files.h"
#include "platform/winapi.h"

namespace {

bool UnderWine() {
    HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The drive every Wine prefix maps, to its own folder.
constexpr char kWineDrive[] = "\\\\.\\C:";

TEST(SystemApi, WineVolumeOpensButRefusesPassThrough) {
    if (!UnderWine()) GTEST_SKIP() << "a real Windows machine: see the self-test";
    HANDLE volume = sys::CreateFileA(kWineDrive, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(volume, INVALID_HANDLE_VALUE) << "error " << ::GetLastError();

    CCardDevice device;
    EXPECT_FALSE(device.Inquiry(volume));
    // Nor does a write reach it: the pass-through is refused, whether or not
    // the volume was locked first.
    BYTE sector[kSectorSize] = {};
    EXPECT_FALSE(device.WriteSectors(volume, sector, 0, 1));
    EXPECT_TRUE(sys::CloseHandle(volume));
}

TEST(SystemApi, SweepOfRealVolumesIsEmptyUnderWine) {
    if (!UnderWine()) GTEST_SKIP() << "a real Windows machine: see the self-test";
    CCardDevice device;
    BYTE letters[kDriveTableSize] = {};
    EXPECT_EQ(device.EnumDrives(letters), 0);
    EXPECT_EQ(device.m_hDevice, INVALID_HANDLE_VALUE);
}

TEST(SystemApi, RealVolumesTakeNoCardImages) {
    std::string error;
    EXPECT_FALSE(platform::ParseDriveOption("E=card.img", &error));
    EXPECT_NE(error.find("test builds"), std::string::npos) << error;
    EXPECT_EQ(platform::DescribeDrive('E'), "\\\\.\\E:");
}

TEST(SystemApi, GlobalMemoryIsZeroFilledAndMoveable) {
    HGLOBAL memory = sys::GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 4096);
    ASSERT_NE(memory, nullptr);
    auto* bytes = static_cast<BYTE*>(sys::GlobalLock(memory));
    ASSERT_NE(bytes, nullptr);
    BYTE zeros[4096] = {};
    EXPECT_EQ(std::memcmp(bytes, zeros, sizeof zeros), 0);
    sys::GlobalUnlock(memory);
    EXPECT_EQ(sys::GlobalFree(memory), nullptr);
}

// The undo file's two system services: SHA-256 from BCrypt, and a new file
// that is whole or absent and never replaces one.
TEST(SystemApi, Sha256AndNewFilesOfTheUndoFile) {
    platform::Sha256Digest digest{};
    ASSERT_TRUE(platform::Sha256("abc", 3, digest));
    const BYTE abc[4] = {0xBA, 0x78, 0x16, 0xBF};  // FIPS 180-2's first example
    EXPECT_EQ(std::memcmp(digest.data(), abc, sizeof abc), 0);

    const std::string folder = platform::JoinPath(platform::UndoFolder(), "test-" + std::to_string(GetCurrentProcessId()));
    std::string why;
    ASSERT_TRUE(platform::MakeFolders(folder, why)) << why;
    const std::string path = platform::JoinPath(folder, "a.brisant-undo");
    const std::vector<BYTE> first(70000, 0x5A), second(10, 0x11);
    EXPECT_TRUE(platform::WriteNewFile(path, first, why)) << why;
    EXPECT_FALSE(platform::WriteNewFile(path, second, why));
    std::vector<BYTE> back;
    EXPECT_TRUE(platform::ReadWholeFile(path, back, why, 1 << 20)) << why;
    EXPECT_EQ(back, first);
    EXPECT_EQ(platform::FilesIn(folder, ".brisant-undo"), std::vector<std::string>{path});
    EXPECT_TRUE(platform::RemoveFile(path));
    RemoveDirectoryA(folder.c_str());
}

}  // namespace
