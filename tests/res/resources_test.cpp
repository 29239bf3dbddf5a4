#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "res/icon_art.h"
#include "res/res_reader.h"
#include "res/resource.h"
#include "res/resources.h"

namespace {

constexpr std::uint16_t kLangChineseSimplified = 2052;
constexpr std::uint16_t kLangChineseTraditional = 1028;

// ---- Dialog ---------------------------------------------------------------

TEST(ResDialog, TemplateHeader) {
    const res::DialogTemplate* d = res::FindDialog(IDD_BRISANT_DIALOG);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->id, IDD_BRISANT_DIALOG);
    EXPECT_EQ(d->language, kLangChineseSimplified);
    // WS_POPUP|WS_VISIBLE|WS_CAPTION|WS_SYSMENU|DS_MODALFRAME|DS_SETFONT: no minimise/maximise box.
    EXPECT_EQ(d->style, 0x90C800C0u);
    EXPECT_EQ(d->exStyle, 0u);
    EXPECT_EQ(d->helpId, 0u);
    EXPECT_EQ(d->x, 0);
    EXPECT_EQ(d->y, 0);
    EXPECT_EQ(d->cx, 224);
    EXPECT_EQ(d->cy, 150);
    EXPECT_EQ(d->menu, nullptr);
    EXPECT_EQ(d->windowClass, nullptr);
    EXPECT_STREQ(d->caption, "Korvela Fix 2GB Capacity");
    EXPECT_EQ(d->pointSize, 9);
    EXPECT_EQ(d->weight, 0);
    EXPECT_EQ(d->italic, 0);
    EXPECT_EQ(d->charset, 1);
    EXPECT_STREQ(d->typeface, "新細明體");
    EXPECT_EQ(d->itemCount, 8u);
}

struct ExpectedItem {
    const char* name;
    std::int32_t id;
    const char* className;
    std::uint16_t classOrdinal;
    const char* text;
    std::uint32_t style;
    std::int16_t x, y, cx, cy;
};

// Template order is the tab order.
const ExpectedItem kItems[] = {
    {"Repair", 1, "Button", 0x80, "修复", 0x50010001, 107, 129, 50, 14},
    {"Cancel", 2, "Button", 0x80, "取消", 0x50010000, 167, 129, 50, 14},
    {"DriveCombo", IDC_DRIVE_COMBO, "ComboBox", 0x85, "", 0x50210102, 20, 50, 110, 53},
    {"CapacityLabel", -1, "Static", 0x82, "全部空间", 0x50020000, 20, 80, 75, 14},
    {"Capacity", IDC_CAPACITY, "Static", 0x82, "", 0x50021000, 100, 80, 96, 14},
    {"Refresh", IDC_REFRESH, "Button", 0x80, "刷新", 0x50010000, 145, 50, 50, 14},
    {"Prompt", -1, "Static", 0x82, "请选择你需要修复的盘符", 0x50020000, 20, 20, 175, 15},
    {"Progress", IDC_PROGRESS, "msctls_progress32", 0, "Progress1", 0x50800001, 7, 110, 210, 6},
};

class ResDialogItem : public testing::TestWithParam<std::size_t> {};

TEST_P(ResDialogItem, MatchesTemplate) {
    const res::DialogTemplate* d = res::FindDialog(IDD_BRISANT_DIALOG);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->itemCount, std::size(kItems));
    const ExpectedItem& want = kItems[GetParam()];
    const res::DialogItem& got = d->items[GetParam()];
    EXPECT_EQ(got.id, want.id);
    EXPECT_STREQ(got.className, want.className);
    EXPECT_EQ(got.classOrdinal, want.classOrdinal);
    EXPECT_STREQ(got.text, want.text);
    EXPECT_EQ(got.style, want.style) << std::hex << got.style;
    EXPECT_EQ(got.exStyle, 0u);
    EXPECT_EQ(got.helpId, 0u);
    EXPECT_EQ(got.creationDataSize, 0);
    EXPECT_EQ(got.x, want.x);
    EXPECT_EQ(got.y, want.y);
    EXPECT_EQ(got.cx, want.cx);
    EXPECT_EQ(got.cy, want.cy);
}

INSTANTIATE_TEST_SUITE_P(All, ResDialogItem, testing::Range<std::size_t>(0, std::size(kItems)),
                         [](const testing::TestParamInfo<std::size_t>& info) {
                             return std::to_string(info.param + 1) + "_" + kItems[info.param].name;
                         });

TEST(ResLookup, UnknownIdsAreNull) {
    EXPECT_EQ(res::FindDialog(IDR_MAINFRAME), nullptr);
    EXPECT_EQ(res::FindIcon(IDD_BRISANT_DIALOG), nullptr);
}

// ---- Icon -----------------------------------------------------------------

TEST(ResIcon, GroupHoldsTwoSixteenColourImages) {
    const res::IconGroup* g = res::FindIcon(IDR_MAINFRAME);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->id, IDR_MAINFRAME);
    EXPECT_EQ(g->language, kLangChineseTraditional);
    ASSERT_EQ(g->imageCount, 2u);
    const int sizes[] = {32, 16};
    for (std::size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(g->images[i].width, sizes[i]);
        EXPECT_EQ(g->images[i].height, sizes[i]);
        EXPECT_EQ(g->images[i].bitsPerPixel, 4);
        EXPECT_EQ(g->images[i].colorCount, 16);
        EXPECT_EQ(g->images[i].planes, 1);
    }
}

// End to end: pixel map -> .ico -> windres -> .res -> tables.
TEST(ResIcon, PixelsMatchThePixelMap) {
    std::ifstream map(BRISANT_ICON_MAP);
    ASSERT_TRUE(map) << BRISANT_ICON_MAP;
    const auto art = res::icon_art::Parse(map);
    const res::IconGroup* g = res::FindIcon(IDR_MAINFRAME);
    ASSERT_NE(g, nullptr);
    ASSERT_EQ(g->imageCount, art.size());
    for (std::size_t i = 0; i < art.size(); ++i) {
        const res::IconImage& image = g->images[i];
        ASSERT_EQ(image.width, art[i].size);
        ASSERT_EQ(image.height, art[i].size);
        int mismatches = 0;
        for (int y = 0; y < image.height; ++y) {
            for (int x = 0; x < image.width; ++x) {
                const auto at = static_cast<std::size_t>(y * image.width + x);
                const int index = art[i].index[at];
                const std::uint32_t want =
                    index < 0 ? 0x00000000u : 0xFF000000u | res::icon_art::kPalette[static_cast<std::size_t>(index)];
                if (image.pixels[at] != want && ++mismatches <= 5)
                    ADD_FAILURE() << "image " << i << " pixel (" << x << "," << y << "): got " << std::hex
                                  << image.pixels[at] << ", want " << want;
            }
        }
        EXPECT_EQ(mismatches, 0) << "image " << i;
    }
}

// ---- Version --------------------------------------------------------------

TEST(ResVersion, FixedInfo) {
    const res::VersionInfo* v = res::FindVersion();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->language, kLangChineseTraditional);
    EXPECT_EQ(std::vector<int>(v->fileVersion, v->fileVersion + 4), (std::vector<int>{1, 0, 4, 0}));
    EXPECT_EQ(std::vector<int>(v->productVersion, v->productVersion + 4), (std::vector<int>{1, 0, 4, 0}));
    EXPECT_EQ(v->fileFlagsMask, 0x3Fu);
    EXPECT_EQ(v->fileFlags, 0u);
    EXPECT_EQ(v->fileOS, 4u);    // VOS__WINDOWS32
    EXPECT_EQ(v->fileType, 1u);  // VFT_APP
    EXPECT_EQ(v->fileSubtype, 0u);
    ASSERT_EQ(v->translationCount, 1u);
    EXPECT_EQ(v->translations[0] & 0xFFFF, 0x0404u);
    EXPECT_EQ(v->translations[0] >> 16, 1200u);
}

TEST(ResVersion, StringTable) {
    const res::VersionInfo* v = res::FindVersion();
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v->stringTable, "040404b0");
    const std::vector<std::pair<std::string, std::string>> want = {
        {"Comments", ""},
        {"CompanyName", "Korvela"},
        {"FileDescription", "Fix 1GB SD/MMC to 2GB"},
        {"FileVersion", "1, 0, 4, 0"},
        {"InternalName", "Brisant"},
        {"LegalCopyright", "Copyright (c) 2026 the Brisant developers. MIT licence."},
        {"LegalTrademarks", ""},
        {"OriginalFilename", "Brisant.EXE"},
        {"PrivateBuild", ""},
        {"ProductName", "Brisant Application"},
        {"ProductVersion", "1, 0, 4, 0"},
        {"SpecialBuild", ""},
    };
    std::vector<std::pair<std::string, std::string>> got;
    for (std::size_t i = 0; i < v->stringCount; ++i) got.emplace_back(v->strings[i].key, v->strings[i].value);
    EXPECT_EQ(got, want);
}

// ---- Reader ---------------------------------------------------------------

std::vector<res::reader::Resource> ReadBuiltRes() {
    std::ifstream in(BRISANT_RES_FILE, std::ios::binary);
    const std::vector<std::uint8_t> file{std::istreambuf_iterator<char>(in), {}};
    return res::reader::ReadResFile(file);
}

// Every cut-short copy of a real resource must be refused, not read past its end.
TEST(ResReader, RejectsEveryTruncation) {
    const auto all = ReadBuiltRes();
    ASSERT_EQ(all.size(), 5u);  // two icon images, icon group, dialog, version
    for (const auto& r : all) {
        ASSERT_TRUE(r.type.isOrdinal);
        SCOPED_TRACE(testing::Message() << "type " << r.type.ordinal << " id " << r.name.ordinal);
        for (std::size_t len = 0; len < r.data.size(); ++len) {
            const std::span<const std::uint8_t> cut(r.data.data(), len);
            switch (r.type.ordinal) {
            case res::reader::kRtDialog:
                EXPECT_THROW(res::reader::ParseDialog(cut), res::reader::FormatError) << len;
                break;
            case res::reader::kRtGroupIcon:
                EXPECT_THROW(res::reader::ParseIconGroup(cut), res::reader::FormatError) << len;
                break;
            case res::reader::kRtIcon:
                EXPECT_THROW(res::reader::DecodeIconImage(cut), res::reader::FormatError) << len;
                break;
            case res::reader::kRtVersion:
                EXPECT_THROW(res::reader::ParseVersion(cut), res::reader::FormatError) << len;
                break;
            default:
                ADD_FAILURE() << "unexpected resource type";
            }
        }
    }
}

TEST(ResReader, RejectsMalformedInput) {
    using Bytes = std::vector<std::uint8_t>;
    struct Case {
        const char* what;
        Bytes data;
        void (*parse)(const Bytes&);
    };
    const Case cases[] = {
        {"classic DLGTEMPLATE", Bytes{0xC0, 0x00, 0xC8, 0x90, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         [](const Bytes& b) { res::reader::ParseDialog(b); }},
        {".res entry larger than the file", Bytes{0x40, 0, 0, 0, 0x20, 0, 0, 0},
         [](const Bytes& b) { res::reader::ReadResFile(b); }},
        {"zero-length version block", Bytes(64, 0), [](const Bytes& b) { res::reader::ParseVersion(b); }},
        {"PNG icon image", Bytes{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A},
         [](const Bytes& b) { res::reader::DecodeIconImage(b); }},
    };
    for (const auto& c : cases) EXPECT_THROW(c.parse(c.data), res::reader::FormatError) << c.what;
}

TEST(ResReader, Utf16ToUtf8) {
    struct Case {
        std::u16string in;
        std::string out;
    };
    const Case cases[] = {
        {u"Progress1", "Progress1"},
        {u"新細明體", "新細明體"},
        {u"\u00e9", "\xc3\xa9"},
        {u"\U0001F4BE", "\xf0\x9f\x92\xbe"},  // surrogate pair
    };
    for (const auto& c : cases) EXPECT_EQ(res::reader::Utf16ToUtf8(c.in), c.out);
    for (std::u16string bad : {std::u16string(1, u'\xD83D'), std::u16string(1, u'\xDCBE'), std::u16string(u"\xD83Dx")})
        EXPECT_THROW(res::reader::Utf16ToUtf8(bad), res::reader::FormatError);
}

#ifdef _WIN32
// ---- Executables ----------------------------------------------------------

// As Windows finds them: every resource of the script, byte for byte under its
// own language, and the manifest.
TEST(ResExecutable, CarriesTheScriptsResourcesAndManifest) {
    const auto script = ReadBuiltRes();
    std::string list = BRISANT_EXECUTABLES;
    for (std::size_t start = 0; start < list.size();) {
        std::size_t end = std::min(list.find('|', start), list.size());
        std::string path = list.substr(start, end - start);
        start = end + 1;
        if (path.front() == '/') path = "Z:" + path;  // a host path under Wine
        std::replace(path.begin(), path.end(), '/', '\\');
        SCOPED_TRACE(path);
        HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module, nullptr);
        auto find = [module](WORD type, WORD name, WORD language) {
            std::vector<std::uint8_t> bytes;
            HRSRC found = FindResourceExW(module, MAKEINTRESOURCEW(type), MAKEINTRESOURCEW(name), language);
            HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
            const auto* data = static_cast<const std::uint8_t*>(loaded != nullptr ? LockResource(loaded) : nullptr);
            if (data != nullptr) bytes.assign(data, data + SizeofResource(module, found));
            return bytes;
        };
        for (const auto& r : script) {
            EXPECT_EQ(find(r.type.ordinal, r.name.ordinal, r.language), r.data)
                << "type " << r.type.ordinal << " id " << r.name.ordinal << " language " << r.language;
        }
        const std::vector<std::uint8_t> manifest = find(24, 1, 0);  // RT_MANIFEST, the process's own
        const std::string text(manifest.begin(), manifest.end());
        EXPECT_NE(text.find(R"(level="requireAdministrator")"), std::string::npos) << text;
        // The dialog is drawn with the classic controls its styles name.
        EXPECT_EQ(text.find("Common-Controls"), std::string::npos) << text;
        FreeLibrary(module);
    }
}
#endif

}  // namespace
