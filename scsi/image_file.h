// A card image file with positioned, 64-bit-offset binary I/O on either system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

class ImageFile {
public:
    ImageFile() = default;
    ~ImageFile();
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    // Read-write when the file allows it, else read-only; false with a reason.
    bool Open(const std::string& path, std::string* error);
    bool ReadOnly() const { return readOnly_; }
    // The size now, or -1: another program may change it under us.
    std::int64_t Size() const;
    // Bytes moved, fewer at the end of the file; -1 on an error.
    std::int64_t ReadAt(void* buffer, std::size_t bytes, std::uint64_t offset) const;
    std::int64_t WriteAt(const void* buffer, std::size_t bytes, std::uint64_t offset) const;

private:
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int fd_ = -1;
#endif
    bool readOnly_ = false;
};

#ifndef _WIN32
// A card image whose mode lets no one write it is write-protected, also for
// root, who the system lets write it.
bool NoOneMayWrite(unsigned mode);
#endif

}  // namespace platform
