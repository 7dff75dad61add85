#include "ipc_mode.h"

#include <cstdlib>

namespace olk {

namespace {

constexpr int kDefaultMode = 0660;
constexpr long kModeBits = 0777;

}  // namespace

int ipc_mode() noexcept {
    const char *text = std::getenv("OLK_IPC_MODE");
    if (text == nullptr || *text == '\0') return kDefaultMode;
    // strtol would take a sign or leading blanks; a mode is digits only.
    for (const char *c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '7') return kDefaultMode;
    }
    char *end = nullptr;
    const long mode = std::strtol(text, &end, 8);
    if (*end != '\0' || mode < 0 || mode > kModeBits) return kDefaultMode;
    return static_cast<int>(mode);
}

}  // namespace olk
