// Test doubles at the pass-through boundary and for the other platform
// services, so tests see exactly what the program asks of the platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/scsi_target.h"
#include "platform/winapi.h"

namespace platform::testing {

struct RecordedCommand {
    std::vector<std::uint8_t> block;  // the request block, byte for byte
    std::vector<std::uint8_t> cdb;    // cdbLength bytes
    DataDirection direction = DataDirection::None;
    std::uint32_t dataLength = 0;
    const std::uint8_t* data = nullptr;
    std::vector<std::uint8_t> dataOut;  // what a write carried
    std::uint8_t status = 0;
    bool carriedOut = false;
};

// Records every command, then hands it to the target behind it (if any;
// without one every command ends GOOD and reads give zeros).
class RecordingTarget : public ScsiTarget {
public:
    explicit RecordingTarget(std::shared_ptr<ScsiTarget> inner = nullptr);
    bool Execute(ScsiExchange& exchange) override;
    void Released() override;

    std::vector<RecordedCommand> commands;

private:
    std::shared_ptr<ScsiTarget> inner_;
};

enum class Fault { TransportFailure, CheckCondition };

// Fails the n-th command (counted from 1) or, with `sticky`, every command
// from the n-th on, as a card that vanishes would.
class FaultyTarget : public ScsiTarget {
public:
    FaultyTarget(std::shared_ptr<ScsiTarget> inner, int failAt, Fault fault, bool sticky = false);
    bool Execute(ScsiExchange& exchange) override;
    void Released() override;

    int count = 0;

private:
    std::shared_ptr<ScsiTarget> inner_;
    int failAt_;
    Fault fault_;
    bool sticky_;
};

// Global memory: how many blocks are live, and refusing the n-th allocation.
int LiveGlobalAllocations();
void FailGlobalAllocAt(int n);  // 0 turns it off
// The most global memory held at once since the last reset, in bytes.
std::size_t PeakGlobalBytes();
void ResetPeakGlobalBytes();

// Sleep returns at once, for runs that must not wait out the progress pauses.
void SkipSleeps(bool skip);

// Top-level windows for EnumWindows while the object lives.
struct FakeWindow {
    std::string className;
    bool classReadable = true;
};
struct PostedMessage {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};
class FakeDesktop {
public:
    explicit FakeDesktop(std::vector<FakeWindow> windows);
    ~FakeDesktop();
    FakeDesktop(const FakeDesktop&) = delete;
    FakeDesktop& operator=(const FakeDesktop&) = delete;

    HWND Window(std::size_t index) const;
    std::vector<FakeWindow> windows;
    std::vector<PostedMessage> posted;
    std::vector<BOOL> callbackResults;
};

}  // namespace platform::testing
