#include "scsi/image_file.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace platform {

#ifdef _WIN32

namespace {

std::string LastErrorText() {
    char text[256] = {};
    DWORD code = ::GetLastError();
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                               sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.')) text[--n] = '\0';
    return n > 0 ? std::string(text) : "error " + std::to_string(code);
}

OVERLAPPED At(std::uint64_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

}  // namespace

ImageFile::~ImageFile() {
    if (handle_ != nullptr) ::CloseHandle(handle_);
}

bool ImageFile::Open(const std::string& path, std::string* error) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    readOnly_ = false;
    if (h == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED) {
        h = ::CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        readOnly_ = true;
    }
    if (h == INVALID_HANDLE_VALUE) {
        if (error) *error = path + ": " + LastErrorText();
        return false;
    }
    if (::GetFileType(h) != FILE_TYPE_DISK) {
        if (error) *error = path + ": not a regular file";
        ::CloseHandle(h);
        return false;
    }
    handle_ = h;
    return true;
}

std::int64_t ImageFile::Size() const {
    LARGE_INTEGER size{};
    return ::GetFileSizeEx(handle_, &size) ? size.QuadPart : -1;
}

std::int64_t ImageFile::ReadAt(void* buffer, std::size_t bytes, std::uint64_t offset) const {
    OVERLAPPED at = At(offset);
    DWORD done = 0;
    if (::ReadFile(handle_, buffer, static_cast<DWORD>(bytes), &done, &at)) return done;
    return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
}

std::int64_t ImageFile::WriteAt(const void* buffer, std::size_t bytes, std::uint64_t offset) const {
    OVERLAPPED at = At(offset);
    DWORD done = 0;
    return ::WriteFile(handle_, buffer, static_cast<DWORD>(bytes), &done, &at) ? done : -1;
}

#else

ImageFile::~ImageFile() {
    if (fd_ >= 0) close(fd_);
}

bool NoOneMayWrite(unsigned mode) { return (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0; }

bool ImageFile::Open(const std::string& path, std::string* error) {
    readOnly_ = false;
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    // Root opens a read-only file for writing all the same: its mode is what
    // write-protects the image.
    struct stat mode {};
    if (fd >= 0 && fstat(fd, &mode) == 0 && NoOneMayWrite(mode.st_mode)) {
        close(fd);
        fd = -1;
        errno = EACCES;
    }
    if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        readOnly_ = true;
    }
    if (fd < 0) {
        if (error) *error = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (error) *error = path + ": not a regular file";
        close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

std::int64_t ImageFile::Size() const {
    struct stat st {};
    return fstat(fd_, &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
}

std::int64_t ImageFile::ReadAt(void* buffer, std::size_t bytes, std::uint64_t offset) const {
    ssize_t n;
    do {
        n = pread(fd_, buffer, bytes, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    return n;
}

std::int64_t ImageFile::WriteAt(const void* buffer, std::size_t bytes, std::uint64_t offset) const {
    ssize_t n;
    do {
        n = pwrite(fd_, buffer, bytes, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    return n;
}

#endif

}  // namespace platform
