// The repair from inside: its time without process start-up, every command it
// sends and what they carry, the most buffer memory it holds, and the sweep.
// Prints one "name value" line per figure, each a median over the runs, for
// bench/run.sh. Run: repair_bench [runs]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "scsi/drive_map.h"
#include "platform/testing.h"
#include "scsi/testing.h"
#include "repair/capacity_repair.h"

namespace {

constexpr DWORD kDeclared = 1984000;  // the sample card's
const std::string kCardPath = "/tmp/brisant-bench-" + std::to_string(getpid()) + ".img";

class QuietOperator : public ICapacityOperator {
public:
    bool GetSelectedDriveText(std::string& text) override {
        text = "E:\\";
        return true;
    }
    void ShowCapacity(const std::string&) override {}
    void EnableRepairButton(bool) override {}
    bool AskConfirmation(const char*) override { return true; }
    void ShowMessage(const char* text) override { last = text; }
    void SetProgressPos(int) override {}
    void Pause(DWORD) override {}
    void NotifyExplorerWindows() override {}
    void CloseDialog() override {}
    std::string last;
};

void MakeCard() {
    int fd = open(kCardPath.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || ftruncate(fd, off_t{2 * kDeclared} * 512) != 0) std::exit(1);
    unsigned char s[512] = {0xEB, 0x3C, 0x90};
    for (int i = 0; i < 4; ++i) s[32 + i] = static_cast<unsigned char>(kDeclared >> (8 * i));
    s[510] = 0x55;
    s[511] = 0xAA;
    if (pwrite(fd, s, sizeof s, 0) != 512) std::exit(1);
    close(fd);
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

template <typename F>
double Microseconds(F&& f) {
    auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}

// With `undo`, the repair saves its undo file there first.
void RepairOrDie(std::shared_ptr<platform::ScsiTarget> target, const std::string& undo = std::string()) {
    if (target) {
        platform::MapDrive('E', std::move(target), kCardPath);
    } else {
        platform::MapDrive('E', kCardPath);  // a fresh reader, medium present
    }
    CCardDevice device;
    QuietOperator op;
    CCapacityRepair repair(device, op);
    repair.m_bKeepUndo = !undo.empty();
    repair.m_strUndoFile = undo;
    repair.RunRepair();
    if (op.last != kMsgReplug) {
        std::fprintf(stderr, "repair_bench: the repair did not complete: %s\n", op.last.c_str());
        std::exit(1);
    }
}

// The writes the layout itself needs: boot region, both tables and the root
// directory, each cut into commands of at most kMaxSectorsPerCommand sectors.
std::multiset<std::pair<DWORD, DWORD>> LayoutWrites(const Fat16Geometry& g) {
    std::multiset<std::pair<DWORD, DWORD>> writes;
    auto region = [&](DWORD lba, DWORD count) {
        for (DWORD done = 0; done < count; done += kMaxSectorsPerCommand) {
            writes.insert({lba + done, std::min(kMaxSectorsPerCommand, count - done)});
        }
    };
    region(0, kReservedSectors);
    region(g.fat1Lba(), g.fatSectors);
    region(g.fat2Lba(), g.fatSectors);
    region(g.rootLba(), kRootDirSectors);
    return writes;
}

void Print(const char* name, double value) { std::printf("%s %.3f\n", name, value); }

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 11;
    platform::ClearDriveMap();

    std::vector<double> repair;
    for (int i = 0; i < runs; ++i) {
        MakeCard();
        repair.push_back(Microseconds([] { RepairOrDie(nullptr); }));
    }
    Print("repair_us", Median(repair));

    // The same with the undo file saved (and flushed) first: what it costs.
    const std::string undo = kCardPath + ".brisant-undo";
    std::vector<double> withUndo;
    for (int i = 0; i < runs; ++i) {
        MakeCard();
        std::remove(undo.c_str());
        withUndo.push_back(Microseconds([&] { RepairOrDie(nullptr, undo); }));
    }
    Print("repair_undo_us", Median(withUndo));
    {
        MakeCard();
        std::remove(undo.c_str());
        auto plain = std::make_shared<platform::testing::RecordingTarget>(platform::OpenCardImage(kCardPath));
        RepairOrDie(plain);
        MakeCard();
        auto saving = std::make_shared<platform::testing::RecordingTarget>(platform::OpenCardImage(kCardPath));
        RepairOrDie(saving, undo);
        // The undo file's reads are the repair's only reads of more than one sector.
        double largest = 0;
        for (const auto& c : saving->commands) {
            if (c.cdb[0] == 0x28) largest = std::max(largest, static_cast<double>(c.dataLength) / kSectorSize);
        }
        Print("undo_extra_commands", static_cast<double>(saving->commands.size() - plain->commands.size()));
        Print("undo_largest_read_sectors", largest);
        FILE* f = std::fopen(undo.c_str(), "rb");
        if (f != nullptr) {
            std::fseek(f, 0, SEEK_END);
            Print("undo_file_bytes", static_cast<double>(std::ftell(f)));
            std::fclose(f);
        }
        std::remove(undo.c_str());
        platform::ClearDriveMap();
    }

    // Every command of one repair, and the most buffer memory held at once.
    MakeCard();
    auto recorder = std::make_shared<platform::testing::RecordingTarget>(platform::OpenCardImage(kCardPath));
    platform::testing::ResetPeakGlobalBytes();
    RepairOrDie(recorder);
    Print("peak_buffer_bytes", static_cast<double>(platform::testing::PeakGlobalBytes()));

    const Fat16Geometry g = ComputeGeometry(TargetCapacity(kDeclared));
    auto layout = LayoutWrites(g);
    const double leastCommands = (g.dataLba() + kMaxSectorsPerCommand - 1) / kMaxSectorsPerCommand;
    Print("layout_least_commands", leastCommands);
    Print("layout_least_bytes", static_cast<double>(g.dataLba()) * kSectorSize);

    // A write that is one of the layout's is the layout's; any other command
    // that moves data is a guard's; the rest (lock, unlock, eject) control.
    double layoutCommands = 0, layoutBytes = 0, guardCommands = 0, guardReads = 0, guardWrites = 0,
           guardBytesRead = 0, guardBytesWritten = 0, controlCommands = 0;
    for (const auto& c : recorder->commands) {
        const BYTE op = c.cdb.empty() ? 0 : c.cdb[0];
        if (op == 0x28 || op == 0x2A) {
            DWORD lba = DWORD{c.cdb[2]} << 24 | DWORD{c.cdb[3]} << 16 | DWORD{c.cdb[4]} << 8 | c.cdb[5];
            DWORD count = DWORD{c.cdb[7]} << 8 | c.cdb[8];
            auto it = op == 0x2A ? layout.find({lba, count}) : layout.end();
            if (it != layout.end()) {
                layout.erase(it);
                ++layoutCommands;
                layoutBytes += c.dataLength;
            } else {
                ++guardCommands;
                (op == 0x28 ? guardReads : guardWrites) += 1;
                (op == 0x28 ? guardBytesRead : guardBytesWritten) += c.dataLength;
            }
        } else {
            ++controlCommands;
        }
    }
    Print("layout_commands", layoutCommands);
    Print("layout_bytes", layoutBytes);
    Print("guard_commands", guardCommands);
    Print("guard_reads", guardReads);
    Print("guard_writes", guardWrites);
    Print("guard_bytes_read", guardBytesRead);
    Print("guard_bytes_written", guardBytesWritten);
    Print("control_commands", controlCommands);
    Print("commands", static_cast<double>(recorder->commands.size()));
    platform::ClearDriveMap();
    recorder.reset();

    // The sweep of D: to Z:, with nothing behind any letter and with one card.
    CCardDevice device;
    BYTE letters[kDriveTableSize];
    auto sweep = [&] {
        std::vector<double> samples;
        for (int i = 0; i < runs; ++i) {
            samples.push_back(Microseconds([&] {
                for (int n = 0; n < 100; ++n) device.EnumDrives(letters);
            }) / 100);
        }
        return Median(samples);
    };
    Print("sweep_empty_us", sweep());
    MakeCard();
    platform::MapDrive('E', kCardPath);
    Print("sweep_one_card_us", sweep());
    if (device.EnumDrives(letters) != 1) {
        std::fprintf(stderr, "repair_bench: the sweep did not find the card\n");
        return 1;
    }
    platform::ClearDriveMap();
    std::remove(kCardPath.c_str());
    return 0;
}
