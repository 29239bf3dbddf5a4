// Without Windows volumes, drive letters can be mapped to devices or card
// images first, as brisant-cli takes them; everything else goes to the toolkit.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/afx_wx.h"
#include "platform/drive_map.h"

int main(int argc, char** argv) {
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--drive") == 0) {
            std::string error = "--drive needs X=PATH";
            if (i + 1 >= argc || !platform::ParseDriveOption(argv[++i], &error)) {
                std::fprintf(stderr, "Brisant: %s\n", error.c_str());
                return 2;
            }
        } else {
            rest.push_back(argv[i]);
        }
    }
    rest.push_back(nullptr);
    return afx::wx::RunApplication(static_cast<int>(rest.size()) - 1, rest.data());
}
