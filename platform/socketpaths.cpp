#include "platform/socketpaths.h"

#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include <TarvikFoundation/platform/hresult.h>

namespace Platform::SocketPaths {

namespace {
constexpr hresult kAccessDenied = static_cast<hresult>(0x80070005);

std::string baseFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) return std::string(runtime) + "/tarvik";
    return "/tmp/tarvik-" + std::to_string(::getuid());
}

// Creates one private folder level, or checks that an existing one is private and ours.
void ensurePrivateFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        throw hresult_error(kAccessDenied,
                            hstring::from_utf8("cannot create socket folder " + path));
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw hresult_error(kAccessDenied,
                            hstring::from_utf8("socket folder is not a directory: " + path));
    if (st.st_uid != ::getuid())
        throw hresult_error(kAccessDenied,
                            hstring::from_utf8("socket folder belongs to another user: " + path));
    if ((st.st_mode & 077) != 0 && ::chmod(path.c_str(), 0700) != 0)
        throw hresult_error(kAccessDenied,
                            hstring::from_utf8("socket folder cannot be made private: " + path));
}
}  // namespace

void validateName(const hstring& name, const wchar_t* what) {
    const auto& s = name.wstr();
    // A leading '.' is kept for the user folders (and rules out "." and "..").
    if (s.empty() || s[0] == L'.' || s.find(L'/') != std::wstring::npos ||
        s.find(L'\0') != std::wstring::npos)
        throw hresult_invalid_argument(
            hstring(std::wstring(L"invalid ") + what + L": '" + s + L"'"));
}

std::string ensurePackageFolder(const hstring& packageFamilyName) {
    validateName(packageFamilyName, L"package family name");
    const std::string base = baseFolder();
    ensurePrivateFolder(base);
    const std::string folder = base + "/" + packageFamilyName.to_utf8();
    ensurePrivateFolder(folder);
    return folder;
}

std::string ensureUserFolder(const std::string& leaf) {
    if (leaf.size() < 2 || leaf[0] != '.' || leaf.find('/') != std::string::npos)
        throw hresult_invalid_argument(hstring::from_utf8("invalid user folder name: " + leaf));
    const std::string base = baseFolder();
    ensurePrivateFolder(base);
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
