// selftest: the command that checks a reader's five commands, after its question.
#include "cli/selftest.h"

#include <cstdio>
#include <memory>
#include <vector>

#include "cli/commands.h"
#include "cli/drive_report.h"
#include "cli/exit_status.h"
#include "device/saving_device.h"
#include "repair/capacity_repair.h"
#include "repair/sector_stamps.h"

namespace {

constexpr DWORD kRun = kMaxSectorsPerCommand;
constexpr int kRestoreAttempts = 3;

class SelftestSteps {
public:
    SelftestSteps(CCardDevice& device, HANDLE handle, CommandWatch& watch)
        : device_(device), handle_(handle), watch_(watch), saving_(device, handle) {}

    // One step: "ok    WHAT", or "FAIL  WHAT" with the reason below it.
    bool Step(const std::string& what, bool done, const char* otherwise = nullptr) {
        if (done) {
            std::printf("ok    %s\n", what.c_str());
        } else {
            // A command that failed names itself.
            std::string why = otherwise != nullptr ? otherwise : watch_.first.seen ? watch_.first.Describe()
                                                                                  : "not sent";
            std::printf("FAIL  %s\n      %s\n", what.c_str(), why.c_str());
            if (failure.empty()) failure = watch_.first.seen && otherwise == nullptr ? why : what + ": " + why;
        }
        std::fflush(stdout);
        watch_.Reset();
        return done;
    }

    bool Read(DWORD lba, std::vector<BYTE>& into) {
        into.assign(kRun * kSectorSize, 0);
        return device_.ReadSectors(handle_, into.data(), lba, kRun) != FALSE;
    }

    // Reads the sectors and keeps them, so that whatever is written over
    // them can be put back.
    bool Keep(DWORD lba, std::vector<BYTE>& old) {
        if (!saving_.Keep(lba, kRun)) return false;
        old = saving_.KeptBytes(lba, kRun);
        return true;
    }

    // The card holds `bytes` at `lba` after writing them: read back to be sure.
    bool WriteAndCompare(DWORD lba, const std::vector<BYTE>& bytes, bool& readBack) {
        sectors_ = bytes;
        readBack = false;
        if (!saving_.WriteSectors(sectors_.data(), lba, kRun)) return false;
        return ReadBackAs(lba, bytes, readBack);
    }

    // What was kept goes back, and is read back to be sure.
    bool RestoreAndCompare(DWORD lba, const std::vector<BYTE>& old, bool& readBack) {
        readBack = false;
        return saving_.Restore() && ReadBackAs(lba, old, readBack);
    }

    std::string failure;

private:
    bool ReadBackAs(DWORD lba, const std::vector<BYTE>& bytes, bool& readBack) {
        std::vector<BYTE> back;
        readBack = Read(lba, back);
        return readBack && back == bytes;
    }

    CCardDevice& device_;
    HANDLE handle_;
    CommandWatch& watch_;
    CSavingDevice saving_;
    std::vector<BYTE> sectors_;  // what a write sends: the device takes no const buffer
};

// When the old bytes could not be put back, they must not be lost with the
// program: they go to a file named after the drive and the first sector.
void SaveOldBytes(char letter, DWORD lba, const std::vector<BYTE>& old) {
    // A file from an earlier run may hold the older bytes: it is kept.
    const std::string base = std::string("brisant-selftest-") + letter + "-" + std::to_string(lba);
    std::string name = base + ".bin";
    for (int n = 2; n < 100; ++n) {
        std::FILE* earlier = std::fopen(name.c_str(), "rb");
        if (earlier == nullptr) break;
        std::fclose(earlier);
        name = base + "-" + std::to_string(n) + ".bin";
    }
    std::FILE* file = std::fopen(name.c_str(), "wb");
    bool saved = file != nullptr && std::fwrite(old.data(), 1, old.size(), file) == old.size();
    if (file != nullptr && std::fclose(file) != 0) saved = false;
    if (saved) {
        std::fprintf(stderr, "brisant-cli: sectors %u to %u may not hold their old bytes; those are saved in %s\n",
                     static_cast<unsigned>(lba), static_cast<unsigned>(lba + kRun - 1), name.c_str());
    } else {
        std::fprintf(stderr, "brisant-cli: sectors %u to %u may not hold their old bytes, and %s could not be "
                     "written to keep them\n", static_cast<unsigned>(lba), static_cast<unsigned>(lba + kRun - 1),
                     name.c_str());
    }
}

int Fail(const SelftestSteps& test) {
    std::fprintf(stderr, "brisant-cli: selftest failed: %s\n", test.failure.c_str());
    return kExitFailed;
}

}  // namespace

int RunSelftest(CCardDevice& device, char letter, DWORD declared, CommandWatch& watch, CConsoleOperator& op) {
    watch.Reset();
    HANDLE handle = device.OpenDrive(letter);
    if (handle == nullptr) {
        std::fprintf(stderr, "brisant-cli: selftest failed: the drive could not be opened again\n");
        return kExitFailed;
    }
    struct Closer {
        CCardDevice& device;
        HANDLE handle;
        ~Closer() { device.CloseDrive(handle); }
    } closer{device, handle};
    SelftestSteps test(device, handle, watch);

    if (!test.Step("INQUIRY: a removable direct-access device", device.Inquiry(handle) != FALSE)) return Fail(test);
    test.Step("READ(10) of sector 0: it declares " + std::to_string(declared) + " sectors (" + CapacityText(declared) +
                  ")", true);
    // The end of the declared volume: the sectors a file system fills last.
    // Sector 0 is never among them.
    const DWORD lba = declared > kRun ? declared - kRun : 1;
    std::vector<BYTE> old;
    const std::string range = "LBA " + std::to_string(lba) + " to " + std::to_string(lba + kRun - 1);
    if (!test.Step("READ(10) of " + std::to_string(kRun) + " sectors, " + range, test.Keep(lba, old))) {
        return Fail(test);
    }

    const std::string question =
        "Write a test pattern over " + range + " of " + op.name() + " and then put their old bytes back?";
    if (!op.AskConfirmation(question.c_str())) return ExitStatus(op.outcome());
    watch.Reset();

    std::vector<BYTE> pattern(old.size());
    const std::uint64_t run = NewStampRun();
    for (DWORD i = 0; i < kRun; ++i) FillStamp(pattern.data() + i * kSectorSize, lba + i, run);

    op.BeginWrites();
    bool readBack = false;
    bool patternOk = test.WriteAndCompare(lba, pattern, readBack);
    bool written = test.Step("WRITE(10) of a test pattern over them, read back as written", patternOk,
                             readBack ? "read back differently: the card does not keep what is written" : nullptr);
    // The old bytes go back whatever became of the pattern.
    const std::string restoring = "WRITE(10) of their old bytes, read back as they were";
    bool restored = test.RestoreAndCompare(lba, old, readBack);
    const bool putBack = restored;
    std::vector<BYTE> now;
    if (!restored && !written && test.Read(lba, now) && now == old) {
        // Nothing reached the card (a volume that Windows would not lock).
        restored = true;
        std::printf("      the sectors still hold their old bytes\n");
    } else {
        test.Step(restoring, restored, readBack ? "read back differently" : nullptr);
        // A card that failed a write once may take it the next time.
        for (int attempt = 2; !restored && attempt <= kRestoreAttempts; ++attempt) {
            restored = test.RestoreAndCompare(lba, old, readBack);
            if (restored) std::printf("      they went back at attempt %d\n", attempt);
        }
    }
    std::fflush(stdout);
    op.EndWrites();
    if (!restored) SaveOldBytes(letter, lba, old);
    if (!written || !putBack) return Fail(test);

    bool prevented = device.PreventMediumRemoval(handle, 1) != FALSE;
    bool allowed = device.PreventMediumRemoval(handle, 0) != FALSE;
    if (!test.Step("PREVENT ALLOW MEDIUM REMOVAL: prevent, then allow", prevented && allowed)) return Fail(test);
    if (!test.Step("START STOP UNIT: eject", device.EjectMedium(handle) != FALSE)) return Fail(test);
    std::printf("selftest passed: the reader carries all five commands\n");
    return kExitOk;
}

int Selftest(const Options& o, const Target& t) {
    const Sweep sweep;
    std::shared_ptr<CommandWatch> watch;
    const DriveVerdict v = CheckReachable(t, sweep, watch);
    if (v.status != kExitOk) return ReportFailure(false, v.status, t.Label(), v.reason);
    std::printf("%s  %s\n", t.name.c_str(), IdentityOf(t.letter).c_str());
    std::printf("ok    the sweep (INQUIRY on D: to Z:) offers %s\n", t.name.c_str());
    CCardDevice device;
    CConsoleOperator op(DriveText(t.letter), o.yes, false, false);
    op.ShowAs(t.name);
    const int status = RunSelftest(device, t.letter, v.declared, *watch, op);
    return status == kExitDeclined ? Declined() : status;
}
