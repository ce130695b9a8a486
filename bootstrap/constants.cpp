#include "bootstrap/constants.h"

#include "build_settings.h"

namespace bootstrap {

const char16_t kManifestUrl[] =
    u"https://" INSTALLER_DOWNLOAD_HOST "/downloads/Lanternfold-8.appinstaller";

const std::uint32_t kStallTimeoutMs = INSTALLER_STALL_TIMEOUT_MS;

}  // namespace bootstrap
