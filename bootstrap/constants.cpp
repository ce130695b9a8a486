#include "bootstrap/constants.h"

#include "download_host.h"

namespace bootstrap {

const char16_t kManifestUrl[] =
    u"https://" INSTALLER_DOWNLOAD_HOST "/downloads/Lanternfold-8.appinstaller";

}  // namespace bootstrap
