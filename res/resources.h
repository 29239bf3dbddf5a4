// The program's resources as read from the compiled resource script, for the
// builds whose window system cannot load a Windows resource by itself.
#pragma once

#include <cstddef>
#include <cstdint>

namespace res {

struct DialogItem {
    std::int32_t id;        // -1 for labels the code never addresses
    const char* className;  // "Button", "Static", "ComboBox", "msctls_progress32"
    const char* text;       // UTF-8
    std::uint32_t style;
    std::uint32_t exStyle;
    std::int16_t x, y, cx, cy;  // dialog units
    std::uint32_t helpId;
    std::uint16_t classOrdinal;  // 0x80.. for predefined classes, 0 when named
    std::uint16_t creationDataSize;
};

struct DialogTemplate {
    std::uint16_t language;
    std::uint32_t style;
    std::uint32_t exStyle;
    std::int16_t x, y, cx, cy;
    const char* caption;   // UTF-8
    std::uint16_t pointSize;
    std::uint16_t weight;
    std::uint8_t italic;
    std::uint8_t charset;
    const char* typeface;  // UTF-8
    const DialogItem* items;  // in template (tab) order
    std::size_t itemCount;
    int id;
    std::uint32_t helpId;
    const char* menu;         // null: no menu; "#n" for an ordinal
    const char* windowClass;  // null: the standard dialog class
};

struct IconImage {
    int width, height, bitsPerPixel;
    const std::uint32_t* pixels;  // width*height, 0xAARRGGBB, top row first
    int colorCount;  // as the icon directory states it; 0 for 256 or more
    int planes;
};

struct IconGroup {
    std::uint16_t language;
    const IconImage* images;
    std::size_t imageCount;
    int id;
};

struct VersionString {
    const char* key;
    const char* value;
};

struct VersionInfo {
    std::uint16_t language;
    std::uint16_t fileVersion[4];
    std::uint16_t productVersion[4];
    std::uint32_t fileFlags, fileOS, fileType;
    const char* stringTable;  // "040404b0"
    const VersionString* strings;
    std::size_t stringCount;
    std::uint32_t fileFlagsMask, fileSubtype;
    const std::uint32_t* translations;  // each: language | codePage << 16
    std::size_t translationCount;
};

// Null when the resource does not exist.
const DialogTemplate* FindDialog(int id);
const IconGroup* FindIcon(int id);
const VersionInfo* FindVersion();

}  // namespace res
