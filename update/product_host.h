#pragma once

#include <string>

// Defined in a source generated at build time from TAPWRIGHT_UPDATE_HOST.
extern const char16_t kProductHost[];

// Nothing follows the host, not even a slash.
inline std::u16string HomePageAddress() { return std::u16string(u"https://") + kProductHost; }
inline std::u16string UpdateEndpointAddress() {
    return std::u16string(u"https://") + kProductHost + u"/api.init.php";
}
