// The files a program keeps for its user, here the undo files of repairs:
// where they live, and writing one so that it is whole or absent.
#pragma once

#include <string>
#include <vector>

#include "platform/winapi.h"

namespace platform {

// The per-user folder for undo files: $XDG_STATE_HOME/brisant or
// ~/.local/state/brisant on Linux, %LOCALAPPDATA%\Brisant on Windows; "" when
// the environment names no home.
std::string UndoFolder();
// What the environment lacks when UndoFolder() is "".
std::string UndoFolderLack();

// Creates the folder and the parents it lacks (only the user may enter what
// is made).
bool MakeFolders(const std::string& folder, std::string& why);

// Writes a new file: under a temporary name, flushed to the disk, then given
// its name, which must not exist yet. A file that cannot be written whole is
// never left behind under either name.
bool WriteNewFile(const std::string& path, const std::vector<BYTE>& bytes, std::string& why);

// Refuses a file of more than `limit` bytes, so that a device node or any
// large file named by mistake is not read into memory.
bool ReadWholeFile(const std::string& path, std::vector<BYTE>& bytes, std::string& why, std::size_t limit);
bool FileExists(const std::string& path);
bool RemoveFile(const std::string& path);
// The files in a folder whose names end with the suffix, sorted by name.
std::vector<std::string> FilesIn(const std::string& folder, const std::string& suffix);
std::string JoinPath(const std::string& folder, const std::string& name);

}  // namespace platform
