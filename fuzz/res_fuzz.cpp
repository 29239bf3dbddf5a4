// The resource reader on any bytes: a malformed file or resource is a
// FormatError, never a crash, a read outside the data or another exception.
//
// Input: a selector byte, then the bytes. Selector 0 reads them as a .res
// file and parses each resource in it by type; 1 to 4 hand them straight to
// the dialog, icon group, icon image or version parser.
#include <cstdint>
#include <span>

#include "res/res_reader.h"

namespace {

using namespace res::reader;

void ParseByType(const Resource& r) {
    if (!r.type.isOrdinal) return;
    switch (r.type.ordinal) {
        case kRtDialog: {
            Dialog d = ParseDialog(r.data);
            for (const DialogItem& item : d.items) (void)ClassName(item.windowClass);
            break;
        }
        case kRtGroupIcon: (void)ParseIconGroup(r.data); break;
        case kRtIcon: (void)DecodeIconImage(r.data); break;
        case kRtVersion: (void)ParseVersion(r.data); break;
        default: break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    std::span<const std::uint8_t> bytes(data + 1, size - 1);
    try {
        switch (data[0] % 5) {
            case 0:
                for (const Resource& r : ReadResFile(bytes)) {
                    try {
                        ParseByType(r);
                    } catch (const FormatError&) {
                    }
                }
                break;
            case 1: (void)ParseDialog(bytes); break;
            case 2: (void)ParseIconGroup(bytes); break;
            case 3: (void)DecodeIconImage(bytes); break;
            case 4: (void)ParseVersion(bytes); break;
        }
    } catch (const FormatError&) {
    }
    return 0;
}
