// brisant-cli's command line and confirmation answer: any arguments, any
// answer. Never a crash, and never a volume other than this target's own
// temporary card images: the drive map is cleared before each run, an
// argument may name a path only inside the temporary folder, and opening a
// block device or any image outside that folder aborts the run. Undo files
// go to that folder too, and are removed after each run.
//
// Input: lines. The first is what stdin holds (the answer to the
// confirmation); each further line is one argument. The target works inside
// its temporary folder, so give libFuzzer absolute paths.
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "scsi/drive_map.h"
#include "scsi/target.h"
#include "platform/testing.h"
#include "scsi/testing.h"

int BrisantCliMain(int argc, char** argv);

// The linker's names for platform::OpenSgIoDevice and platform::OpenCardImage.
#define BLOCK_DEVICE _ZN8platform14OpenSgIoDeviceERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE
#define CARD_IMAGE _ZN8platform13OpenCardImageERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEEPS5_
#define JOIN2(a, b) a##b
#define JOIN(a, b) JOIN2(a, b)
using Target = std::shared_ptr<platform::ScsiTarget>;
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
extern "C" Target JOIN(__real_, CARD_IMAGE)(const std::string& path, std::string* error);
extern "C" Target JOIN(__real_, BLOCK_DEVICE)(const std::string& path);
// Referenced so that a name gone stale fails the link instead of leaving a
// back end unguarded.
Target (*volatile g_unusedBlockDevice)(const std::string&) = &JOIN(__real_, BLOCK_DEVICE);

namespace {

constexpr std::size_t kMaxArgs = 12;
constexpr off_t kSector = 512;

std::string g_dir;      // the temporary folder, no trailing slash
int g_devNull = -1;

struct Card {
    const char* name;
    char letter;
    std::uint32_t declared;
    off_t sectors;
};
// A card that passes every check, and one too small for the volume it declares.
constexpr Card kCards[] = {{"card.img", 'E', 1984000, 3968000}, {"small.img", 'F', 1984000, 64}};

void Require(bool ok) {
    if (!ok) std::abort();
}

std::string PathOf(const char* name) { return g_dir + "/" + name; }

void MakeCard(const Card& card) {
    int fd = open(PathOf(card.name).c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    Require(fd >= 0 && ftruncate(fd, card.sectors * kSector) == 0);
    std::uint8_t s[512] = {0xEB, 0x3C, 0x90};
    for (int i = 0; i < 4; ++i) s[32 + i] = static_cast<std::uint8_t>(card.declared >> (8 * i));
    s[510] = 0x55;
    s[511] = 0xAA;
    Require(pwrite(fd, s, sizeof s, 0) == 512);
    close(fd);
}

off_t SizeOf(const char* name) {
    struct stat st {};
    Require(stat(PathOf(name).c_str(), &st) == 0);
    return st.st_size;
}

// A path may appear in an argument only as a name in the temporary folder:
// relative (the working directory is that folder) or under its absolute name.
bool StaysInFolder(const std::string& arg) {
    if (arg.find("..") != std::string::npos) return false;
    std::size_t slash = arg.find('/');
    if (slash == std::string::npos) return true;
    const std::string prefix = g_dir + "/";
    return arg.compare(slash, prefix.size(), prefix) == 0 && arg.find('/', slash + prefix.size()) == std::string::npos;
}

bool InFolder(const std::string& path) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) return true;  // opens nothing
    return std::strncmp(resolved, (g_dir + "/").c_str(), g_dir.size() + 1) == 0;
}

// What a run left in the folder besides the cards and the answer: undo files
// (the state folder is the temporary one), and those --undo-file named.
void RemoveLeftovers() {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(g_dir, error)) {
        const std::string name = entry.path().filename().string();
        if (name != "answer" && name != kCards[0].name && name != kCards[1].name) {
            std::filesystem::remove_all(entry.path(), error);
        }
    }
}

void RemoveFolder() {
    RemoveLeftovers();
    for (const Card& card : kCards) unlink(PathOf(card.name).c_str());
    unlink(PathOf("answer").c_str());
    rmdir(g_dir.c_str());
}

}  // namespace

// The guards at the platform's own back ends (linked with --wrap).
extern "C" Target JOIN(__wrap_, BLOCK_DEVICE)(const std::string&) { std::abort(); }
extern "C" Target JOIN(__wrap_, CARD_IMAGE)(const std::string& path, std::string* error) {
    Require(InFolder(path));
    return JOIN(__real_, CARD_IMAGE)(path, error);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/brisant-fuzz-cli-XXXXXX";
    Require(mkdtemp(dir) != nullptr);
    g_dir = dir;
    Require(chdir(dir) == 0);
    Require(setenv("XDG_STATE_HOME", dir, 1) == 0);
    std::atexit(RemoveFolder);
    g_devNull = open("/dev/null", O_WRONLY);
    Require(g_devNull >= 0);
    // Sanitizer reports still reach the terminal while the program's own
    // output goes nowhere.
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(dup(STDERR_FILENO))));
    platform::testing::SkipSleeps(true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> lines;
    for (std::size_t at = 0;;) {
        std::size_t end = text.find('\n', at);
        lines.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
        if (end == std::string::npos) break;
        at = end + 1;
    }
    if (lines.size() > kMaxArgs + 1) return -1;
    std::vector<std::string> args(lines.begin() + 1, lines.end());
    for (const std::string& arg : args) {
        if (arg.find('\0') != std::string::npos || !StaysInFolder(arg)) return -1;
    }
    // A repair with --verify writes and reads back the whole 2 GB card: far
    // too slow for one input. --verify with every other command is still
    // fuzzed.
    auto has = [&](const char* word) {
        for (const std::string& arg : args) {
            if (arg == word) return true;
        }
        return false;
    };
    if (has("--verify") && has("repair")) return -1;

    for (const Card& card : kCards) MakeCard(card);
    FILE* answer = std::fopen(PathOf("answer").c_str(), "wb");
    Require(answer != nullptr);
    std::fwrite(lines[0].data(), 1, lines[0].size(), answer);
    std::fclose(answer);
    Require(std::freopen(PathOf("answer").c_str(), "rb", stdin) != nullptr);

    platform::ClearDriveMap();
    for (const Card& card : kCards) Require(platform::MapDrive(card.letter, PathOf(card.name)));

    std::vector<char*> argv;
    std::string program = "brisant-cli";
    argv.push_back(program.data());
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    std::fflush(stdout);
    std::fflush(stderr);
    int savedOut = dup(STDOUT_FILENO), savedErr = dup(STDERR_FILENO);
    dup2(g_devNull, STDOUT_FILENO);
    dup2(g_devNull, STDERR_FILENO);
    optind = 0;  // in case the options are ever parsed with getopt, which keeps its place
    int status = BrisantCliMain(static_cast<int>(argv.size() - 1), argv.data());
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(savedOut, STDOUT_FILENO);
    dup2(savedErr, STDERR_FILENO);
    close(savedOut);
    close(savedErr);

    platform::ClearDriveMap();
    Require(platform::OpenVolumeCount() == 0);
    (void)status;
    for (const Card& card : kCards) Require(SizeOf(card.name) == card.sectors * kSector);
    RemoveLeftovers();
    return 0;
}
