// Time and memory of a whole repair against a card image, without pauses,
// of its stamp check alone, and of the sweep. Run: build/bench/repair_bench [runs]
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/drive_map.h"
#include "repair/capacity_repair.h"

namespace {

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

void MakeCard(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || ftruncate(fd, off_t{3968000} * 512) != 0) std::exit(1);
    unsigned char s[512] = {0xEB, 0x3C, 0x90};
    s[32] = 0x00; s[33] = 0x46; s[34] = 0x1E; s[35] = 0x00;  // 1,984,000
    s[510] = 0x55; s[511] = 0xAA;
    if (pwrite(fd, s, sizeof s, 0) != 512) std::exit(1);
    close(fd);
}

// When each command started, and what it was.
class TimedTarget : public platform::ScsiTarget {
public:
    struct Command {
        std::uint8_t opcode;
        std::uint32_t sectors;
        std::chrono::steady_clock::time_point start;
    };
    explicit TimedTarget(std::shared_ptr<platform::ScsiTarget> inner) : inner_(std::move(inner)) {}
    bool Execute(platform::ScsiExchange& x) override {
        commands.push_back({x.cdb[0], std::uint32_t{x.cdb[7]} << 8 | x.cdb[8], std::chrono::steady_clock::now()});
        return inner_->Execute(x);
    }
    void Released() override { inner_->Released(); }
    std::vector<Command> commands;

private:
    std::shared_ptr<platform::ScsiTarget> inner_;
};

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::atoi(argv[1]) : 50;
    std::string path = "/tmp/brisant-bench.img";
    platform::ClearDriveMap();

    double repairTotal = 0;
    double checkTotal = 0;
    std::size_t commands = 0, checkCommands = 0, checkWrites = 0;
    for (int i = 0; i < runs; ++i) {
        MakeCard(path);
        // A fresh reader, medium present.
        auto timed = std::make_shared<TimedTarget>(platform::OpenCardImage(path));
        platform::MapDrive('E', timed, path);
        CCardDevice device;
        QuietOperator op;
        CCapacityRepair repair(device, op);
        auto start = std::chrono::steady_clock::now();
        repair.RunRepair();
        repairTotal += Seconds(start);
        if (op.last != kMsgReplug) {
            std::fprintf(stderr, "repair did not complete: %s\n", op.last.c_str());
            return 1;
        }
        // The check runs from the command after the last-sector read to the
        // one before the removal lock of the boot-sector write.
        const auto& c = timed->commands;
        std::size_t lock = 2;
        while (lock < c.size() && c[lock].opcode != 0x1E) ++lock;
        checkTotal += std::chrono::duration<double>(c[lock].start - c[2].start).count();
        commands = c.size();
        checkCommands = lock - 2;
        checkWrites = 0;
        for (std::size_t k = 2; k < lock; ++k) checkWrites += c[k].opcode == 0x2A;
    }

    MakeCard(path);
    platform::MapDrive('E', path);
    CCardDevice device;
    BYTE letters[kDriveTableSize];
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < runs; ++i) device.EnumDrives(letters);
    double sweep = Seconds(start);
    std::remove(path.c_str());

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("repair of a 3,968,000-sector image (no pauses): %.3f ms average over %d runs, %zu commands\n",
                1000 * repairTotal / runs, runs, commands);
    std::printf("stamp check: %zu one-sector commands (%zu writes, %zu reads), %.3f ms average\n", checkCommands,
                checkWrites, checkCommands - checkWrites, 1000 * checkTotal / runs);
    std::printf("sweep of D: to Z: with one card: %.3f ms average\n", 1000 * sweep / runs);
    std::printf("peak resident memory: %ld KiB\n", usage.ru_maxrss);
    return 0;
}
