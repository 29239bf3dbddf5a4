// The platform's pass-through: which requests it refuses, how it reports a
// device's answer, and the virtual card reader over an image file.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/scsi_request_block.h"
#include "scsi/drive_identity.h"
#include "scsi/back_ends.h"
#include "scsi/drive_map.h"
#include "platform/testing.h"
#include "scsi/testing.h"
#include "platform/winapi.h"
#include "test_support.h"

#ifdef __linux__
#include <fcntl.h>
#include <linux/blkpg.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "scsi/sg_io_linux.h"
#endif

namespace {

using brisant_test::DriveMapTest;
using brisant_test::Pattern;
using brisant_test::TempImage;
using namespace platform::testing;

constexpr std::uint8_t kGood = platform::kStatusGood;
constexpr std::uint8_t kCheckCondition = platform::kStatusCheckCondition;

using Cdb = std::vector<std::uint8_t>;

Cdb Read10(std::uint32_t lba, std::uint16_t sectors) {
    return {0x28, 0, static_cast<std::uint8_t>(lba >> 24), static_cast<std::uint8_t>(lba >> 16),
            static_cast<std::uint8_t>(lba >> 8), static_cast<std::uint8_t>(lba), 0,
            static_cast<std::uint8_t>(sectors >> 8), static_cast<std::uint8_t>(sectors), 0};
}
Cdb Write10(std::uint32_t lba, std::uint16_t sectors) {
    Cdb cdb = Read10(lba, sectors);
    cdb[0] = 0x2A;
    return cdb;
}
Cdb Inquiry() { return {0x12, 0, 0, 0, 36, 0}; }
Cdb Prevent(bool on) { return {0x1E, 0, 0, 0, static_cast<std::uint8_t>(on ? 1 : 0), 0}; }
Cdb StartStop(std::uint8_t byte4) { return {0x1B, 0, 0, 0, byte4, 0}; }

void Prepare(ScsiRequestBlock& block, const Cdb& cdb, UCHAR dataIn, void* data, ULONG length) {
    std::memset(&block, 0, sizeof block);
    block.Header.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    block.Header.TargetId = 1;
    block.Header.CdbLength = 10;
    block.Header.SenseInfoLength = 24;
    block.Header.SenseInfoOffset = offsetof(ScsiRequestBlock, SenseData);
    block.Header.DataIn = dataIn;
    block.Header.DataTransferLength = length;
    block.Header.DataBuffer = data;
    block.Header.TimeOutValue = 2;
    std::memcpy(block.Header.Cdb, cdb.data(), cdb.size());
}

struct Answer {
    BOOL ok = FALSE;
    DWORD returned = 0;
    std::uint8_t status = 0xFF;
    std::uint8_t senseLength = 0;
    std::uint8_t key = 0;
    std::uint8_t asc = 0;
    std::uint8_t ascq = 0;
    ULONG transferred = 0;
};

Answer Send(HANDLE h, ScsiRequestBlock& block) {
    Answer a;
    DWORD returned = 0xDEADBEEF;
    a.ok = sys::DeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof block, &block, sizeof block, &returned,
                           nullptr);
    a.returned = returned;
    a.status = block.Header.ScsiStatus;
    a.senseLength = block.Header.SenseInfoLength;
    a.transferred = block.Header.DataTransferLength;
    const auto* sense = reinterpret_cast<const std::uint8_t*>(&block) + block.Header.SenseInfoOffset;
    a.key = sense[2] & 0x0F;
    a.asc = sense[12];
    a.ascq = sense[13];
    return a;
}

Answer Send(HANDLE h, const Cdb& cdb, UCHAR dataIn = SCSI_IOCTL_DATA_OUT, void* data = nullptr, ULONG length = 0) {
    ScsiRequestBlock block;
    Prepare(block, cdb, dataIn, data, length);
    return Send(h, block);
}

HANDLE Open(char letter) {
    char path[] = "\\\\.\\X:";
    path[4] = letter;
    return sys::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       0, nullptr);
}

// A CHECK CONDITION with fixed-format sense at SenseInfoOffset, its length
// written back and counted in the bytes returned.
::testing::AssertionResult Refused(const Answer& a, std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    if (!a.ok) return ::testing::AssertionFailure() << "DeviceIoControl failed";
    if (a.status != kCheckCondition) return ::testing::AssertionFailure() << "status " << int{a.status};
    if (a.senseLength == 0 || a.senseLength > 24) {
        return ::testing::AssertionFailure() << "sense length " << int{a.senseLength};
    }
    if (a.returned != offsetof(ScsiRequestBlock, SenseData) + a.senseLength) {
        return ::testing::AssertionFailure() << "returned " << a.returned << " bytes";
    }
    if (a.key != key || a.asc != asc || a.ascq != ascq) {
        char text[64];
        std::snprintf(text, sizeof text, "sense %X/%02X/%02X, want %X/%02X/%02X", a.key, a.asc, a.ascq, key, asc, ascq);
        return ::testing::AssertionFailure() << text;
    }
    return ::testing::AssertionSuccess();
}

using PassThroughTest = DriveMapTest;
using CardReaderTest = DriveMapTest;

#ifdef __linux__
// A loop device over an image file, with a partition added on request; none,
// and the reason why, where loop devices cannot be attached (not root, no
// losetup, a container without them).
class LoopDevice {
public:
    explicit LoopDevice(const std::string& image) {
        // -P: some kernels take no added partition on a loop device without it.
        std::FILE* out = popen(("losetup -f --show -P '" + image + "' 2>&1").c_str(), "r");
        if (out == nullptr) {
            why_ = "losetup could not be started";
            return;
        }
        char line[256] = {};
        if (std::fgets(line, sizeof line, out) == nullptr) line[0] = 0;
        std::string answer(line);
        if (!answer.empty() && answer.back() == '\n') answer.pop_back();
        (pclose(out) == 0 && answer.rfind("/dev/loop", 0) == 0 ? path_ : why_) = answer;
    }
    ~LoopDevice() {
        if (path_.empty()) return;
        if (partitioned_) Partition(BLKPG_DEL_PARTITION, 0, 0);
        std::system(("losetup -d " + path_).c_str());
    }
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;

    const std::string& path() const { return path_; }
    const std::string& why() const { return why_; }

    // Partition 1 as a partition table would declare it; its node, or "".
    std::string AddPartition(std::uint64_t start, std::uint64_t sectors) {
        // udev re-reads the (empty) partition table once losetup has closed
        // the device, which would drop a partition added before that.
        std::system("udevadm settle >/dev/null 2>&1");
        partitioned_ = Partition(BLKPG_ADD_PARTITION, start, sectors);
        return partitioned_ ? path_ + "p1" : std::string();
    }

private:
    bool Partition(int op, std::uint64_t start, std::uint64_t sectors) {
        int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        blkpg_partition part{};
        part.start = static_cast<long long>(start * 512);
        part.length = static_cast<long long>(sectors * 512);
        part.pno = 1;
        blkpg_ioctl_arg arg{};
        arg.op = op;
        arg.datalen = sizeof part;
        arg.data = &part;
        bool done = ioctl(fd, BLKPG, &arg) == 0;
        close(fd);
        return done;
    }

    std::string path_;
    std::string why_;
    bool partitioned_ = false;
};

constexpr int kNoSyscallFilter = 77;

// Runs `step` in a child process whose fsync and fdatasync fail with EIO, as
// they do when the kernel cannot write a card's cached sectors back, and
// gives its exit status (kNoSyscallFilter where no such filter can be set).
int ExitStatusWhenFlushesFail(const std::function<int()>& step) {
    pid_t child = fork();
    if (child == 0) {
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fsync, 1, 0),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fdatasync, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
            _exit(kNoSyscallFilter);
        }
        _exit(step());
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}
#endif

// ---------------------------------------------------------------------------
// Requests the platform cannot carry out.

TEST_F(PassThroughTest, MalformedRequestsFailWithoutReachingTheDevice) {
    struct Case {
        const char* name;
        std::function<void(ScsiRequestBlock&)> spoil;
        DWORD code = IOCTL_SCSI_PASS_THROUGH_DIRECT;
        DWORD inSize = sizeof(ScsiRequestBlock);
        DWORD outSize = sizeof(ScsiRequestBlock);
    };
    const std::vector<Case> cases = {
        {"header length too large", [](ScsiRequestBlock& b) { b.Header.Length += 4; }},
        {"header length zero", [](ScsiRequestBlock& b) { b.Header.Length = 0; }},
        {"no CDB", [](ScsiRequestBlock& b) { b.Header.CdbLength = 0; }},
        {"CDB longer than 16", [](ScsiRequestBlock& b) { b.Header.CdbLength = 17; }},
        {"sense area inside the header", [](ScsiRequestBlock& b) { b.Header.SenseInfoOffset = 8; }},
        {"sense area past the block",
         [](ScsiRequestBlock& b) { b.Header.SenseInfoOffset = sizeof(ScsiRequestBlock) - 4; }},
        {"data length without a buffer", [](ScsiRequestBlock& b) { b.Header.DataBuffer = nullptr; }},
        {"unknown data direction", [](ScsiRequestBlock& b) { b.Header.DataIn = 7; }},
        {"other ioctl", [](ScsiRequestBlock&) {}, 0x4D004},
        {"input shorter than the header", [](ScsiRequestBlock&) {}, IOCTL_SCSI_PASS_THROUGH_DIRECT,
         sizeof(SCSI_PASS_THROUGH_DIRECT) - 1},
        {"output shorter than the sense area", [](ScsiRequestBlock&) {}, IOCTL_SCSI_PASS_THROUGH_DIRECT,
         sizeof(ScsiRequestBlock), sizeof(SCSI_PASS_THROUGH_DIRECT)},
    };
    auto recorder = std::make_shared<RecordingTarget>();
    platform::MapDrive('D', recorder, "recorder");
    HANDLE h = Open('D');
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::vector<std::uint8_t> data(512, 0x42);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScsiRequestBlock block;
        Prepare(block, Read10(0, 1), SCSI_IOCTL_DATA_IN, data.data(), 512);
        c.spoil(block);
        DWORD returned = 0;
        EXPECT_FALSE(sys::DeviceIoControl(h, c.code, &block, c.inSize, &block, c.outSize, &returned, nullptr));
    }
    EXPECT_TRUE(recorder->commands.empty());
    EXPECT_TRUE(sys::CloseHandle(h));
}

TEST_F(PassThroughTest, UnknownAndClosedHandlesFail) {
    auto recorder = std::make_shared<RecordingTarget>();
    platform::MapDrive('E', recorder, "recorder");
    HANDLE h = Open('E');
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Send(h, Inquiry(), SCSI_IOCTL_DATA_IN, std::vector<std::uint8_t>(36).data(), 36).ok);
    ASSERT_TRUE(sys::CloseHandle(h));
    EXPECT_FALSE(sys::CloseHandle(h));

    std::vector<std::uint8_t> data(36);
    for (HANDLE bad : {h, INVALID_HANDLE_VALUE, static_cast<HANDLE>(nullptr), reinterpret_cast<HANDLE>(0x7)}) {
        EXPECT_FALSE(Send(bad, Inquiry(), SCSI_IOCTL_DATA_IN, data.data(), 36).ok);
    }
    EXPECT_EQ(recorder->commands.size(), 1u);
}

TEST_F(PassThroughTest, OnlyExistingVolumesOpen) {
    TempImage image(8);
    EXPECT_FALSE(platform::MapDrive('C', image.path())) << "C: is outside D..Z";
    EXPECT_FALSE(platform::MapDrive('[', image.path()));
    ASSERT_TRUE(platform::MapDrive('F', image.path()));
    platform::MapDrive('G', "/nonexistent/brisant-card.img");

    EXPECT_EQ(Open('C'), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open('G'), INVALID_HANDLE_VALUE) << "nothing behind the mapping";
    EXPECT_EQ(Open('H'), INVALID_HANDLE_VALUE) << "not mapped";
    EXPECT_EQ(sys::CreateFileA("F:", GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    HANDLE a = Open('F');
    HANDLE b = Open('F');
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    EXPECT_NE(a, b);
    EXPECT_TRUE(sys::CloseHandle(a));
    EXPECT_TRUE(sys::CloseHandle(b));
}

// A transport failure is a failed call; a device's refusal is not.
TEST_F(PassThroughTest, TransportFailureFailsTheCallButCheckConditionDoesNot) {
    auto transport = std::make_shared<FaultyTarget>(nullptr, 1, Fault::TransportFailure);
    auto refusing = std::make_shared<FaultyTarget>(nullptr, 1, Fault::CheckCondition);
    platform::MapDrive('I', transport, "transport");
    platform::MapDrive('J', refusing, "refusing");
    std::vector<std::uint8_t> data(512);
    HANDLE i = Open('I');
    HANDLE j = Open('J');
    ASSERT_NE(i, INVALID_HANDLE_VALUE);
    ASSERT_NE(j, INVALID_HANDLE_VALUE);

    EXPECT_FALSE(Send(i, Read10(0, 1), SCSI_IOCTL_DATA_IN, data.data(), 512).ok);
    EXPECT_TRUE(Send(i, Read10(0, 1), SCSI_IOCTL_DATA_IN, data.data(), 512).ok) << "only the first command fails";
    EXPECT_TRUE(Refused(Send(j, Read10(0, 1), SCSI_IOCTL_DATA_IN, data.data(), 512), platform::sense::kMediumError,
                        0x11, 0x00));
    EXPECT_TRUE(sys::CloseHandle(i));
    EXPECT_TRUE(sys::CloseHandle(j));
}

#ifdef __linux__
// What the kernel answers to SG_IO, as the caller of the pass-through sees it.
TEST(SgIoTest, AnswerBecomesStatusSenseAndResidualOnlyWhenTheCommandCompleted) {
    using platform::DataDirection;
    struct Case {
        const char* name;
        DataDirection direction;
        std::uint32_t length, seconds;
        unsigned char status, hostStatus;
        unsigned short driverStatus;
        int resid;
        unsigned char senseWritten;
        int sgDirection;
        unsigned timeoutMs;
        bool completed;
        std::uint32_t residual;
        std::uint8_t senseLength;
    };
    const std::vector<Case> cases = {
        {"read", DataDirection::In, 512, 2, 0, 0, 0, 0, 0, SG_DXFER_FROM_DEV, 2000, true, 0, 0},
        {"write cut short", DataDirection::Out, 1024, 10, 0, 0, 0, 512, 0, SG_DXFER_TO_DEV, 10000, true, 512, 0},
        {"no data, CHECK CONDITION with sense", DataDirection::None, 0, 30, 2, 0, 0x08, 0, 18, SG_DXFER_NONE, 30000,
         true, 0, 18},
        {"negative resid", DataDirection::In, 512, 2, 0, 0, 0, -4, 0, SG_DXFER_FROM_DEV, 2000, true, 0, 0},
        {"resid past the buffer", DataDirection::In, 512, 2, 0, 0, 0, 4096, 0, SG_DXFER_FROM_DEV, 2000, true, 512, 0},
        {"timeout past what SG_IO holds", DataDirection::None, 0, 0xFFFFFFFFu, 0, 0, 0, 0, 0, SG_DXFER_NONE,
         0xFFFFFFFFu, true, 0, 0},
        {"host: no connect", DataDirection::None, 0, 2, 0, 0x01, 0, 0, 0, SG_DXFER_NONE, 2000, false, 0, 0},
        {"host: bus reset", DataDirection::None, 0, 2, 0, 0x08, 0, 0, 0, SG_DXFER_NONE, 2000, false, 0, 0},
        {"host: timeout", DataDirection::In, 512, 2, 0, 0x03, 0, 0, 0, SG_DXFER_FROM_DEV, 2000, false, 0, 0},
        {"driver: timeout", DataDirection::Out, 512, 2, 0, 0, 0x06, 0, 0, SG_DXFER_TO_DEV, 2000, false, 0, 0},
        {"driver: error", DataDirection::None, 0, 2, 0, 0, 0x04, 0, 0, SG_DXFER_NONE, 2000, false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint8_t> data(c.length + 1);
        platform::ScsiExchange x;
        x.cdbLength = 6;
        x.direction = c.direction;
        x.data = data.data();
        x.dataLength = c.length;
        x.timeoutSeconds = c.seconds;
        x.status = 0xEE;

        sg_io_hdr_t io = platform::SgRequest(x);
        EXPECT_EQ(io.interface_id, 'S');
        EXPECT_EQ(io.dxfer_direction, c.sgDirection);
        EXPECT_EQ(io.dxfer_len, c.length);
        EXPECT_EQ(io.timeout, c.timeoutMs);
        EXPECT_EQ(io.sbp, x.sense);

        io.status = c.status;
        io.host_status = c.hostStatus;
        io.driver_status = c.driverStatus;
        io.resid = c.resid;
        io.sb_len_wr = c.senseWritten;
        EXPECT_EQ(platform::TakeSgAnswer(io, x), c.completed);
        if (!c.completed) continue;
        EXPECT_EQ(x.status, c.status);
        EXPECT_EQ(x.residual, c.residual);
        EXPECT_EQ(x.senseLength, c.senseLength);
    }
}
#endif

// ---------------------------------------------------------------------------
// The virtual card reader.

TEST_F(CardReaderTest, InquiryReportsARemovableDirectAccessDisk) {
    TempImage image(64);
    ASSERT_TRUE(platform::MapDrive('K', image.path()));
    HANDLE h = Open('K');
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::vector<std::uint8_t> reply(36, 0xEE);
    Answer a = Send(h, Inquiry(), SCSI_IOCTL_DATA_IN, reply.data(), 36);
    EXPECT_TRUE(a.ok);
    EXPECT_EQ(a.status, kGood);
    EXPECT_EQ(a.senseLength, 0) << "no sense on GOOD";
    EXPECT_EQ(reply[0], 0x00);
    EXPECT_EQ(reply[1] & 0x80, 0x80);
    EXPECT_TRUE(sys::CloseHandle(h));
}

// The letter maps to the image itself or, for block I/O, to a partition of
// it, to a loop device over it or to a partition of one. A partition's path
// still reaches the whole card, and a write is done only once it has left the
// page cache: the image holds it while the handle is still open.
TEST_F(CardReaderTest, ReadsAndWritesUpToTheLastSector) {
    enum class Via { Image, Partition, Loop, LoopPartition };
#ifdef __linux__
    const Via vias[] = {Via::Image, Via::Partition, Via::Loop, Via::LoopPartition};
#else
    const Via vias[] = {Via::Image};
#endif
    for (Via via : vias) {
        const char* names[] = {"image", "partition", "loop device", "partition of a loop device"};
        SCOPED_TRACE(names[static_cast<int>(via)]);
        TempImage image(64);
        const std::vector<std::uint8_t> before = Pattern(900, 64);
        image.Write(0, before);
        std::string path = image.path();
        bool mapped = false;
#ifdef __linux__
        if (via == Via::Partition) {
            // As the kernel describes a partition: a node of its own, and the
            // whole disk behind it.
            platform::DriveIdentity id = platform::IdentifyPath(image.path());
            id.path = image.path() + "1";
            id.image = false;
            id.partition = true;
            platform::MapDrive('L', platform::OpenBlockIoDevice(id.path, id), id.path);
            mapped = true;
        }
        std::unique_ptr<LoopDevice> loop;
        if (via == Via::Loop || via == Via::LoopPartition) {
            loop = std::make_unique<LoopDevice>(image.path());
            if (loop->path().empty()) GTEST_SKIP() << "no loop device for block I/O: " << loop->why();
            path = via == Via::Loop ? loop->path() : loop->AddPartition(8, 56);
            if (path.empty()) GTEST_SKIP() << "cannot add a partition to " << loop->path();
        }
#endif
        if (!mapped) {
            ASSERT_TRUE(platform::MapDrive('L', path));
        }
        HANDLE h = Open('L');
        ASSERT_NE(h, INVALID_HANDLE_VALUE);

        std::vector<std::uint8_t> data = Pattern(7, 3);
        Answer w = Send(h, Write10(61, 3), SCSI_IOCTL_DATA_OUT, data.data(), 3 * 512);
        EXPECT_TRUE(w.ok);
        EXPECT_EQ(w.status, kGood);
        EXPECT_EQ(image.Read(61, 3), data);
        EXPECT_EQ(image.Read(0, 61), std::vector<std::uint8_t>(before.begin(), before.begin() + 61 * 512));
        EXPECT_EQ(image.SizeBytes(), 64u * 512);

        std::vector<std::uint8_t> back(2 * 512, 0);
        Answer r = Send(h, Read10(62, 2), SCSI_IOCTL_DATA_IN, back.data(), 2 * 512);
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.status, kGood);
        EXPECT_EQ(r.transferred, 2u * 512);
        EXPECT_EQ(back, std::vector<std::uint8_t>(data.begin() + 512, data.end()));

        // A read reaches the card, never what the page cache kept of it:
        // the checks that read back what they wrote would prove nothing.
        const std::vector<std::uint8_t> changed = Pattern(11, 2);
        image.Write(62, changed);
        r = Send(h, Read10(62, 2), SCSI_IOCTL_DATA_IN, back.data(), 2 * 512);
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(back, changed);
        EXPECT_TRUE(sys::CloseHandle(h));
        platform::UnmapDrive('L');
    }
}

enum class Card { Normal, ReadOnly, Ejected };

TEST_F(CardReaderTest, AnswersEachCommandAsARealReaderWould) {
    constexpr std::uint32_t kSectors = 64;
    struct Case {
        const char* name;
        Card card;
        Cdb cdb;
        UCHAR dataIn;
        ULONG length;
        std::uint8_t status;
        std::uint8_t key, asc, ascq;
        ULONG transferred = 0xFFFFFFFF;  // not checked unless given
    };
    const std::uint8_t kIllegal = platform::sense::kIllegalRequest;
    const std::uint8_t kNotReady = platform::sense::kNotReady;
    const std::uint8_t kProtect = platform::sense::kDataProtect;
    const std::vector<Case> cases = {
        {"read last sector", Card::Normal, Read10(kSectors - 1, 1), 1, 512, kGood, 0, 0, 0},
        {"read across the end", Card::Normal, Read10(kSectors - 1, 2), 1, 1024, kCheckCondition, kIllegal, 0x21, 0},
        {"read just past the end", Card::Normal, Read10(kSectors, 1), 1, 512, kCheckCondition, kIllegal, 0x21, 0},
        {"read at the top LBA", Card::Normal, Read10(0xFFFFFFFFu, 1), 1, 512, kCheckCondition, kIllegal, 0x21, 0},
        {"write across the end", Card::Normal, Write10(kSectors - 1, 2), 0, 1024, kCheckCondition, kIllegal, 0x21, 0},
        {"write at the top LBA", Card::Normal, Write10(0xFFFFFFFFu, 1), 0, 512, kCheckCondition, kIllegal, 0x21, 0},
        {"READ CAPACITY(10)", Card::Normal, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 1, 8, kCheckCondition, kIllegal, 0x20, 0},
        {"READ(6)", Card::Normal, {0x08, 0, 0, 0, 1, 0}, 1, 512, kCheckCondition, kIllegal, 0x20, 0},
        {"opcode FF", Card::Normal, {0xFF, 0, 0, 0, 0, 0}, 0, 0, kCheckCondition, kIllegal, 0x20, 0},
        {"read-only: read", Card::ReadOnly, Read10(0, 4), 1, 2048, kGood, 0, 0, 0},
        {"read-only: write", Card::ReadOnly, Write10(0, 4), 0, 2048, kCheckCondition, kProtect, 0x27, 0},
        {"read-only: write last sector", Card::ReadOnly, Write10(kSectors - 1, 1), 0, 512, kCheckCondition, kProtect,
         0x27, 0},
        {"ejected: read", Card::Ejected, Read10(0, 1), 1, 512, kCheckCondition, kNotReady, 0x3A, 0},
        {"ejected: write", Card::Ejected, Write10(0, 1), 0, 512, kCheckCondition, kNotReady, 0x3A, 0},
        {"ejected: inquiry", Card::Ejected, Inquiry(), 1, 36, kGood, 0, 0, 0},
        {"read 2 sectors into 512 bytes", Card::Normal, Read10(0, 2), 1, 512, kCheckCondition, kIllegal, 0x24, 0},
        {"write 2 sectors from 512 bytes", Card::Normal, Write10(0, 2), 0, 512, kCheckCondition, kIllegal, 0x24, 0},
        {"read 1 sector into 1024 bytes", Card::Normal, Read10(0, 1), 1, 1024, kGood, 0, 0, 0, 512},
    };
    // The block-I/O back end answers as the reader does, over the same file.
    const std::vector<std::pair<const char*, std::function<std::shared_ptr<platform::ScsiTarget>(const std::string&)>>>
        backEnds = {
            {"card image", [](const std::string& path) { return platform::OpenCardImage(path); }},
#ifndef _WIN32
            {"block I/O",
             [](const std::string& path) {
                 return platform::OpenBlockIoDevice(path, platform::IdentifyPath(path));
             }},
#endif
        };
    for (const auto& [backEnd, open] : backEnds)
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(backEnd) + ": " + c.name);
        if (c.card == Card::ReadOnly && !brisant_test::ReadOnlyFilesAreHonoured()) continue;
        TempImage image(kSectors);
        std::shared_ptr<platform::ScsiTarget> reader =
#ifdef _WIN32
            c.card == Card::ReadOnly ? image.OpenReadOnly() : open(image.path());
#else
            c.card == Card::ReadOnly ? image.OpenAsUser(0444, open) : open(image.path());
#endif
        ASSERT_NE(reader, nullptr);
        platform::MapDrive('M', reader, "card");
        HANDLE h = Open('M');
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        if (c.card == Card::Ejected) {
            EXPECT_EQ(Send(h, StartStop(0x02)).status, kGood);
        }

        // Exactly the length given, so a transfer past it is an overrun.
        std::vector<std::uint8_t> data = Pattern(3, (c.length + 511) / 512);
        data.resize(c.length);
        const std::vector<std::uint8_t> sent = data;
        Answer a = Send(h, c.cdb, c.dataIn, c.length ? data.data() : nullptr, c.length);
        if (c.status == kGood) {
            EXPECT_TRUE(a.ok);
            EXPECT_EQ(a.status, kGood);
        } else {
            EXPECT_TRUE(Refused(a, c.key, c.asc, c.ascq));
            EXPECT_EQ(data, sent) << "a refused command touched the buffer";
        }
        if (c.transferred != 0xFFFFFFFF) {
            EXPECT_EQ(a.transferred, c.transferred);
        }
        EXPECT_TRUE(sys::CloseHandle(h));
        platform::UnmapDrive('M');
        reader.reset();
        EXPECT_EQ(image.SizeBytes(), kSectors * 512u) << "the card never grows";
        EXPECT_EQ(image.Read(0, kSectors), std::vector<std::uint8_t>(kSectors * 512, 0)) << "nothing written";
    }
}

// Cards reach past 2 GiB (4,200,000 sectors), in a 32-bit build too.
TEST_F(CardReaderTest, ServesCardsLargerThan2GiB) {
    constexpr std::uint32_t kSectors = 4200000;
    TempImage image(kSectors);
    ASSERT_TRUE(platform::MapDrive('Q', image.path()));
    HANDLE h = Open('Q');
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << "the image does not open";

    std::vector<std::uint8_t> data = Pattern(kSectors - 2, 2);
    EXPECT_EQ(Send(h, Write10(kSectors - 2, 2), SCSI_IOCTL_DATA_OUT, data.data(), 1024).status, kGood);
    EXPECT_EQ(image.Read(kSectors - 2, 2), data);
    std::vector<std::uint8_t> back(1024, 0);
    EXPECT_EQ(Send(h, Read10(kSectors - 2, 2), SCSI_IOCTL_DATA_IN, back.data(), 1024).status, kGood);
    EXPECT_EQ(back, data);
    EXPECT_TRUE(Refused(Send(h, Read10(kSectors, 1), SCSI_IOCTL_DATA_IN, back.data(), 512),
                        platform::sense::kIllegalRequest, 0x21, 0x00));
    EXPECT_TRUE(sys::CloseHandle(h));
    EXPECT_EQ(image.SizeBytes(), std::uint64_t{kSectors} * 512);
    EXPECT_EQ(image.Read(0, 1), std::vector<std::uint8_t>(512, 0)) << "a wrapped offset landed at the start";
}

TEST_F(CardReaderTest, EjectIsRefusedWhileRemovalIsPrevented) {
    TempImage image(16);
    ASSERT_TRUE(platform::MapDrive('N', image.path()));
    HANDLE h = Open('N');
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::vector<std::uint8_t> data(512);

    EXPECT_EQ(Send(h, Prevent(true)).status, kGood);
    EXPECT_TRUE(Refused(Send(h, StartStop(0x02)), platform::sense::kIllegalRequest, 0x53, 0x02));
    EXPECT_EQ(Send(h, Read10(0, 1), SCSI_IOCTL_DATA_IN, data.data(), 512).status, kGood) << "the card stays";

    EXPECT_EQ(Send(h, Prevent(false)).status, kGood);
    EXPECT_EQ(Send(h, StartStop(0x02)).status, kGood);
    EXPECT_TRUE(Refused(Send(h, Read10(0, 1), SCSI_IOCTL_DATA_IN, data.data(), 512), platform::sense::kNotReady,
                        0x3A, 0x00));
    EXPECT_TRUE(sys::CloseHandle(h));

    // The card stays out for the next opener too.
    h = Open('N');
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Refused(Send(h, Read10(0, 1), SCSI_IOCTL_DATA_IN, data.data(), 512), platform::sense::kNotReady,
                        0x3A, 0x00));
    EXPECT_TRUE(sys::CloseHandle(h));
}

TEST_F(CardReaderTest, PreventionLastsUntilTheLastHandleCloses) {
    TempImage image(16);
    ASSERT_TRUE(platform::MapDrive('O', image.path()));
    HANDLE a = Open('O');
    HANDLE b = Open('O');
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Send(a, Prevent(true)).status, kGood);
    EXPECT_TRUE(sys::CloseHandle(a));
    EXPECT_TRUE(Refused(Send(b, StartStop(0x02)), platform::sense::kIllegalRequest, 0x53, 0x02));
    EXPECT_TRUE(sys::CloseHandle(b));

    HANDLE c = Open('O');
    ASSERT_NE(c, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Send(c, StartStop(0x02)).status, kGood);
    EXPECT_TRUE(sys::CloseHandle(c));
}

// The device's sense goes no further than the caller's sense area.
TEST_F(CardReaderTest, SenseIsCutToTheLengthAsked) {
    TempImage image(16);
    ASSERT_TRUE(platform::MapDrive('P', image.path()));
    HANDLE h = Open('P');
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::vector<std::uint8_t> data(512);
    ScsiRequestBlock block;
    Prepare(block, Read10(16, 1), SCSI_IOCTL_DATA_IN, data.data(), 512);
    block.Header.SenseInfoLength = 8;
    std::memset(block.SenseData, 0xEE, sizeof block.SenseData);
    Answer a = Send(h, block);
    EXPECT_TRUE(a.ok);
    EXPECT_EQ(a.status, kCheckCondition);
    EXPECT_EQ(a.senseLength, 8);
    EXPECT_EQ(a.returned, offsetof(ScsiRequestBlock, SenseData) + 8);
    EXPECT_EQ(block.SenseData[2] & 0x0F, platform::sense::kIllegalRequest);
    for (std::size_t i = 8; i < sizeof block.SenseData; ++i) EXPECT_EQ(block.SenseData[i], 0xEE) << "byte " << i;
    EXPECT_TRUE(sys::CloseHandle(h));
}

#ifndef _WIN32
// ---------------------------------------------------------------------------
// Which card a letter stands for, read from a fake sysfs and /proc.

namespace fs = std::filesystem;

// A tree shaped as the kernel's: disks below their transport's devices,
// reached through class/block and block links, with partitions inside them.
class FakeSystem {
public:
    FakeSystem() : root_(fs::temp_directory_path() / ("brisant-sys-" + std::to_string(getpid()))) {
        fs::remove_all(root_);
        platform::SetSystemRoot(root_.string());
    }
    ~FakeSystem() {
        platform::SetSystemRoot("");
        fs::remove_all(root_);
    }
    FakeSystem(const FakeSystem&) = delete;
    FakeSystem& operator=(const FakeSystem&) = delete;

    // devicePath: below sys/devices, up to the device that owns the disk.
    void Disk(const std::string& name, const std::string& devicePath, std::map<std::string, std::string> device,
              std::map<std::string, std::string> disk, std::vector<std::string> partitions = {},
              std::vector<std::string> holders = {}) {
        fs::path owner = root_ / "sys/devices" / devicePath;
        fs::path block = owner / "block" / name;
        for (auto& [file, text] : device) Put(owner / file, text);
        disk.emplace("dev", "8:0");
        for (auto& [file, text] : disk) Put(block / file, text);
        fs::create_directories(block / "holders");
        for (const std::string& holder : holders) fs::create_directories(block / "holders" / holder);
        fs::create_directory_symlink(fs::relative(owner, block), block / "device");
        Link("block/" + name, block);
        Link("class/block/" + name, block);
        // "NAME:HOLDER": a partition assembled into a mapped or RAID device.
        for (std::string part : partitions) {
            const std::size_t colon = part.find(':');
            if (colon != std::string::npos) {
                fs::create_directories(block / part.substr(0, colon) / "holders" / part.substr(colon + 1));
                part.resize(colon);
            }
            Put(block / part / "partition", "1");
            Put(block / part / "dev", "8:1");
            Link("class/block/" + part, block / part);
        }
    }
    void Table(const std::string& file, const std::string& text) { Put(root_ / file, text); }

private:
    static void Put(const fs::path& file, const std::string& text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text << "\n";
    }
    void Link(const std::string& at, const fs::path& to) {
        fs::path link = root_ / "sys" / at;
        fs::create_directories(link.parent_path());
        fs::create_directory_symlink(fs::relative(to, link.parent_path()), link);
    }
    fs::path root_;
};

const char kUsbReader[] = "pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/host6/target6:0:0/6:0:0:0";
const char kSdSlot[] = "pci0000:00/0000:00:04.0/mmc_host/mmc0/mmc0:aaaa";
const char kSata[] = "pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0";

void FillFakeSystem(FakeSystem& system) {
    system.Disk("sdb", kUsbReader, {{"vendor", "Generic "}, {"model", "STORAGE DEVICE  "}},
                {{"size", "3968000"}, {"removable", "1"}, {"ro", "0"}}, {"sdb1"});
    system.Disk("mmcblk0", kSdSlot, {{"type", "SD"}, {"name", "SD02G"}},
                {{"size", "4194304"}, {"removable", "0"}, {"ro", "1"}}, {"mmcblk0p1:dm-1", "mmcblk0p2"});
    system.Disk("sda", kSata, {{"vendor", "ATA"}, {"model", "Samsung SSD"}},
                {{"size", "1000215216"}, {"removable", "0"}, {"ro", "0"}}, {"sda1", "sda2"});
    system.Disk("loop0", "virtual", {}, {{"size", "2048"}, {"removable", "0"}}, {}, {"dm-0"});
    system.Disk("sdaa", kUsbReader, {}, {{"size", "0"}});
    system.Disk("mmcblk10", kSdSlot, {}, {{"size", "0"}});
    system.Disk("mmcblk0boot0", kSdSlot, {}, {{"size", "8192"}});
    system.Table("proc/self/mounts",
                 "/dev/sda1 / ext4 rw 0 0\n"
                 "proc /proc proc rw 0 0\n"
                 "/dev/mmcblk0p2 /media/My\\040Card vfat ro 0 0\n");
    system.Table("proc/swaps",
                 "Filename\t\t\t\tType\t\tSize\tUsed\tPriority\n"
                 "/dev/sda2                               partition\t999420\t0\t-2\n");
}

TEST(DriveIdentityTest, ReadsEachDiskAsTheKernelDescribesIt) {
    FakeSystem system;
    FillFakeSystem(system);
    struct Row {
        const char* path;
        const char* disk;
        bool partition;
        const char* vendor;
        const char* model;
        const char* bus;
        bool removable;
        std::uint64_t sizeBytes;
        bool readOnly;
        std::vector<std::pair<std::string, std::string>> inUse;
    };
    const std::vector<Row> rows = {
        {"/dev/sdb", "/dev/sdb", false, "Generic", "STORAGE DEVICE", "usb", true, 3968000ull * 512, false, {}},
        {"/dev/sdb1", "/dev/sdb", true, "Generic", "STORAGE DEVICE", "usb", true, 3968000ull * 512, false, {}},
        // The kernel calls the slot's card fixed; an SD card is removable all the same.
        {"/dev/mmcblk0", "/dev/mmcblk0", false, "SD card", "SD02G", "mmc", true, 4194304ull * 512, true,
         {{"/dev/mmcblk0p1", "held by dm-1"}, {"/dev/mmcblk0p2", "/media/My Card"}}},
        {"/dev/mmcblk0p1", "/dev/mmcblk0", true, "SD card", "SD02G", "mmc", true, 4194304ull * 512, true,
         {{"/dev/mmcblk0p1", "held by dm-1"}, {"/dev/mmcblk0p2", "/media/My Card"}}},
        {"/dev/sda", "/dev/sda", false, "ATA", "Samsung SSD", "ata", false, 1000215216ull * 512, false,
         {{"/dev/sda1", "/"}, {"/dev/sda2", "swap"}}},
        {"/dev/loop0", "/dev/loop0", false, "", "", "loop", false, 2048u * 512, false, {{"/dev/loop0", "held by dm-0"}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        platform::DriveIdentity id = platform::IdentifyPath(row.path);
        EXPECT_TRUE(id.known);
        EXPECT_FALSE(id.image);
        EXPECT_EQ(id.path, row.path);
        EXPECT_EQ(id.disk, row.disk);
        EXPECT_EQ(id.partition, row.partition);
        EXPECT_EQ(id.vendor, row.vendor);
        EXPECT_EQ(id.model, row.model);
        EXPECT_EQ(id.bus, row.bus);
        EXPECT_EQ(id.removable, row.removable);
        EXPECT_EQ(id.sizeBytes, row.sizeBytes);
        EXPECT_EQ(id.readOnly, row.readOnly);
        std::vector<std::pair<std::string, std::string>> inUse;
        for (const platform::DiskUse& use : id.inUse) inUse.emplace_back(use.device, use.use);
        EXPECT_EQ(inUse, row.inUse);
    }
    EXPECT_FALSE(platform::IdentifyPath("/dev/sdq").known);
    EXPECT_EQ(platform::IdentityText(platform::IdentifyPath("/dev/mmcblk0p1")),
              "/dev/mmcblk0p1: SD card SD02G, mmc, removable, 2048 MB (2147483648 bytes), a partition of "
              "/dev/mmcblk0, read-only, in use: /dev/mmcblk0p1 held by dm-1; /dev/mmcblk0p2 on /media/My Card");

    TempImage image(2048);
    platform::DriveIdentity id = platform::IdentifyPath(image.path());
    EXPECT_TRUE(id.image && id.known && id.removable);
    EXPECT_EQ(id.sizeBytes, 2048u * 512);
    EXPECT_EQ(platform::IdentityText(id), image.path() + ": card image, 1 MB (1048576 bytes)");
}

// Letters go to the whole disks that exist, sd* before mmcblk*, in the
// kernel's order (sdz before sdaa); eMMC boot areas and loop devices get none.
TEST(DriveIdentityTest, DefaultMapGivesLettersToWholeDisks) {
    FakeSystem system;
    FillFakeSystem(system);
    platform::ResetDriveMap();
    std::string map;
    for (char letter = 'D'; letter <= 'Z'; ++letter) {
        if (!platform::DescribeDrive(letter).empty()) map += std::string(1, letter) + "=" + platform::DescribeDrive(letter) + " ";
    }
    platform::ClearDriveMap();
    EXPECT_EQ(map, "D=/dev/sda E=/dev/sdb F=/dev/sdaa G=/dev/mmcblk0 H=/dev/mmcblk10 ");
}

// A sweep that could open nothing because the user may not open the
// devices says so; one volume that opens, or a missing one, is no such case.
TEST_F(PassThroughTest, OpenFailureReasonNamesRefusedDevices) {
    TempImage e(8), f(8), g(8);
    for (auto [letter, image] : {std::pair{'E', &e}, {'F', &f}, {'G', &g}}) platform::MapDrive(letter, image->path());
    platform::MapDrive('H', "/nonexistent/brisant-card.img");
    auto sweep = [&](bool gAllowed) {
        for (char letter : {'E', 'F', 'G', 'H'}) {
            TempImage& image = letter == 'E' ? e : letter == 'F' ? f : g;
            bool refused = letter != 'H' && !(letter == 'G' && gAllowed);
            HANDLE h = refused ? image.OpenAsUser(0, [&](const std::string&) { return Open(letter); }) : Open(letter);
            if (h != INVALID_HANDLE_VALUE) {
                EXPECT_TRUE(sys::CloseHandle(h));
            }
        }
        return platform::OpenFailureReason();
    };
    EXPECT_EQ(platform::OpenFailureReason(), "") << "nothing tried yet";
    std::string folder = e.path().substr(0, e.path().rfind('/') + 1);
    std::string reason = sweep(false);
    EXPECT_EQ(reason.rfind("cannot open " + e.path() + "..", 0), 0u) << reason;
    EXPECT_NE(reason.find(": permission denied; run as root"), std::string::npos) << reason;
    EXPECT_EQ(sweep(true), "");
}

#ifdef __linux__
// Block I/O: a write, or the eject that ends a repair, is done only once the
// kernel has flushed it to the card; one it could not flush is a failure,
// whatever the page cache took.
TEST_F(CardReaderTest, BlockIoFailsWhatItCannotFlushToTheCard) {
    TempImage image(16);
    int status = ExitStatusWhenFlushesFail([&] {
        auto target = platform::OpenBlockIoDevice(image.path(), platform::IdentifyPath(image.path()));
        if (!target) return 4;
        auto refused = [&](const Cdb& cdb, std::uint8_t* data, std::uint32_t length) {
            platform::ScsiExchange x;
            std::memcpy(x.cdb, cdb.data(), cdb.size());
            x.cdbLength = static_cast<std::uint8_t>(cdb.size());
            x.direction = length ? platform::DataDirection::Out : platform::DataDirection::None;
            x.data = data;
            x.dataLength = length;
            return target->Execute(x) && x.status == kCheckCondition &&
                   (x.sense[2] & 0x0F) == platform::sense::kMediumError;
        };
        std::vector<std::uint8_t> sector = Pattern(3, 1);
        return (refused(Write10(3, 1), sector.data(), 512) ? 0 : 1) | (refused(StartStop(0x02), nullptr, 0) ? 0 : 2);
    });
    if (status == kNoSyscallFilter) GTEST_SKIP() << "no seccomp filter to fail fsync with";
    EXPECT_EQ(status & ~3, 0) << "the child ended with " << status;
    EXPECT_FALSE(status & 1) << "a write the kernel could not flush counted as done";
    EXPECT_FALSE(status & 2) << "an eject whose flush failed counted as done";
}
#endif

TEST_F(CardReaderTest, BlockIoInquiryTellsTheCardFromSysfs) {
    TempImage image(16);
    struct Row {
        bool removable;
        const char* vendor;
        const char* model;
        const char* want;  // bytes 8..35
    };
    const std::vector<Row> rows = {
        {true, "SD card", "SD02G", "SD card SD02G               "},
        {false, "ATA", "A model name longer than 16", "ATA     A model name lon    "},
    };
    for (const Row& row : rows) {
        platform::DriveIdentity id = platform::IdentifyPath(image.path());
        id.removable = row.removable;
        id.vendor = row.vendor;
        id.model = row.model;
        platform::MapDrive('R', platform::OpenBlockIoDevice(image.path(), id), "slot");
        HANDLE h = Open('R');
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        std::vector<std::uint8_t> reply(36, 0xEE);
        EXPECT_EQ(Send(h, Inquiry(), SCSI_IOCTL_DATA_IN, reply.data(), 36).status, kGood);
        EXPECT_EQ(reply[0], 0x00);
        EXPECT_EQ(reply[1], row.removable ? 0x80 : 0x00);
        EXPECT_EQ(std::string(reply.begin() + 8, reply.end()), row.want);
        EXPECT_TRUE(sys::CloseHandle(h));
    }
    platform::UnmapDrive('R');
}

#endif  // _WIN32

}  // namespace
