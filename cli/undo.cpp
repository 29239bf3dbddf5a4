// undo: the card given back the bytes its repair overwrote, from the undo
// file that repair saved; and the list of those files.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "cli/command_watch.h"
#include "cli/commands.h"
#include "cli/console_operator.h"
#include "cli/drive_report.h"
#include "cli/exit_status.h"
#include "platform/user_files.h"
#include "repair/card_undo.h"
#include "repair/capacity_repair.h"

namespace {

std::string Capacities(const UndoRecord& r) {
    return CapacityText(r.declared) + " -> " + CapacityText(r.target);
}

std::string Joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text.empty() ? "no files" : text;
}

// The offered drive that holds what the file's repair wrote, if any.
std::string PresentOn(const UndoRecord& r, const Sweep& sweep) {
    for (char letter = 'D'; letter <= 'Z'; ++letter) {
        const Target t = LetterTarget(letter);
        if (t.path.empty() || !sweep.Offers(letter)) continue;
        CCardDevice device;
        HANDLE handle = device.OpenDrive(letter);
        if (handle == nullptr) continue;
        UndoJudgement j;
        const bool read = InspectCard(device, handle, r, j);
        device.CloseDrive(handle);
        if (read && (j.state == UndoState::Ready || j.state == UndoState::Resumes || j.state == UndoState::Changed)) {
            return t.name + (t.name == t.path ? "" : " (" + t.path + ")");
        }
    }
    return std::string();
}

// The undo file, beside `file` or in the undo folder, whose repair left this token.
std::string FileOfToken(const UndoToken& token, const std::string& file) {
    const std::size_t slash = file.find_last_of("/\\");
    const std::string beside = slash == std::string::npos ? "." : file.substr(0, slash == 0 ? 1 : slash);
    for (const std::string& folder : {beside, platform::UndoFolder()}) {
        if (folder.empty()) continue;
        for (const std::string& candidate : platform::FilesIn(folder, kUndoSuffix)) {
            std::vector<BYTE> bytes;
            std::string why;
            UndoRecord r;
            if (platform::ReadWholeFile(candidate, bytes, why, kUndoFileLimit) && DecodeUndoHeader(bytes, r).empty() &&
                r.token == token) {
                return candidate;
            }
        }
    }
    return std::string();
}

std::string OtherCardReason(const UndoJudgement& j, const std::string& file) {
    const std::string head = "the card does not hold what this file's repair wrote: ";
    if (j.finding == UndoFinding::OtherRepair) {
        const std::string later = FileOfToken(j.cardToken, file);
        return head + "it holds the token of another repair, so it was repaired again since (" +
               (later.empty() ? "that repair's undo file undoes it" : later + " undoes that repair") +
               "), or it is another card; --force does not change that";
    }
    return head + "it lacks this repair's token, so it is another card, or one formatted again or filled to its "
                  "last sector since; --force does not change that";
}

std::string ChangedReason(const UndoJudgement& j) {
    switch (j.finding) {
        case UndoFinding::FormattedAgain:
            return "the card was written to since the repair (it was formatted again)";
        case UndoFinding::FilesOverwritten:
            return "the card was written to since the repair (sectors of the files it held before hold other "
                   "bytes now: their old tables would point at new data)";
        default:
            return "the card was written to since the repair (its root folder holds: " + Joined(j.files) + ")";
    }
}

// The drive's handle, closed on every way out.
struct OpenDriveHandle {
    OpenDriveHandle(CCardDevice& device, char letter) : device(device), handle(device.OpenDrive(letter)) {}
    ~OpenDriveHandle() { Close(); }
    OpenDriveHandle(const OpenDriveHandle&) = delete;
    OpenDriveHandle& operator=(const OpenDriveHandle&) = delete;
    void Close() {
        if (handle != nullptr) device.CloseDrive(handle);
        handle = nullptr;
    }
    CCardDevice& device;
    HANDLE handle;
};

// The file of the last repair is the one most often wanted: newest first.
void NewestFirst(std::vector<std::string>& files) {
    namespace fs = std::filesystem;
    std::vector<std::pair<fs::file_time_type, std::string>> dated;
    for (std::string& file : files) {
        std::error_code error;
        dated.emplace_back(fs::last_write_time(fs::path(file), error), std::move(file));
    }
    std::sort(dated.begin(), dated.end(), [](const auto& a, const auto& b) { return a > b; });
    for (std::size_t i = 0; i < files.size(); ++i) files[i] = std::move(dated[i].second);
}

int ListUndoFiles() {
    const std::string folder = platform::UndoFolder();
    std::vector<std::string> files = folder.empty() ? std::vector<std::string>() : platform::FilesIn(folder, kUndoSuffix);
    NewestFirst(files);
    if (files.empty()) {
        std::printf("no undo files in %s\n", folder.empty() ? "(no folder: HOME is not set)" : folder.c_str());
        return kExitOk;
    }
    const Sweep sweep;
    for (const std::string& file : files) {
        std::vector<BYTE> bytes;
        std::string why;
        UndoRecord r;
        if (!platform::ReadWholeFile(file, bytes, why, kUndoFileLimit) || !(why = DecodeUndo(bytes, r)).empty()) {
            std::printf("%s\n    unusable: %s\n", file.c_str(), why.c_str());
            continue;
        }
        const std::string present = PresentOn(r, sweep);
        std::printf("%s\n    %s  %s  %s\n    %s\n", file.c_str(), r.date.c_str(), Capacities(r).c_str(), r.card.c_str(),
                    present.empty() ? "card not present" : ("card present: " + present).c_str());
    }
    return kExitOk;
}

}  // namespace

int Undo(const Options& o, const Target& t) {
    if (o.list) return ListUndoFiles();
    std::vector<BYTE> bytes;
    std::string why;
    UndoRecord r;
    if (!platform::ReadWholeFile(o.undoFile, bytes, why, kUndoFileLimit) || !(why = DecodeUndo(bytes, r)).empty()) {
        return ReportFailure(false, kExitFailed, o.undoFile, why);
    }
    const Sweep sweep;
    std::shared_ptr<CommandWatch> watch;
    const DriveVerdict v = CheckReachable(t, sweep, watch);
    if (v.status != kExitOk) return ReportFailure(false, v.status, t.Label(), v.reason);

    CCardDevice device;
    OpenDriveHandle drive(device, t.letter);
    UndoJudgement j;
    if (drive.handle == nullptr || !InspectCard(device, drive.handle, r, j)) {
        const std::string failure = watch->first.seen ? watch->first.Describe() : "cannot read the card";
        return ReportFailure(false, kExitFailed, t.Label(), failure);
    }
    auto refuse = [&](const std::string& reason) { return ReportFailure(false, kExitFailed, t.Label(), reason); };
    std::printf("%s  %s\n", t.name.c_str(), IdentityOf(t.letter).c_str());
    std::printf("undo file: %s\n    repaired %s: %s, %s\n", o.undoFile.c_str(), r.date.c_str(), r.card.c_str(),
                Capacities(r).c_str());
    switch (j.state) {
        case UndoState::Restored:
            std::printf("the card holds its bytes from before the repair already: nothing to undo\n");
            return kExitOk;
        case UndoState::OtherCard:
            return refuse(OtherCardReason(j, o.undoFile));
        case UndoState::Changed:
            if (!o.force) return refuse(ChangedReason(j) + "; --force puts back the old tables anyway, and " +
                                        (j.finding == UndoFinding::NewFiles ? "these files are lost"
                                                                            : "what was written since is lost"));
            std::printf("--force: overwrites the tables of: %s\n", Joined(j.files).c_str());
            break;
        case UndoState::Resumes:
            std::printf("the card holds part of its old bytes already: an undo or a repair was cut short, and the "
                        "undo goes on\n");
            break;
        case UndoState::Ready: break;
    }

    CConsoleOperator op(DriveText(t.letter), o.yes, false, false);
    const std::string question = "Put back the " + std::to_string(r.Sectors()) + " sectors the repair overwrote on " +
                                 t.name + "? The volume it wrote is lost.";
    if (!op.AskConfirmation(question.c_str())) return Declined();
    watch->Reset();
    // Held like a repair's writes: a card half given back is readable by neither volume.
    op.BeginWrites();
    bool wrote = false;
    why = RestoreCard(device, drive.handle, r, j, wrote);
    if (!why.empty()) {
        if (watch->first.seen) why += ": " + watch->first.Describe();
        if (wrote) why += "; the card may be partly given back; the undo file is kept, and undo can be run again";
        // Said before an interruption held back meanwhile ends the program.
        const int status = refuse(why);
        op.EndWrites();
        return status;
    }
    device.EjectMedium(drive.handle);
    drive.Close();
    std::printf("restored: %s holds its bytes from before the repair again; re-insert the card\n", t.name.c_str());
    std::fflush(stdout);
    op.EndWrites();
    return kExitOk;
}
