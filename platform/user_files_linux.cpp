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

std::string UndoFolderLack() { return "neither XDG_STATE_HOME nor HOME is set"; }

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

namespace {

// Creates the file under its name, which must be free, written whole and
// flushed, or removes it again.
bool WriteFile(const std::string& path, const std::vector<BYTE>& bytes, std::string& why) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        why = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    bool written = WriteAll(fd, bytes.data(), bytes.size()) && ::fsync(fd) == 0;
    const int error = errno;
    written = ::close(fd) == 0 && written;
    if (!written) {
        why = "cannot write " + path + ": " + std::strerror(error);
        ::unlink(path.c_str());
    }
    return written;
}

}  // namespace

bool WriteNewFile(const std::string& path, const std::vector<BYTE>& bytes, std::string& why) {
    if (FileExists(path)) {
        why = path + " exists already";
        return false;
    }
    const std::string temporary = path + ".tmp-" + std::to_string(::getpid());
    if (!WriteFile(temporary, bytes, why)) return false;
    // link() gives the name only when no file holds it yet, where rename()
    // would replace one.
    if (::link(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        // FAT and exFAT folders (a USB stick) have no links: the file is
        // made under its own name instead, never over another.
        if ((error != EPERM && error != EOPNOTSUPP) || !WriteFile(path, bytes, why)) {
            if (why.empty()) why = "cannot name " + path + ": " + std::strerror(error);
            return false;
        }
    }
    ::unlink(temporary.c_str());
    SyncFolderOf(path);
    return true;
}

}  // namespace platform
