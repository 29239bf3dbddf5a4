#include <cstdio>
#include <cstring>
#include <string>

#include "device/card_device.h"
#include "platform/drive_map.h"

int main(int argc, char** argv) {
    int i = 1;
    for (; i < argc; ++i) {
        if (std::strcmp(argv[i], "--drive") == 0 && i + 1 < argc) {
            std::string error;
            if (!platform::ParseDriveOption(argv[++i], &error)) {
                std::fprintf(stderr, "brisant-cli: %s\n", error.c_str());
                return 2;
            }
        } else {
            break;
        }
    }
    if (i >= argc || std::strcmp(argv[i], "list") != 0) {
        std::fprintf(stderr, "usage: brisant-cli [--drive X=PATH]... list\n");
        return 2;
    }
    CCardDevice device;
    BYTE letters[kDriveTableSize];
    BYTE count = device.EnumDrives(letters);
    for (BYTE n = 0; n < count; ++n) {
        std::printf("%c:\\  %s\n", letters[n], platform::DescribeDrive(static_cast<char>(letters[n])).c_str());
    }
    return 0;
}
