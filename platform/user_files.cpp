#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/user_files.h"

namespace platform {

namespace fs = std::filesystem;

bool MakeFolders(const std::string& folder, std::string& why) {
    std::error_code error;
    // Each folder made is the user's alone from the start: the undo files
    // hold bytes of the user's cards.
    std::vector<fs::path> missing;
    for (fs::path at = fs::path(folder); !at.empty() && !fs::exists(at, error); at = at.parent_path()) {
        missing.push_back(at);
        if (at == at.parent_path()) break;
    }
    for (auto made = missing.rbegin(); !error && made != missing.rend(); ++made) {
        if (fs::create_directory(*made, error)) fs::permissions(*made, fs::perms::owner_all, error);
    }
    if (error || !fs::is_directory(fs::path(folder), error)) {
        why = "cannot create the folder " + folder + (error ? ": " + error.message() : "");
        return false;
    }
    return true;
}

bool ReadWholeFile(const std::string& path, std::vector<BYTE>& bytes, std::string& why, std::size_t limit) {
    std::error_code error;
    if (!fs::is_regular_file(fs::path(path), error)) {
        why = fs::exists(fs::path(path), error) ? path + " is not a file" : "cannot open " + path + ": no such file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        why = "cannot open " + path;
        return false;
    }
    bytes.clear();
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        if (bytes.size() + static_cast<std::size_t>(in.gcount()) > limit) {
            why = path + " is too large for what it should hold";
            return false;
        }
        bytes.insert(bytes.end(), buffer, buffer + in.gcount());
    }
    if (in.bad()) {
        why = "cannot read " + path;
        return false;
    }
    return true;
}

bool FileExists(const std::string& path) {
    std::error_code error;
    return fs::exists(fs::path(path), error);
}

bool RemoveFile(const std::string& path) {
    std::error_code error;
    return fs::remove(fs::path(path), error);
}

std::vector<std::string> FilesIn(const std::string& folder, const std::string& suffix) {
    std::vector<std::string> files;
    std::error_code error;
    for (fs::directory_iterator it(fs::path(folder), error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0 &&
            it->is_regular_file(error)) {
            files.push_back(it->path().string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    return (fs::path(folder) / name).string();
}

}  // namespace platform
