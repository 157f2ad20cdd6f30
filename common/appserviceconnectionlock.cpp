#include "common/appserviceconnectionlock.h"

#include <fcntl.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <cstdint>
#include <mutex>

#include <TarvikFoundation/platform/hstring.h>

#include "common/logger.h"
#include "platform/privatefiles.h"

namespace Tarvik {

namespace {
// Set once by the app helper before the first signal; the mutex only keeps readers sane.
std::mutex g_mutex;
std::wstring g_path;
}  // namespace

void AppServiceConnectionLock::setAppServiceConnectionLock(const std::wstring& path) {
    TLOG("DBG", "setting file lock %S", path.c_str());
    const boost::filesystem::path p(path);
    std::string ignored;  // signal() reports a folder that could not be made
    if (p.has_parent_path())
        Platform::PrivateFiles::createFolders(p.parent_path().string(), ignored);
    std::lock_guard g(g_mutex);
    g_path = path;
}

std::wstring AppServiceConnectionLock::path() {
    std::lock_guard g(g_mutex);
    return g_path;
}

bool AppServiceConnectionLock::signal() noexcept {
    std::string file;
    try {
        const std::wstring wide = path();
        if (wide.empty()) {
            TLOG("CRT", "log file empty");
            return false;
        }
        file = Platform::wide_to_utf8(wide);
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) {
            TLOG("CRT", "creation of lock %S FAILED", wide.c_str());
            return false;
        }
        const uint32_t zero = 0;
        if (::write(fd, &zero, sizeof zero) != static_cast<ssize_t>(sizeof zero))
            TLOG("CRT", "fwrite FAIL");
        ::fsync(fd);
        ::close(fd);
        TLOG("DBG", "signalled...");
    } catch (...) {
        TLOG("CRT", "exception caught");
    }
    boost::system::error_code ec;
    return !file.empty() && boost::filesystem::exists(file, ec);
}

}  // namespace Tarvik
