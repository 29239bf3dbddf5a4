#include "res/res_reader.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace res::reader {
namespace {

constexpr std::uint32_t kDsSetFont = 0x40;
constexpr std::uint32_t kFixedFileInfoSignature = 0xFEEF04BD;

[[noreturn]] void Fail(const std::string& why) { throw FormatError(why); }

// Bounds-checked little-endian reader; alignment is relative to the start of
// the span, which is where the formats count it from.
class Cursor {
public:
    explicit Cursor(std::span<const std::uint8_t> data, std::size_t pos = 0) : data_(data), pos_(pos) {
        if (pos > data.size()) Fail("offset past the end of the data");
    }

    std::size_t pos() const { return pos_; }
    std::size_t left() const { return data_.size() - pos_; }

    std::span<const std::uint8_t> Take(std::size_t n) {
        if (n > left()) Fail("data ends early");
        auto out = data_.subspan(pos_, n);
        pos_ += n;
        return out;
    }
    std::uint8_t U8() { return Take(1)[0]; }
    std::uint16_t U16() {
        auto b = Take(2);
        return static_cast<std::uint16_t>(b[0] | b[1] << 8);
    }
    std::uint32_t U32() {
        std::uint32_t lo = U16();
        return lo | static_cast<std::uint32_t>(U16()) << 16;
    }
    std::int16_t I16() { return static_cast<std::int16_t>(U16()); }
    std::int32_t I32() { return static_cast<std::int32_t>(U32()); }

    std::u16string Sz() {
        std::u16string s;
        for (char16_t c; (c = static_cast<char16_t>(U16())) != 0;) s.push_back(c);
        return s;
    }
    // 0xFFFF then an ordinal, or a zero-terminated string (empty when 0x0000).
    NameOrOrdinal NameOrOrd() {
        NameOrOrdinal out;
        if (left() >= 2 && data_[pos_] == 0xFF && data_[pos_ + 1] == 0xFF) {
            pos_ += 2;
            out.isOrdinal = true;
            out.ordinal = U16();
        } else {
            out.name = Utf16ToUtf8(Sz());
        }
        return out;
    }
    void Align4() {
        std::size_t aligned = (pos_ + 3) & ~std::size_t{3};
        if (aligned > data_.size()) Fail("data ends inside padding");
        pos_ = aligned;
    }

private:
    std::span<const std::uint8_t> data_;
    std::size_t pos_;
};

std::size_t Align4(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

// A node of a version resource: wLength, wValueLength, wType, key, value, children.
struct VersionNode {
    std::u16string key;
    std::uint16_t type = 0;
    std::span<const std::uint8_t> value;
    std::vector<VersionNode> children;
};

VersionNode ReadVersionNode(std::span<const std::uint8_t> data, std::size_t start) {
    Cursor head(data, start);
    const std::uint16_t length = head.U16();
    const std::uint16_t valueLength = head.U16();
    VersionNode node;
    node.type = head.U16();
    if (length < 6 || length > data.size() - start) Fail("version block length out of range");
    const auto block = data.first(start + length);
    Cursor in(block, head.pos());
    node.key = in.Sz();
    in.Align4();
    // Text values count characters, binary ones bytes.
    node.value = in.Take(node.type == 1 ? std::size_t{valueLength} * 2 : valueLength);
    for (std::size_t pos = Align4(in.pos()); pos < block.size();) {
        node.children.push_back(ReadVersionNode(block, pos));
        Cursor child(block, pos);
        pos = Align4(pos + child.U16());
    }
    return node;
}

std::string TextValue(std::span<const std::uint8_t> value) {
    std::u16string text;
    for (std::size_t i = 0; i + 1 < value.size(); i += 2) {
        auto c = static_cast<char16_t>(value[i] | value[i + 1] << 8);
        if (c == 0) break;
        text.push_back(c);
    }
    return Utf16ToUtf8(text);
}

}  // namespace

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF)
                Fail("unpaired UTF-16 surrogate");
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00u);
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            Fail("unpaired UTF-16 surrogate");
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | c >> 6));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | c >> 12));
            out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | c >> 18));
            out.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::vector<Resource> ReadResFile(std::span<const std::uint8_t> file) {
    std::vector<Resource> out;
    std::size_t pos = 0;
    while (pos < file.size()) {
        Cursor in(file, pos);
        const std::uint32_t dataSize = in.U32();
        const std::uint32_t headerSize = in.U32();
        if (headerSize < 8 || headerSize > file.size() - pos) Fail("resource header size out of range");
        if (dataSize > file.size() - pos - headerSize) Fail("resource data runs past the end of the file");
        Cursor header(file.subspan(pos, headerSize), 8);
        Resource r;
        r.type = header.NameOrOrd();
        r.name = header.NameOrOrd();
        header.Align4();
        header.U32();  // data version
        r.memoryFlags = header.U16();
        r.language = header.U16();
        const auto data = file.subspan(pos + headerSize, dataSize);
        r.data.assign(data.begin(), data.end());
        // The file opens with an empty entry of type 0 that marks it as 32-bit.
        if (!(r.type.isOrdinal && r.type.ordinal == 0)) out.push_back(std::move(r));
        pos = std::min(file.size(), Align4(pos + headerSize + dataSize));
    }
    return out;
}

Dialog ParseDialog(std::span<const std::uint8_t> data) {
    Cursor in(data);
    const std::uint16_t dlgVer = in.U16();
    if (dlgVer != 1 || in.U16() != 0xFFFF) Fail("dialog is not an extended template (DLGTEMPLATEEX)");
    Dialog d;
    d.helpId = in.U32();
    d.exStyle = in.U32();
    d.style = in.U32();
    const std::uint16_t count = in.U16();
    d.x = in.I16();
    d.y = in.I16();
    d.cx = in.I16();
    d.cy = in.I16();
    if (auto menu = in.NameOrOrd(); menu.isOrdinal || !menu.name.empty()) d.menu = menu;
    if (auto cls = in.NameOrOrd(); cls.isOrdinal || !cls.name.empty()) d.windowClass = cls;
    d.title = Utf16ToUtf8(in.Sz());
    if (d.style & kDsSetFont) {
        d.hasFont = true;
        d.pointSize = in.U16();
        d.weight = in.U16();
        d.italic = in.U8();
        d.charset = in.U8();
        d.typeface = Utf16ToUtf8(in.Sz());
    }
    for (std::uint16_t i = 0; i < count; ++i) {
        in.Align4();
        DialogItem item;
        item.helpId = in.U32();
        item.exStyle = in.U32();
        item.style = in.U32();
        item.x = in.I16();
        item.y = in.I16();
        item.cx = in.I16();
        item.cy = in.I16();
        item.id = in.I32();
        item.windowClass = in.NameOrOrd();
        if (!item.windowClass.isOrdinal && item.windowClass.name.empty()) Fail("dialog item has no class");
        item.text = in.NameOrOrd();
        const std::uint16_t extra = in.U16();
        const auto creation = in.Take(extra);
        item.creationData.assign(creation.begin(), creation.end());
        d.items.push_back(std::move(item));
    }
    return d;
}

std::vector<IconGroupEntry> ParseIconGroup(std::span<const std::uint8_t> data) {
    Cursor in(data);
    const std::uint16_t reserved = in.U16();
    if (reserved != 0 || in.U16() != 1) Fail("not an icon group directory");
    std::vector<IconGroupEntry> out(in.U16());
    for (auto& e : out) {
        e.width = in.U8();
        e.height = in.U8();
        if (e.width == 0) e.width = 256;
        if (e.height == 0) e.height = 256;
        e.colorCount = in.U8();
        in.U8();
        e.planes = in.U16();
        e.bitCount = in.U16();
        e.bytesInRes = in.U32();
        e.iconId = in.U16();
    }
    return out;
}

IconBitmap DecodeIconImage(std::span<const std::uint8_t> data) {
    static constexpr std::array<std::uint8_t, 4> kPng = {0x89, 'P', 'N', 'G'};
    if (data.size() >= kPng.size() && std::equal(kPng.begin(), kPng.end(), data.begin()))
        Fail("PNG icon images are not supported");
    Cursor in(data);
    const std::uint32_t headerSize = in.U32();
    const std::int32_t width = in.I32();
    const std::int32_t doubleHeight = in.I32();
    in.U16();  // planes
    const std::uint16_t bpp = in.U16();
    const std::uint32_t compression = in.U32();
    in.Take(12);  // image size, resolution
    const std::uint32_t colorsUsed = in.U32();
    if (headerSize < 40) Fail("icon image lacks a BITMAPINFOHEADER");
    if (compression != 0) Fail("compressed icon images are not supported");
    if (width <= 0 || width > 256 || doubleHeight <= 0 || doubleHeight % 2 != 0 || doubleHeight > 512)
        Fail("icon image size out of range");
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 32) Fail("unsupported icon colour depth");

    in = Cursor(data, headerSize);
    std::vector<std::uint32_t> palette;
    if (bpp <= 8) {
        const std::uint32_t count = colorsUsed ? colorsUsed : 1u << bpp;
        if (count > 1u << bpp) Fail("icon palette too large");
        for (std::uint32_t i = 0; i < count; ++i) {
            auto q = in.Take(4);  // blue, green, red, reserved
            palette.push_back(static_cast<std::uint32_t>(q[2]) << 16 | q[1] << 8 | q[0]);
        }
    }
    IconBitmap bmp{width, doubleHeight / 2, bpp, {}};
    const auto w = static_cast<std::size_t>(bmp.width), h = static_cast<std::size_t>(bmp.height);
    const std::size_t colourRow = (w * bpp + 31) / 32 * 4;
    const std::size_t maskRow = (w + 31) / 32 * 4;
    const auto colour = in.Take(colourRow * h);
    const auto mask = in.Take(maskRow * h);
    bool anyAlpha = false;
    bmp.pixels.resize(w * h);
    for (std::size_t y = 0; y < h; ++y) {
        const std::size_t src = h - 1 - y;  // stored bottom-up
        auto row = colour.subspan(src * colourRow, colourRow);
        for (std::size_t x = 0; x < w; ++x) {
            std::uint32_t argb;
            if (bpp == 32) {
                auto p = row.subspan(x * 4, 4);
                argb = static_cast<std::uint32_t>(p[3]) << 24 | p[2] << 16 | p[1] << 8 | p[0];
                anyAlpha = anyAlpha || p[3] != 0;
            } else {
                const std::size_t bit = x * bpp;
                const unsigned index = row[bit / 8] >> (8 - bpp - bit % 8) & ((1u << bpp) - 1);
                if (index >= palette.size()) Fail("icon pixel outside its palette");
                argb = palette[index];
            }
            bmp.pixels[y * w + x] = argb;
        }
    }
    // The AND mask decides transparency unless the image carries real alpha.
    if (!anyAlpha) {
        for (std::size_t y = 0; y < h; ++y) {
            auto row = mask.subspan((h - 1 - y) * maskRow, maskRow);
            for (std::size_t x = 0; x < w; ++x) {
                const bool transparent = row[x / 8] & (0x80 >> x % 8);
                auto& p = bmp.pixels[y * w + x];
                p = (p & 0x00FFFFFF) | (transparent ? 0u : 0xFF000000u);
            }
        }
    }
    return bmp;
}

Version ParseVersion(std::span<const std::uint8_t> data) {
    const VersionNode root = ReadVersionNode(data, 0);
    if (root.key != u"VS_VERSION_INFO") Fail("version resource lacks VS_VERSION_INFO");
    Cursor fixed(root.value);
    if (root.value.size() < 52 || fixed.U32() != kFixedFileInfoSignature)
        Fail("version resource lacks VS_FIXEDFILEINFO");
    Version v;
    v.structVersion = fixed.U32();
    for (auto* version : {v.fileVersion, v.productVersion}) {
        const std::uint32_t ms = fixed.U32(), ls = fixed.U32();
        version[0] = static_cast<std::uint16_t>(ms >> 16);
        version[1] = static_cast<std::uint16_t>(ms);
        version[2] = static_cast<std::uint16_t>(ls >> 16);
        version[3] = static_cast<std::uint16_t>(ls);
    }
    v.fileFlagsMask = fixed.U32();
    v.fileFlags = fixed.U32();
    v.fileOS = fixed.U32();
    v.fileType = fixed.U32();
    v.fileSubtype = fixed.U32();
    for (const auto& block : root.children) {
        if (block.key == u"StringFileInfo") {
            if (block.children.size() != 1) Fail("expected exactly one version string table");
            const auto& table = block.children.front();
            v.stringTable = Utf16ToUtf8(table.key);
            for (const auto& s : table.children)
                v.strings.push_back({Utf16ToUtf8(s.key), TextValue(s.value)});
        } else if (block.key == u"VarFileInfo") {
            for (const auto& var : block.children) {
                if (var.key != u"Translation") continue;
                Cursor pairs(var.value);
                while (pairs.left() >= 4) v.translations.push_back(pairs.U32());
            }
        }
    }
    return v;
}

std::string ClassName(const NameOrOrdinal& windowClass) {
    static constexpr std::array<const char*, 6> kPredefined = {"Button",  "Edit",      "Static",
                                                               "ListBox", "ScrollBar", "ComboBox"};
    static constexpr std::array<const char*, 12> kKnown = {
        "Button",        "Edit",           "Static",          "ListBox",
        "ScrollBar",     "ComboBox",       "msctls_progress32", "msctls_trackbar32",
        "msctls_updown32", "SysListView32", "SysTreeView32",   "SysTabControl32"};
    if (windowClass.isOrdinal) {
        if (windowClass.ordinal >= 0x80 && windowClass.ordinal < 0x80 + kPredefined.size())
            return kPredefined[windowClass.ordinal - 0x80u];
        std::string name = "#";  // appended, not prepended: GCC 12 -Wrestrict misfires on the latter
        return name += std::to_string(windowClass.ordinal);
    }
    auto sameIgnoringCase = [&](std::string_view known) {
        return std::equal(known.begin(), known.end(), windowClass.name.begin(), windowClass.name.end(),
                          [](char a, char b) {
                              return std::tolower(static_cast<unsigned char>(a)) ==
                                     std::tolower(static_cast<unsigned char>(b));
                          });
    };
    for (const char* known : kKnown)
        if (sameIgnoringCase(known)) return known;
    return windowClass.name;
}

}  // namespace res::reader
