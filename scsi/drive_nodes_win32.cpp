// What a mapped path names on Windows: only card images are mapped (in test
// builds); every other letter is the system's own volume.
#include "scsi/back_ends.h"

namespace platform {

bool KindOf(const std::string&, NodeKind* kind) {
    *kind = NodeKind::File;
    return true;
}

std::vector<std::string> DefaultDrivePaths() { return {}; }

bool NodeGone(const std::string&) { return false; }

std::string NodeInUse(const std::string&) { return std::string(); }

}  // namespace platform
