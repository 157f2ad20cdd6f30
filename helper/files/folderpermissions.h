#pragma once
// Whether a folder grants the package's programs their access, and granting it. The
// package's programs run as the user, so the access is the owner's mode bits: read,
// write and search on every folder, read and write on every file, through the whole
// tree (links are not followed). POSIX ACLs are not consulted.
#include <string>

namespace TarvikHelper {

// More entries than this count as not granted, and granting stops there.
inline constexpr std::size_t kMaxPermissionEntries = 200000;

// False for a missing or relative path and for anything not a folder.
bool folderGrantsAccess(const std::string& folder);
// Adds the missing owner bits; false when the folder is missing or some entry cannot
// be changed (it belongs to someone else).
bool grantFolderAccess(const std::string& folder);

}  // namespace TarvikHelper
