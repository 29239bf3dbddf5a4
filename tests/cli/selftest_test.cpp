// The selftest against a card image with a failing or lying card in front.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <memory>

#include "cli/selftest.h"
#include "scsi/drive_map.h"
#include "platform/testing.h"
#include "scsi/testing.h"
#include "support/card_fixture.h"

namespace {

using fixture::CardImage;
using platform::testing::Fault;
using platform::testing::FaultyTarget;
using platform::testing::FoldingTarget;

constexpr DWORD kDeclared = 1984000;
constexpr DWORD kFirst = kDeclared - 128;
constexpr int kCleanRunCommands = 9;

struct Outcome {
    int status;
    std::vector<BYTE> region;  // the 128 sectors afterwards
    std::vector<std::vector<BYTE>> saved;  // the files old bytes went to, in the order of their names
};

using Target = std::shared_ptr<platform::ScsiTarget>;

// The selftest of E:, a card whose last declared sectors hold a pattern, with
// `front` put before the card and, when given, the file of an earlier run.
Outcome SelftestOf(const std::function<Target(Target)>& front, const std::vector<BYTE>& earlier = {}) {
    CardImage card(2 * kDeclared, fixture::FatBootSector(kDeclared));
    card.Write(kFirst, brisant_test::Pattern(kFirst, 128));
    const auto sector0 = card.Read(0);
    auto watch = std::make_shared<CommandWatch>(front(platform::OpenCardImage(card.path())));
    platform::MapDrive('E', watch, card.path());

    const auto folder = std::filesystem::path(card.path()).parent_path();
    const std::string saved = (folder / ("brisant-selftest-E-" + std::to_string(kFirst))).string();
    if (!earlier.empty()) {
        std::ofstream(saved + ".bin", std::ios::binary)
            .write(reinterpret_cast<const char*>(earlier.data()), static_cast<std::streamsize>(earlier.size()));
    }
    const auto before = std::filesystem::current_path();
    std::filesystem::current_path(folder);
    CCardDevice device;
    CConsoleOperator op("E:\\", true, false, true);
    Outcome out{RunSelftest(device, 'E', kDeclared, *watch, op), {}, {}};
    std::filesystem::current_path(before);
    platform::UnmapDrive('E');

    EXPECT_EQ(platform::OpenVolumeCount(), 0) << "a handle was left open";
    EXPECT_EQ(card.Read(0), sector0);
    out.region = card.Read(kFirst, 128);
    for (int n = 1;; ++n) {
        std::ifstream file(n == 1 ? saved + ".bin" : saved + "-" + std::to_string(n) + ".bin", std::ios::binary);
        if (!file) break;
        out.saved.emplace_back(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    return out;
}

// A failure anywhere, once, twice in a row or from then on (a card pulled
// out), never passes, and the old bytes stay on the card or, when they could
// not go back, in a file.
TEST(Selftest, NoFailureLosesTheSectorsOrPasses) {
    const auto old = brisant_test::Pattern(kFirst, 128);
    enum class Failing { Once, Twice, Onwards };
    for (Failing failing : {Failing::Once, Failing::Twice, Failing::Onwards}) {
        for (Fault fault : {Fault::CheckCondition, Fault::TransportFailure}) {
            for (int failAt = 1; failAt <= kCleanRunCommands + 1; ++failAt) {
                const char* times[] = {" once", " twice", " onwards"};
                SCOPED_TRACE(testing::Message() << "command " << failAt << times[static_cast<int>(failing)]
                                                << (fault == Fault::CheckCondition ? " check" : " transport"));
                Outcome out = SelftestOf([&](Target card) -> Target {
                    // The inner target counts only what the outer one let through.
                    if (failing == Failing::Twice) card = std::make_shared<FaultyTarget>(card, failAt, fault);
                    return std::make_shared<FaultyTarget>(card, failAt, fault, failing == Failing::Onwards);
                });
                EXPECT_EQ(out.status, failAt > kCleanRunCommands ? 0 : 1);
                if (out.saved.empty()) {
                    EXPECT_EQ(out.region, old);
                } else {
                    EXPECT_EQ(failing, Failing::Onwards) << "a failure that passed kept the old bytes off the card";
                    EXPECT_EQ(out.saved, std::vector<std::vector<BYTE>>{old});
                }
            }
        }
    }
    // A file that an earlier failed run left holds the truly old bytes: it is
    // kept, and this run's go beside it.
    const auto older = brisant_test::Pattern(1, 128);
    Outcome again = SelftestOf(
        [](Target card) -> Target { return std::make_shared<FaultyTarget>(card, 5, Fault::CheckCondition, true); },
        older);
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.saved, (std::vector<std::vector<BYTE>>{older, old}));
    // Writes that vanish: the pattern does not read back.
    Outcome lying = SelftestOf([](Target card) -> Target {
        auto dropUpper = [](std::uint32_t lba, std::uint32_t) {
            return lba < kFirst ? std::uint64_t{lba} : FoldingTarget::kNowhere;
        };
        return std::make_shared<FoldingTarget>(card, dropUpper, 2 * kDeclared);
    });
    EXPECT_EQ(lying.status, 1);
    EXPECT_EQ(lying.region, old);
    EXPECT_TRUE(lying.saved.empty());
}

}  // namespace
