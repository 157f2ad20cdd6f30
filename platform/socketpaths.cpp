#include "platform/socketpaths.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include <TarvikFoundation/platform/hresult.h>

namespace Platform::SocketPaths {

namespace {
constexpr hresult kAccessDenied = static_cast<hresult>(0x80070005);

std::string homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home == '/') return home;
    std::vector<char> buffer(16384);
    passwd entry{}, *found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && *found->pw_dir == '/')
        return found->pw_dir;
    throw hresult_error(kAccessDenied,
                        L"no socket folder: XDG_RUNTIME_DIR is unset and the user has no home");
}

// Without XDG_RUNTIME_DIR the sockets live under the user's cache folder, which no other
// user can create things in; a name in /tmp could be taken first by anyone.
std::string baseFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) return std::string(runtime) + "/tarvik";
    const char* cache = std::getenv("XDG_CACHE_HOME");
    return (cache && *cache == '/' ? std::string(cache) : homeFolder() + "/.cache") + "/tarvik-run";
}

[[noreturn]] void refuse(const std::string& why, const std::string& path) {
    throw hresult_error(kAccessDenied, hstring::from_utf8("socket folder " + why + ": " + path));
}

// Creates one private folder level, or checks that an existing one is a folder (not a
// link to one) of the user's; one of the user's that is open to others is made private
// again. Checked and changed through one descriptor, so nothing can be swapped in
// between.
void ensurePrivateFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) refuse("cannot be created", path);
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) refuse("is not a directory", path);
    struct stat st {};
    const bool statted = ::fstat(fd, &st) == 0;
    const bool ours = statted && st.st_uid == ::getuid();
    const bool madePrivate = ours && ((st.st_mode & 077) == 0 || ::fchmod(fd, 0700) == 0);
    ::close(fd);
    if (!statted) refuse("cannot be examined", path);
    if (!ours) refuse("belongs to another user", path);
    if (!madePrivate) refuse("cannot be made private", path);
}

// The folders above the base one: created for the user when missing (0700), never
// changed when present, but refused when another user owns the nearest one.
void ensureParents(const std::string& base) {
    const std::string parent = base.substr(0, base.rfind('/'));
    if (parent.empty()) return;
    struct stat st {};
    if (::stat(parent.c_str(), &st) != 0) {
        ensureParents(parent);
        if (::mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST)
            refuse("cannot be created", parent);
        if (::stat(parent.c_str(), &st) != 0) refuse("cannot be examined", parent);
    }
    if (!S_ISDIR(st.st_mode)) refuse("is not a directory", parent);
}

std::string ensureBase() {
    const std::string base = baseFolder();
    ensureParents(base);
    ensurePrivateFolder(base);
    return base;
}
}  // namespace

void validateName(const hstring& name, const wchar_t* what) {
    const auto& s = name.wstr();
    // A leading '.' is kept for the user folders; no name may climb out of its folder.
    if (s.empty() || s[0] == L'.' || s.find(L'/') != std::wstring::npos ||
        s.find(L"..") != std::wstring::npos || s.find(L'\0') != std::wstring::npos)
        throw hresult_invalid_argument(
            hstring(std::wstring(L"invalid ") + what + L": '" + s + L"'"));
}

std::string ensurePackageFolder(const hstring& packageFamilyName) {
    validateName(packageFamilyName, L"package family name");
    const std::string base = ensureBase();
    const std::string folder = base + "/" + packageFamilyName.to_utf8();
    ensurePrivateFolder(folder);
    return folder;
}

std::string ensureUserFolder(const std::string& leaf) {
    if (leaf.size() < 2 || leaf[0] != '.' || leaf.find('/') != std::string::npos)
        throw hresult_invalid_argument(hstring::from_utf8("invalid user folder name: " + leaf));
    const std::string base = ensureBase();
    const std::string folder = base + "/" + leaf;
    ensurePrivateFolder(folder);
    return folder;
}

std::string servicePath(const hstring& packageFamilyName, const hstring& serviceName) {
    validateName(packageFamilyName, L"package family name");
    validateName(serviceName, L"app service name");
    std::string path =
        baseFolder() + "/" + packageFamilyName.to_utf8() + "/" + serviceName.to_utf8() + ".sock";
    if (path.size() >= sizeof(sockaddr_un{}.sun_path))
        throw hresult_invalid_argument(hstring::from_utf8("socket path too long: " + path));
    return path;
}

}  // namespace Platform::SocketPaths
