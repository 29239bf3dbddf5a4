// Reads the icon pixel map (brisant_icon.txt). Shared by the .ico generator and
// the tests, which compare what comes out of the compiled resources with it.
#pragma once

#include <array>
#include <cstdint>
#include <istream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace res::icon_art {

// Standard 16-colour VGA palette, 0xRRGGBB, in Windows' index order.
inline constexpr std::array<std::uint32_t, 16> kPalette = {
    0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0,
    0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF,
};
// Letter for each palette index; '.' marks a transparent pixel.
inline constexpr std::string_view kLetters = "kmgontpsdRLYBFAW";
inline constexpr char kTransparent = '.';

struct Image {
    int size = 0;
    std::vector<int> index;  // size*size, top row first, -1 = transparent
};

inline std::vector<Image> Parse(std::istream& in) {
    std::vector<Image> images;
    std::string line;
    int lineNo = 0;
    int rowsLeft = 0;
    auto fail = [&](const std::string& why) {
        throw std::runtime_error(std::string("icon map line ") + std::to_string(lineNo) + ": " + why);
    };
    while (std::getline(in, line)) {
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') {
            if (rowsLeft > 0) fail("image rows must be contiguous");
            continue;
        }
        if (rowsLeft == 0) {
            std::istringstream words(line);
            std::string keyword;
            int size = 0;
            if (!(words >> keyword >> size) || keyword != "icon" || size < 1 || size > 256)
                fail("expected \"icon N\"");
            images.push_back(Image{size, {}});
            rowsLeft = size;
            continue;
        }
        Image& image = images.back();
        if (static_cast<int>(line.size()) != image.size)
            fail(std::string("row has ") + std::to_string(line.size()) + " pixels, expected " +
                 std::to_string(image.size));
        for (char c : line) {
            if (c == kTransparent) {
                image.index.push_back(-1);
                continue;
            }
            auto at = kLetters.find(c);
            if (at == std::string_view::npos) fail(std::string("unknown colour letter '") + c + "'");
            image.index.push_back(static_cast<int>(at));
        }
        --rowsLeft;
    }
    if (rowsLeft > 0) fail("image ends early");
    if (images.empty()) throw std::runtime_error("icon map holds no image");
    return images;
}

}  // namespace res::icon_art
