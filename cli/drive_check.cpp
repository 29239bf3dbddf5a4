#include "cli/drive_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "cli/console_operator.h"
#include "cli/exit_status.h"
#include "scsi/cdb.h"
#include "scsi/drive_identity.h"
#include "scsi/image_file.h"
#include "scsi/drive_map.h"

std::string DriveText(char letter) { return std::string(1, letter) + ":\\"; }

std::string Target::Label() const { return byPath ? name : name + " (" + path + ")"; }

Target LetterTarget(char letter) { return Target{letter, DriveText(letter), platform::DescribeDrive(letter), false}; }

namespace {

// Why a path cannot stand for a card, or an empty text.
std::string WhyPathUnusable(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return std::strerror(errno);
    if (S_ISDIR(st.st_mode)) return "is a directory, not a card or card image";
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) return "not a block device or card image";
    return std::string();
}

}  // namespace

bool ResolveTarget(const std::string& word, Target& target, std::string& error, int& status) {
    status = kExitUsage;
    if (!word.empty() && word.size() <= 3 && std::isalpha(static_cast<unsigned char>(word[0])) &&
        (word.size() == 1 || word[1] == ':') && (word.size() < 3 || word[2] == '\\')) {
        char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(word[0])));
        if (!platform::ValidLetter(letter)) {
            error = platform::LetterOutOfRange(word);
            return false;
        }
        target = LetterTarget(letter);
        status = kExitFailed;
        if (target.path.empty()) {
            error = DriveText(letter) + " is not mapped to anything";
            return false;
        }
        return true;
    }
    status = kExitFailed;
    error = WhyPathUnusable(word);
    if (!error.empty()) {
        error = word + ": " + error;
        return false;
    }
    char letter = platform::LetterForPath(word);
    if (letter == 0) {
        error = "no free drive letter for " + word;
        return false;
    }
    if (!platform::MapDrive(letter, word)) {
        status = kExitUsage;
        error = "this build reaches drive letters only, not " + word;
        return false;
    }
    target = Target{letter, word, platform::DescribeDrive(letter), true};
    return true;
}

Sweep::Sweep() {
    CCardDevice device;
    m_nCount = device.EnumDrives(m_Letters);
}

bool Sweep::Offers(char letter) const { return std::memchr(m_Letters, letter, m_nCount) != nullptr; }

namespace {

// Why the letter's target did not open; `error` is the errno of the attempt.
std::string WhyNotOpened(const Target& t, int error, bool& absent) {
#ifdef _WIN32
    (void)t;
    (void)error;
    const DWORD code = ::GetLastError();
    absent = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
    if (code == ERROR_ACCESS_DENIED) return "access denied; run it as administrator";
    return absent ? "no such drive" : "Windows error " + std::to_string(code);
#else
    absent = false;
    std::string unusable = WhyPathUnusable(t.path);
    if (!unusable.empty()) return unusable;
    if ((error == EACCES || error == EPERM) && geteuid() != 0) return "permission denied; run as root (try sudo)";
    return error != 0 ? std::strerror(error) : "cannot be opened";
#endif
}

// Puts a watch in front of the drive's target for the rest of the run; null
// when the target does not open, with the reason.
std::shared_ptr<CommandWatch> WatchDrive(const Target& t, std::string& reason, bool& absent) {
    errno = 0;
    std::shared_ptr<platform::ScsiTarget> target = platform::OpenDriveTarget(t.letter);
    const int error = errno;
    if (!target) {
        reason = WhyNotOpened(t, error, absent);
        return nullptr;
    }
    auto watch = std::make_shared<CommandWatch>(target);
    platform::MapDrive(t.letter, watch, t.path);
    return watch;
}

// Why a drive that opens is not among the drives the sweep offers.
std::string WhyNotOffered(char letter, CommandWatch& watch) {
    CCardDevice device;
    watch.Reset();
    HANDLE h = device.OpenDrive(letter);
    BOOL removable = h != nullptr && device.Inquiry(h);
    if (h != nullptr) device.CloseDrive(h);
    if (removable) return "not one of the first 16 drives the sweep offers (D: to Z:, in order)";
    if (watch.first.seen) return "INQUIRY failed: " + watch.first.Describe();
    return "not removable: only a removable disk (a card reader, a card slot, a card image) is offered, never a "
           "fixed disk, a loop device or another kind of device";
}

// The declared capacity, by the repair's own probe.
void ReadDeclaredCapacity(char letter, DriveVerdict& v) {
    CCardDevice device;
    CConsoleOperator op(DriveText(letter), false, false, true);
    CCapacityRepair repair(device, op);
    repair.ProbeCapacity();
    v.declared = repair.m_nCapacity;
    v.declaredText = repair.m_strCapacity;
    v.target = TargetCapacity(v.declared);
    v.volume = ComputeGeometry(v.target).totalSectors;
}

// The sectors of the medium, as the system knows them without a command; 0
// when it does not know.
std::uint64_t MediumSectors(char letter) {
#ifdef _WIN32
    (void)letter;
    return 0;
#else
    platform::DriveIdentity identity = platform::IdentifyDrive(letter);
    return identity.known ? identity.sizeBytes / kSectorSize : 0;
#endif
}

// Why sector 0 declares no capacity: the repair's own message says only that
// there is nothing to fix.
std::string WhyNothingDeclared(char letter) {
    CCardDevice device;
    HANDLE h = device.OpenDrive(letter);
    BYTE sector[kSectorSize] = {};
    const BOOL read = h != nullptr && device.ReadSectors(h, sector, 0, 1);
    if (h != nullptr) device.CloseDrive(h);
    if (!read) return std::string();
    if (sector[510] != 0x55 || sector[511] != 0xAA) {
        return "sector 0 holds no FAT boot sector (no 55 AA signature at its end), so it declares no capacity";
    }
    return sector[0] == 0xEB ? "sector 0's FAT boot sector declares 0 sectors in its 32-bit total"
                             : "sector 0 holds no FAT boot sector, and its first partition declares 0 sectors";
}

// An image that no one may write is refused before the question, not by the
// first write after it; root opens it all the same, so its mode decides.
std::string WhyImageReadOnly(char letter) {
#ifdef _WIN32
    (void)letter;
    return std::string();
#else
    const platform::DriveIdentity identity = platform::IdentifyDrive(letter);
    struct stat st {};
    if (!identity.known || !identity.image || stat(identity.path.c_str(), &st) != 0 ||
        !platform::NoOneMayWrite(st.st_mode)) {
        return std::string();
    }
    return "the card is write protected: the image's mode lets no one write it";
#endif
}

}  // namespace

DriveVerdict CheckReachable(const Target& t, const Sweep& sweep, std::shared_ptr<CommandWatch>& watch) {
    DriveVerdict v;
    v.status = kExitFailed;
    auto refuse = [&](const std::string& reason) {
        if (v.reason.empty()) v.reason = reason;
    };
    // Asked before the program opens the drive itself, which would count.
    const std::string use = platform::DriveInUse(t.letter);
    std::string reason;
    watch = WatchDrive(t, reason, v.absent);
    if (!watch) {
        refuse(reason);
        return v;
    }
    if (!sweep.Offers(t.letter)) {
        refuse(WhyNotOffered(t.letter, *watch));
        return v;
    }
    v.offered = true;
    if (!use.empty()) refuse("in use: " + use);
    watch->Reset();
    ReadDeclaredCapacity(t.letter, v);
    // Sector 0 that cannot be read is a failure of its own, not a 0 MB card.
    if (watch->first.seen) {
        refuse("reading sector 0 failed: " + watch->first.Describe());
        return v;
    }
    v.probed = true;
    if (v.reason.empty()) v.status = kExitOk;
    return v;
}

DriveVerdict CheckDrive(const Target& t, const Sweep& sweep, std::shared_ptr<CommandWatch>& watch) {
    DriveVerdict v = CheckReachable(t, sweep, watch);
    if (v.status != kExitOk) return v;
    if (!IsCapacityEligible(v.declared)) {
        v.status = kExitNotEligible;
        if (v.declared == 0) v.reason = WhyNothingDeclared(t.letter);
        return v;
    }
    // The repair reads the last sector of the new volume before it writes;
    // on a medium known to end before it, that read cannot succeed.
    const std::uint64_t medium = MediumSectors(t.letter);
    if (medium != 0 && medium < v.target) {
        v.status = kExitFailed;
        v.reason = LastSectorUnread(v.target) + ": the medium holds only " + std::to_string(medium) + " sectors (" +
                   CapacityText(static_cast<DWORD>(medium)) + ")";
        return v;
    }
    v.reason = WhyImageReadOnly(t.letter);
    if (!v.reason.empty()) v.status = kExitFailed;
    return v;
}

void ReleaseDrive(const Target& t) {
    if (t.path.empty() || !platform::MapDrive(t.letter, t.path)) platform::UnmapDrive(t.letter);
}

std::string WhyFailed(const Target& t, const CCapacityRepair& repair, const CommandWatch::Failure& failure) {
    if (failure.WriteProtected()) return "the card is write protected: " + failure.Describe();
    if (failure.NoMedium()) return "no card in the reader: " + failure.Describe();
    // The drive is asked as a path again, with the program's own use of it ended.
    ReleaseDrive(t);
    std::string use = platform::DriveInUse(t.letter);
    if (!use.empty()) return "in use: " + use;
    if (failure.seen && !failure.carriedOut && platform::IsWriteCommand(failure.cdb[0]) &&
        access(t.path.c_str(), R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
        return "permission denied: writing needs root (try sudo)";
    }
    const std::string reason = RefusalReason(repair);
    if (repair.m_Refusal == CCapacityRepair::Refusal::LastSector) return reason + " (" + failure.Describe() + ")";
    if (repair.m_Refusal == CCapacityRepair::Refusal::Command) return failure.seen ? failure.Describe() : "a command failed";
    return reason;
}

std::string IdentityOf(char letter) {
#ifdef _WIN32
    return platform::DescribeDrive(letter);
#else
    platform::DriveIdentity identity = platform::IdentifyDrive(letter);
    std::string text = identity.known ? platform::IdentityText(identity) : platform::DescribeDrive(letter);
    if (identity.partition) text += "; the whole card " + identity.disk + ", its partition table included, is re-formatted";
    return text;
#endif
}
