// Writes brisant.ico (4-bit colour + 1-bit mask images) from the pixel map.
//   make_icon MAP ICO          write ICO
//   make_icon --check MAP ICO  fail unless ICO is what MAP produces
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "res/icon_art.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void Put16(Bytes& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void Put32(Bytes& out, std::uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

std::size_t RowBytes(int width, int bitsPerPixel) {
    return static_cast<std::size_t>((width * bitsPerPixel + 31) / 32 * 4);
}

// BITMAPINFOHEADER, palette, colour bits, then the AND mask, rows bottom-up.
Bytes EncodeImage(const res::icon_art::Image& image) {
    const int n = image.size;
    const std::size_t xorRow = RowBytes(n, 4);
    const std::size_t andRow = RowBytes(n, 1);
    Bytes out;
    Put32(out, 40);
    Put32(out, static_cast<std::uint32_t>(n));
    Put32(out, static_cast<std::uint32_t>(2 * n));  // colour rows + mask rows
    Put16(out, 1);
    Put16(out, 4);
    Put32(out, 0);  // BI_RGB
    Put32(out, static_cast<std::uint32_t>((xorRow + andRow) * static_cast<std::size_t>(n)));
    Put32(out, 0);
    Put32(out, 0);
    Put32(out, 16);
    Put32(out, 0);
    for (std::uint32_t rgb : res::icon_art::kPalette) {
        out.push_back(static_cast<std::uint8_t>(rgb));
        out.push_back(static_cast<std::uint8_t>(rgb >> 8));
        out.push_back(static_cast<std::uint8_t>(rgb >> 16));
        out.push_back(0);
    }
    for (int y = n - 1; y >= 0; --y) {
        Bytes row(xorRow, 0);
        for (int x = 0; x < n; ++x) {
            int index = image.index[static_cast<std::size_t>(y * n + x)];
            // Transparent pixels are black under a set mask bit, as Windows expects.
            auto nibble = static_cast<std::uint8_t>(index < 0 ? 0 : index);
            row[static_cast<std::size_t>(x / 2)] |= (x % 2 == 0) ? nibble << 4 : nibble;
        }
        out.insert(out.end(), row.begin(), row.end());
    }
    for (int y = n - 1; y >= 0; --y) {
        Bytes row(andRow, 0);
        for (int x = 0; x < n; ++x)
            if (image.index[static_cast<std::size_t>(y * n + x)] < 0)
                row[static_cast<std::size_t>(x / 8)] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
        out.insert(out.end(), row.begin(), row.end());
    }
    return out;
}

Bytes EncodeIco(const std::vector<res::icon_art::Image>& images) {
    std::vector<Bytes> bodies;
    for (const auto& image : images) bodies.push_back(EncodeImage(image));
    Bytes out;
    Put16(out, 0);
    Put16(out, 1);  // icon, not cursor
    Put16(out, static_cast<std::uint32_t>(images.size()));
    std::size_t offset = 6 + 16 * images.size();
    for (std::size_t i = 0; i < images.size(); ++i) {
        const int n = images[i].size;
        out.push_back(static_cast<std::uint8_t>(n == 256 ? 0 : n));
        out.push_back(static_cast<std::uint8_t>(n == 256 ? 0 : n));
        out.push_back(16);  // colours
        out.push_back(0);
        Put16(out, 1);  // planes
        Put16(out, 4);  // bits per pixel
        Put32(out, static_cast<std::uint32_t>(bodies[i].size()));
        Put32(out, static_cast<std::uint32_t>(offset));
        offset += bodies[i].size();
    }
    for (const auto& body : bodies) out.insert(out.end(), body.begin(), body.end());
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    const bool check = argc == 4 && std::string(argv[1]) == "--check";
    if (argc != 3 && !check) {
        std::cerr << "usage: make_icon [--check] MAP ICO\n";
        return 2;
    }
    const char* mapPath = argv[check ? 2 : 1];
    const char* icoPath = argv[check ? 3 : 2];
    try {
        std::ifstream map(mapPath);
        if (!map) throw std::runtime_error(std::string("cannot read ") + mapPath);
        const Bytes ico = EncodeIco(res::icon_art::Parse(map));
        if (check) {
            std::ifstream existing(icoPath, std::ios::binary);
            const Bytes current{std::istreambuf_iterator<char>(existing), {}};
            if (current != ico) {
                std::cerr << icoPath << " is out of date with " << mapPath
                          << "; rebuild the target brisant_icon\n";
                return 1;
            }
            return 0;
        }
        std::ofstream out(icoPath, std::ios::binary);
        out.write(reinterpret_cast<const char*>(ico.data()), static_cast<std::streamsize>(ico.size()));
        if (!out.flush()) throw std::runtime_error(std::string("cannot write ") + icoPath);
    } catch (const std::exception& e) {
        std::cerr << "make_icon: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
