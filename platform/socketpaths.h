#pragma once
/// @file
/// Where the sockets of a package's app services live:
/// `$XDG_RUNTIME_DIR/tarvik/<package family name>/<service>.sock`, or under
/// `$XDG_CACHE_HOME/tarvik-run/` (`~/.cache/tarvik-run/`) when XDG_RUNTIME_DIR is unset.
/// Folders are the user's own, 0700.
#include <string>

#include <TarvikFoundation/platform/hstring.h>

namespace Platform::SocketPaths {

/// Raises hresult_invalid_argument for names that are empty, start with '.', or
/// contain '/', ".." or NUL.
void validateName(const hstring& name, const wchar_t* what);
/// The package's socket folder, created 0700 when missing; an existing one of the
/// user's that is open to others is made private again. Raises hresult_error
/// (E_ACCESSDENIED), naming the folder, when it is a link, belongs to someone else or
/// cannot be made private.
std::string ensurePackageFolder(const hstring& packageFamilyName);
/// A private folder of the user's beside the package folders, for sockets that belong
/// to no one package. `leaf` starts with '.', which no package family name does here.
std::string ensureUserFolder(const std::string& leaf);
/// The path of the service's socket (folder not created). Raises for names that
/// make the path too long for a socket address.
std::string servicePath(const hstring& packageFamilyName, const hstring& serviceName);

}  // namespace Platform::SocketPaths
