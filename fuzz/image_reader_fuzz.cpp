// Any request block a caller may hand the card image reader through the
// pass-through call: any CDB, length, direction, LBA, sense area and buffer
// size. Never a crash or an access outside the buffers given, and never a
// write outside the image: its size stays what it was.
//
// Input: a flags byte (bit 0: the answer goes to a separate buffer), the
// sizes of the request and answer buffers (16 bits each), the request block
// itself, then the data the buffer holds. The block's data pointer is set to
// a buffer of exactly its transfer length, as a caller's contract says.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "scsi/drive_map.h"
#include "platform/winapi.h"

namespace {

constexpr std::size_t kImageSectors = 32;
constexpr std::uint32_t kMaxData = 40 * 512;  // reaches past the end of the image
constexpr std::size_t kMaxBlock = 256;

std::string g_dir, g_image;

void Require(bool ok) {
    if (!ok) std::abort();
}

void RemoveImage() {
    unlink(g_image.c_str());
    rmdir(g_dir.c_str());
}

off_t ImageSize() {
    struct stat st {};
    Require(stat(g_image.c_str(), &st) == 0);
    return st.st_size;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/brisant-fuzz-image-XXXXXX";
    Require(mkdtemp(dir) != nullptr);
    g_dir = dir;
    g_image = g_dir + "/card.img";
    std::atexit(RemoveImage);
    std::vector<std::uint8_t> image(kImageSectors * 512);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i / 512);
    FILE* f = std::fopen(g_image.c_str(), "wb");
    Require(f != nullptr && std::fwrite(image.data(), 1, image.size(), f) == image.size());
    std::fclose(f);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) return 0;
    const bool separateAnswer = data[0] & 1;
    const std::size_t inSize = (data[1] | data[2] << 8) % (kMaxBlock + 1);
    const std::size_t outSize = separateAnswer ? (data[3] | data[4] << 8) % (kMaxBlock + 1) : inSize;
    data += 5;
    size -= 5;

    std::vector<std::uint8_t> in(inSize), out(outSize);
    std::size_t n = std::min(size, inSize);
    if (n > 0) std::memcpy(in.data(), data, n);
    data += n;
    size -= n;

    std::vector<std::uint8_t> buffer;
    std::uint32_t asked = 0;
    if (inSize >= sizeof(SCSI_PASS_THROUGH_DIRECT)) {
        SCSI_PASS_THROUGH_DIRECT header;
        std::memcpy(&header, in.data(), sizeof header);
        header.DataTransferLength %= kMaxData + 1;
        asked = header.DataTransferLength;
        buffer.resize(asked);
        if (asked > 0) std::memcpy(buffer.data(), data, std::min<std::size_t>(size, asked));
        if (header.DataBuffer != nullptr) header.DataBuffer = buffer.empty() ? nullptr : buffer.data();
        std::memcpy(in.data(), &header, sizeof header);
    }

    const off_t before = ImageSize();
    platform::ClearDriveMap();
    Require(platform::MapDrive('E', g_image));
    HANDLE volume = sys::CreateFileA("\\\\.\\E:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
    Require(volume != INVALID_HANDLE_VALUE);
    DWORD returned = 0;
    void* answer = separateAnswer ? out.data() : in.data();
    BOOL done = sys::DeviceIoControl(volume, IOCTL_SCSI_PASS_THROUGH_DIRECT, inSize ? in.data() : nullptr,
                                     static_cast<DWORD>(inSize), outSize ? answer : nullptr,
                                     static_cast<DWORD>(outSize), &returned, nullptr);
    if (done) {
        SCSI_PASS_THROUGH_DIRECT reply;
        std::memcpy(&reply, answer, sizeof reply);
        Require(reply.DataTransferLength <= asked);
        Require(returned <= outSize);
    }
    Require(sys::CloseHandle(volume));
    platform::ClearDriveMap();
    Require(ImageSize() == before);
    return 0;
}
