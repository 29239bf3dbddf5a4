// Sparse card images and an operator that writes down everything asked of it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scsi/test_support.h"
#include "repair/capacity_operator.h"

namespace fixture {

inline std::vector<std::uint8_t> FatBootSector(std::uint32_t declared) {
    std::vector<std::uint8_t> s(512, 0);
    s[0] = 0xEB;
    s[1] = 0x3C;
    s[2] = 0x90;
    for (int i = 0; i < 4; ++i) s[32 + i] = static_cast<std::uint8_t>(declared >> (8 * i));
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

inline std::vector<std::uint8_t> MasterBootRecord(std::uint32_t declared) {
    std::vector<std::uint8_t> s(512, 0);
    s[0] = 0xFA;
    for (int i = 0; i < 4; ++i) s[458 + i] = static_cast<std::uint8_t>(declared >> (8 * i));
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

// A sparse card image whose sector 0 is given.
class CardImage : public brisant_test::TempImage {
public:
    explicit CardImage(std::uint64_t sectors, const std::vector<std::uint8_t>& sector0 = {}) : TempImage(sectors) {
        if (!sector0.empty()) Write(0, sector0);
    }
};

// Each call becomes one line: "confirm", "message:TEXT", "progress:5",
// "pause:1000", "notify", "button:on", "capacity:968 MB", "close",
// "writes:begin", "writes:end".
class RecordingOperator : public ICapacityOperator {
public:
    std::string selected = "E:\\";
    bool hasSelection = true;
    bool confirm = true;
    std::vector<std::string> events;

    bool GetSelectedDriveText(std::string& text) override {
        if (!hasSelection) return false;
        text = selected;
        return true;
    }
    void ShowCapacity(const std::string& text) override { events.push_back("capacity:" + text); }
    void EnableRepairButton(bool enable) override { events.push_back(enable ? "button:on" : "button:off"); }
    bool AskConfirmation(const char*) override {
        events.push_back("confirm");
        return confirm;
    }
    void ShowMessage(const char* text) override { events.push_back(std::string("message:") + text); }
    void SetProgressPos(int position) override { events.push_back("progress:" + std::to_string(position)); }
    void Pause(DWORD ms) override { events.push_back("pause:" + std::to_string(ms)); }
    void NotifyExplorerWindows() override { events.push_back("notify"); }
    void CloseDialog() override { events.push_back("close"); }
    void BeginWrites() override { events.push_back("writes:begin"); }
    void EndWrites() override { events.push_back("writes:end"); }

    bool Saw(const std::string& event) const {
        for (const auto& e : events) {
            if (e == event) return true;
        }
        return false;
    }
};

}  // namespace fixture
