#include "helper/files/folderpermissions.h"

#include <sys/stat.h>

#include <boost/filesystem.hpp>

#include "common/logger.h"

namespace TarvikHelper {

namespace fs = boost::filesystem;

namespace {

constexpr mode_t kFolderBits = S_IRUSR | S_IWUSR | S_IXUSR;
constexpr mode_t kFileBits = S_IRUSR | S_IWUSR;

// Calls `visit(path, stat)` for the folder and everything below it; false when the
// walk fails, is cut short by `visit`, or passes the entry limit.
template <class Visit>
bool walk(const std::string& folder, Visit visit) {
    struct stat st {};
    if (folder.empty() || folder.front() != '/' || ::lstat(folder.c_str(), &st) != 0 ||
        !S_ISDIR(st.st_mode))
        return false;
    if (!visit(folder, st)) return false;
    boost::system::error_code ec;
    std::size_t seen = 0;
    for (fs::recursive_directory_iterator it(folder, fs::directory_options::none, ec), end;
         !ec && it != end; it.increment(ec)) {
        if (++seen > kMaxPermissionEntries) {
            TLOG("WRN", "%s has more than %zu entries", folder.c_str(), kMaxPermissionEntries);
            return false;
        }
        const std::string path = it->path().string();
        if (::lstat(path.c_str(), &st) != 0) return false;
        if (S_ISLNK(st.st_mode)) continue;
        if (!visit(path, st)) return false;
    }
    if (ec) TLOG("WRN", "cannot walk %s: %s", folder.c_str(), ec.message().c_str());
    return !ec;
}

mode_t wanted(const struct stat& st) {
    if (S_ISDIR(st.st_mode)) return kFolderBits;
    return S_ISREG(st.st_mode) ? kFileBits : 0;
}

}  // namespace

bool folderGrantsAccess(const std::string& folder) {
    return walk(folder, [](const std::string&, const struct stat& st) {
        return (st.st_mode & wanted(st)) == wanted(st);
    });
}

bool grantFolderAccess(const std::string& folder) {
    return walk(folder, [](const std::string& path, const struct stat& st) {
        const mode_t bits = wanted(st);
        if ((st.st_mode & bits) == bits) return true;
        // A folder gets its bits before the walk descends into it.
        if (::chmod(path.c_str(), (st.st_mode & 07777) | bits) == 0) return true;
        TLOG("WRN", "cannot grant access to %s, errno %d", path.c_str(), errno);
        return false;
    });
}

}  // namespace TarvikHelper
