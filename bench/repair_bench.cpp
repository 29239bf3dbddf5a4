// Time and memory of a whole repair against a card image, without pauses,
// and of the sweep. Run: build/bench/repair_bench [runs]
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

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

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::atoi(argv[1]) : 50;
    std::string path = "/tmp/brisant-bench.img";
    platform::ClearDriveMap();

    double repairTotal = 0;
    for (int i = 0; i < runs; ++i) {
        MakeCard(path);
        platform::MapDrive('E', path);  // a fresh reader, medium present
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
    std::printf("repair of a 3,968,000-sector image (no pauses): %.3f ms average over %d runs\n",
                1000 * repairTotal / runs, runs);
    std::printf("sweep of D: to Z: with one card: %.3f ms average\n", 1000 * sweep / runs);
    std::printf("peak resident memory: %ld KiB\n", usage.ru_maxrss);
    return 0;
}
