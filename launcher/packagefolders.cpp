#include "launcher/packagefolders.h"

#include <boost/filesystem.hpp>

#include <TarvikFoundation/platform/applicationdata.h>

#include "platform/socketpaths.h"

namespace TarvikRun {

PackageFolders preparePackageFolders(const std::string& familyName) {
    const auto family = Platform::hstring::from_utf8(familyName);
    PackageFolders f;
    // Creates TempState, LocalCache and LocalState as the application would.
    Platform::ApplicationData::ForPackage(family);
    f.data =
        boost::filesystem::canonical(Platform::ApplicationData::UserDataRoot() + "/" + familyName)
            .string();
    f.runtime = Platform::SocketPaths::ensurePackageFolder(family);
    f.launcherSocket = Platform::SocketPaths::ensureUserFolder(".launchers") + "/" + familyName;
    f.instanceLock = Platform::SocketPaths::ensureUserFolder(".instances") + "/" + familyName;
    return f;
}

}  // namespace TarvikRun
