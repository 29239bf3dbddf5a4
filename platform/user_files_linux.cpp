#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/user_files.h"

namespace platform {

std::string UndoFolder() {
    const char* state = std::getenv("XDG_STATE_HOME");
    // A relative one is invalid and is ignored, as the base directory rules say.
    if (state != nullptr && state[0] == '/') return JoinPath(state, "brisant");
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') return std::string();
    return JoinPath(JoinPath(home, ".local/state"), "brisant");
}

namespace {

bool WriteAll(int fd, const BYTE* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// The folder's own entry reaches the disk only when the folder is flushed.
void SyncFolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

bool WriteNewFile(const std::string& path, const std::vector<BYTE>& bytes, std::string& why) {
    if (FileExists(path)) {
        why = path + " exists already";
        return false;
    }
    const std::string temporary = path + ".tmp-" + std::to_string(::getpid());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        why = "cannot create " + temporary + ": " + std::strerror(errno);
        return false;
    }
    bool written = WriteAll(fd, bytes.data(), bytes.size()) && ::fsync(fd) == 0;
    const int error = errno;
    written = ::close(fd) == 0 && written;
    // link() gives the name only when no file holds it yet, where rename()
    // would replace one.
    if (written && ::link(temporary.c_str(), path.c_str()) != 0) {
        why = "cannot name " + path + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    ::unlink(temporary.c_str());
    if (!written) {
        why = "cannot write " + temporary + ": " + std::strerror(error);
        return false;
    }
    SyncFolderOf(path);
    return true;
}

}  // namespace platform
