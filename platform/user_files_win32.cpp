#include <windows.h>

#include <cstdlib>
#include <string>

#include "platform/user_files.h"

namespace platform {

std::string UndoFolder() {
    const char* local = std::getenv("LOCALAPPDATA");
    if (local == nullptr || local[0] == '\0') return std::string();
    return JoinPath(local, "Brisant");
}

std::string UndoFolderLack() { return "LOCALAPPDATA is not set"; }

bool WriteNewFile(const std::string& path, const std::vector<BYTE>& bytes, std::string& why) {
    if (FileExists(path)) {
        why = path + " exists already";
        return false;
    }
    const std::string temporary = path + ".tmp-" + std::to_string(GetCurrentProcessId());
    HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        why = "cannot create " + temporary + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    bool written = true;
    std::size_t done = 0;
    while (written && done < bytes.size()) {
        const std::size_t left = bytes.size() - done;
        const DWORD part = left > 0x10000000u ? 0x10000000u : static_cast<DWORD>(left);
        DWORD n = 0;
        written = WriteFile(file, bytes.data() + done, part, &n, nullptr) && n == part;
        done += n;
    }
    written = written && FlushFileBuffers(file);
    CloseHandle(file);
    // Without MOVEFILE_REPLACE_EXISTING the move fails on a file of that name.
    if (written && MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH)) return true;
    why = (written ? "cannot name " + path : "cannot write " + temporary) + " (error " + std::to_string(GetLastError()) + ")";
    DeleteFileA(temporary.c_str());
    return false;
}

}  // namespace platform
