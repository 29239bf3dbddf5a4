// Reads a compiled resource file (.res) and the binary resource formats in it
// the way Windows lays them out. Used by the build-time table generator.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace res::reader {

struct FormatError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

inline constexpr std::uint16_t kRtIcon = 3;
inline constexpr std::uint16_t kRtDialog = 5;
inline constexpr std::uint16_t kRtVersion = 16;
inline constexpr std::uint16_t kRtGroupIcon = 14;

// A resource type or name, or a dialog's class/menu/text field.
struct NameOrOrdinal {
    bool isOrdinal = false;
    std::uint16_t ordinal = 0;
    std::string name;  // UTF-8
    bool operator==(const NameOrOrdinal&) const = default;
};

struct Resource {
    NameOrOrdinal type;
    NameOrOrdinal name;
    std::uint16_t language = 0;
    std::uint16_t memoryFlags = 0;
    std::vector<std::uint8_t> data;
};

std::vector<Resource> ReadResFile(std::span<const std::uint8_t> file);

struct DialogItem {
    std::uint32_t helpId = 0, exStyle = 0, style = 0;
    std::int16_t x = 0, y = 0, cx = 0, cy = 0;
    std::int32_t id = 0;
    NameOrOrdinal windowClass;
    NameOrOrdinal text;
    std::vector<std::uint8_t> creationData;
};

struct Dialog {
    std::uint32_t helpId = 0, exStyle = 0, style = 0;
    std::int16_t x = 0, y = 0, cx = 0, cy = 0;
    std::optional<NameOrOrdinal> menu;         // none: no menu
    std::optional<NameOrOrdinal> windowClass;  // none: the standard dialog class
    std::string title;
    bool hasFont = false;
    std::uint16_t pointSize = 0, weight = 0;
    std::uint8_t italic = 0, charset = 0;
    std::string typeface;
    std::vector<DialogItem> items;
};

// Extended templates (DLGTEMPLATEEX) only.
Dialog ParseDialog(std::span<const std::uint8_t> data);

struct IconGroupEntry {
    int width = 0, height = 0;  // 0 in the directory means 256
    int colorCount = 0, planes = 0, bitCount = 0;
    std::uint32_t bytesInRes = 0;
    std::uint16_t iconId = 0;  // name of the RT_ICON resource
};

std::vector<IconGroupEntry> ParseIconGroup(std::span<const std::uint8_t> data);

struct IconBitmap {
    int width = 0, height = 0, bitsPerPixel = 0;
    std::vector<std::uint32_t> pixels;  // 0xAARRGGBB, top row first
};

// One RT_ICON image: a DIB of 1, 4, 8 or 32 bits per pixel plus its AND mask.
IconBitmap DecodeIconImage(std::span<const std::uint8_t> data);

struct VersionString {
    std::string key, value;
};

struct Version {
    std::uint32_t structVersion = 0;
    std::uint16_t fileVersion[4] = {};
    std::uint16_t productVersion[4] = {};
    std::uint32_t fileFlagsMask = 0, fileFlags = 0, fileOS = 0, fileType = 0, fileSubtype = 0;
    std::string stringTable;  // key of the one StringFileInfo table, e.g. "040404b0"
    std::vector<VersionString> strings;
    std::vector<std::uint32_t> translations;  // each: language | codePage << 16
};

Version ParseVersion(std::span<const std::uint8_t> data);

std::string Utf16ToUtf8(std::u16string_view text);

// Name of a control class in the usual spelling: ordinals of the predefined
// classes become their names, and known names get their canonical case back
// (windres upper-cases them; Windows compares class names case-insensitively).
std::string ClassName(const NameOrOrdinal& windowClass);

}  // namespace res::reader
