// Build-time tool: reads the compiled resource script (.res) and writes the C++
// tables behind res/resources.h.
//   res_to_cpp INPUT.res OUTPUT.cpp
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "res/res_reader.h"

namespace {

using namespace res::reader;

std::string Literal(const std::string& utf8) {
    std::string out = "\"";
    for (unsigned char c : utf8) {
        // Octal escapes have at most three digits, so nothing after them can extend them.
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\' && c != '?') {
            out.push_back(static_cast<char>(c));
        } else {
            char buf[5];
            std::snprintf(buf, sizeof buf, "\\%03o", c);
            out += buf;
        }
    }
    return out + "\"";
}

std::string Hex(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08Xu", v);
    return buf;
}

std::string Describe(const NameOrOrdinal& id) {
    return id.isOrdinal ? std::to_string(id.ordinal) : "\"" + id.name + "\"";
}

int OrdinalId(const Resource& r, const char* what) {
    if (!r.name.isOrdinal)
        throw FormatError(std::string(what) + " " + Describe(r.name) + " must have a numeric id");
    return r.name.ordinal;
}

bool IsType(const Resource& r, std::uint16_t type) { return r.type.isOrdinal && r.type.ordinal == type; }

std::string OptionalName(const std::optional<NameOrOrdinal>& id) {
    if (!id) return "nullptr";
    if (!id->isOrdinal) return Literal(id->name);
    std::string name = "#";  // appended, not prepended: GCC 12 -Wrestrict misfires on the latter
    return Literal(name += std::to_string(id->ordinal));
}

// One language per resource: the tables have no language fallback to choose with.
void RejectDuplicates(const std::vector<Resource>& all) {
    std::map<std::pair<int, int>, int> seen;
    for (const auto& r : all) {
        if (!r.type.isOrdinal || !r.name.isOrdinal) continue;
        if (++seen[{r.type.ordinal, r.name.ordinal}] == 2 && !IsType(r, kRtIcon))
            throw FormatError(std::string("resource type ") + std::to_string(r.type.ordinal) + " id " +
                              std::to_string(r.name.ordinal) + " exists in more than one language");
    }
}

void EmitDialogs(std::ostream& out, const std::vector<Resource>& all) {
    std::vector<std::string> names;
    for (const auto& r : all) {
        if (!IsType(r, kRtDialog)) continue;
        const int id = OrdinalId(r, "dialog");
        Dialog d;
        try {
            d = ParseDialog(r.data);
        } catch (const FormatError& e) {
            throw FormatError(std::string("dialog ") + std::to_string(id) + ": " + e.what());
        }
        const std::string name = std::string("kDialog") + std::to_string(names.size());
        if (!d.items.empty()) {
            out << "constexpr DialogItem " << name << "Items[] = {\n";
            for (const auto& it : d.items) {
                if (it.text.isOrdinal)
                    throw FormatError(std::string("dialog ") + std::to_string(id) +
                                      ": item text given by ordinal is not supported");
                out << "    {" << it.id << ", " << Literal(ClassName(it.windowClass)) << ", "
                    << Literal(it.text.name) << ", " << Hex(it.style) << ", " << Hex(it.exStyle) << ", " << it.x
                    << ", " << it.y << ", " << it.cx << ", " << it.cy << ", " << Hex(it.helpId) << ", "
                    << (it.windowClass.isOrdinal ? it.windowClass.ordinal : 0) << ", " << it.creationData.size()
                    << "},\n";
            }
            out << "};\n";
        }
        out << "constexpr DialogTemplate " << name << " = {" << r.language << ", " << Hex(d.style) << ", "
            << Hex(d.exStyle) << ", " << d.x << ", " << d.y << ", " << d.cx << ", " << d.cy << ", "
            << Literal(d.title) << ", " << d.pointSize << ", " << d.weight << ", " << int{d.italic} << ", "
            << int{d.charset} << ", " << Literal(d.typeface) << ", "
            << (d.items.empty() ? std::string("nullptr") : name + "Items") << ", " << d.items.size() << ", " << id
            << ", " << Hex(d.helpId) << ", " << OptionalName(d.menu) << ", " << OptionalName(d.windowClass)
            << "};\n\n";
        names.push_back(name);
    }
    out << "constexpr const DialogTemplate* kDialogs[] = {";
    for (const auto& n : names) out << "&" << n << ", ";
    out << "nullptr};\n\n";
}

const Resource& FindIconImage(const std::vector<Resource>& all, std::uint16_t iconId, std::uint16_t language) {
    const Resource* any = nullptr;
    for (const auto& r : all) {
        if (!IsType(r, kRtIcon) || !r.name.isOrdinal || r.name.ordinal != iconId) continue;
        if (r.language == language) return r;
        any = any ? any : &r;
    }
    if (!any) throw FormatError(std::string("icon image ") + std::to_string(iconId) + " is missing");
    return *any;
}

void EmitIcons(std::ostream& out, const std::vector<Resource>& all) {
    std::vector<std::string> names;
    for (const auto& r : all) {
        if (!IsType(r, kRtGroupIcon)) continue;
        const int id = OrdinalId(r, "icon group");
        const std::string name = std::string("kIcon") + std::to_string(names.size());
        const auto entries = ParseIconGroup(r.data);
        std::vector<IconBitmap> bitmaps;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const auto& e = entries[i];
            IconBitmap bmp = DecodeIconImage(FindIconImage(all, e.iconId, r.language).data);
            if (bmp.width != e.width || bmp.height != e.height || bmp.bitsPerPixel != e.bitCount)
                throw FormatError(std::string("icon ") + std::to_string(id) + ": directory entry " +
                                  std::to_string(i) + " does not match its image");
            out << "constexpr std::uint32_t " << name << "Pixels" << i << "[] = {";
            for (std::size_t p = 0; p < bmp.pixels.size(); ++p)
                out << (p % 8 == 0 ? "\n    " : " ") << Hex(bmp.pixels[p]) << ",";
            out << "\n};\n";
            bitmaps.push_back(std::move(bmp));
        }
        if (entries.empty()) throw FormatError(std::string("icon ") + std::to_string(id) + " holds no image");
        out << "constexpr IconImage " << name << "Images[] = {\n";
        for (std::size_t i = 0; i < entries.size(); ++i)
            out << "    {" << bitmaps[i].width << ", " << bitmaps[i].height << ", " << bitmaps[i].bitsPerPixel
                << ", " << name << "Pixels" << i << ", " << entries[i].colorCount << ", " << entries[i].planes
                << "},\n";
        out << "};\n";
        out << "constexpr IconGroup " << name << " = {" << r.language << ", " << name << "Images, "
            << entries.size() << ", " << id << "};\n\n";
        names.push_back(name);
    }
    out << "constexpr const IconGroup* kIcons[] = {";
    for (const auto& n : names) out << "&" << n << ", ";
    out << "nullptr};\n\n";
}

void EmitVersion(std::ostream& out, const std::vector<Resource>& all) {
    const Resource* found = nullptr;
    for (const auto& r : all)
        if (IsType(r, kRtVersion) && (!found || OrdinalId(r, "version") < OrdinalId(*found, "version")))
            found = &r;
    if (!found) {
        out << "constexpr const VersionInfo* kVersion = nullptr;\n\n";
        return;
    }
    const Version v = ParseVersion(found->data);
    if (!v.strings.empty()) {
        out << "constexpr VersionString kVersionStrings[] = {\n";
        for (const auto& s : v.strings) out << "    {" << Literal(s.key) << ", " << Literal(s.value) << "},\n";
        out << "};\n";
    }
    if (!v.translations.empty()) {
        out << "constexpr std::uint32_t kTranslations[] = {";
        for (auto t : v.translations) out << Hex(t) << ", ";
        out << "};\n";
    }
    auto quad = [](const std::uint16_t (&q)[4]) {
        return std::string("{") + std::to_string(q[0]) + ", " + std::to_string(q[1]) + ", " +
               std::to_string(q[2]) + ", " + std::to_string(q[3]) + "}";
    };
    out << "constexpr VersionInfo kVersionInfo = {" << found->language << ", " << quad(v.fileVersion) << ", "
        << quad(v.productVersion) << ", " << Hex(v.fileFlags) << ", " << Hex(v.fileOS) << ", " << Hex(v.fileType)
        << ", " << Literal(v.stringTable) << ", " << (v.strings.empty() ? "nullptr" : "kVersionStrings") << ", "
        << v.strings.size() << ", " << Hex(v.fileFlagsMask) << ", " << Hex(v.fileSubtype) << ", "
        << (v.translations.empty() ? "nullptr" : "kTranslations") << ", " << v.translations.size() << "};\n"
        << "constexpr const VersionInfo* kVersion = &kVersionInfo;\n\n";
}

std::string Generate(const std::vector<Resource>& all) {
    RejectDuplicates(all);
    std::ostringstream out;
    out << "// Generated at build time by res_to_cpp from the compiled brisant.rc; do not edit.\n"
           "#include \"res/resources.h\"\n\n"
           "namespace res {\n"
           "namespace {\n\n";
    EmitDialogs(out, all);
    EmitIcons(out, all);
    EmitVersion(out, all);
    out << "}  // namespace\n\n"
           "const DialogTemplate* FindDialog(int id) {\n"
           "    for (auto* const* d = kDialogs; *d; ++d)\n"
           "        if ((*d)->id == id) return *d;\n"
           "    return nullptr;\n"
           "}\n\n"
           "const IconGroup* FindIcon(int id) {\n"
           "    for (auto* const* g = kIcons; *g; ++g)\n"
           "        if ((*g)->id == id) return *g;\n"
           "    return nullptr;\n"
           "}\n\n"
           "const VersionInfo* FindVersion() { return kVersion; }\n\n"
           "}  // namespace res\n";
    return out.str();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: res_to_cpp INPUT.res OUTPUT.cpp\n";
        return 2;
    }
    try {
        std::ifstream in(argv[1], std::ios::binary);
        if (!in) throw std::runtime_error(std::string("cannot read ") + argv[1]);
        const std::vector<std::uint8_t> file{std::istreambuf_iterator<char>(in), {}};
        const std::string cpp = Generate(ReadResFile(file));
        std::ofstream out(argv[2], std::ios::binary);
        out << cpp;
        if (!out.flush()) throw std::runtime_error(std::string("cannot write ") + argv[2]);
    } catch (const std::exception& e) {
        std::remove(argv[2]);
        std::cerr << "res_to_cpp: " << argv[1] << ": " << e.what() << '\n';
        return 1;
    }
    return 0;
}
