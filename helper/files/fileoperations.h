#pragma once
// The file commands' work on the user's file system. Every failure carries the
// library's file error code and a text that names the path and the system's reason.
//
// Folder operations: 1 tells whether a folder exists, 2 creates a folder with every
// missing parent, 3 deletes a folder with its contents.
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "helper/files/fileroots.h"
#include "helper/files/filetokens.h"

namespace TarvikHelper {

struct FileFailure {
    int32_t code;
    std::string text;
};

template <class T>
using FileResult = std::variant<T, FileFailure>;

// More entries than this make a listing fail instead of growing without bound.
inline constexpr std::size_t kMaxListingEntries = 100000;

// A token for the file at `path` in "read" or "write" mode; for "write", a missing
// parent folder is created when `createDirectory` is set. The file is opened once to
// prove the mode works (a written file is created empty, never truncated).
FileResult<std::string> issueFileToken(const FileRoots& roots, FileTokens& tokens,
                                       const std::string& path, const std::string& mode,
                                       bool createDirectory);

// Every operation refuses a path outside `roots` with 0xE1010009.
// true when the folder exists, false when nothing is there.
FileResult<bool> folderExists(const FileRoots& roots, const std::string& path);
FileResult<bool> createFolder(const FileRoots& roots, const std::string& path);
// A served root itself is refused.
FileResult<bool> deleteFolder(const FileRoots& roots, const std::string& path);

// The JSON array [{"path", "type": "file" | "folder"}], sorted by path; the recursive
// listing does not follow links to folders.
FileResult<std::string> listFolder(const FileRoots& roots, const std::string& path, bool recursive);

}  // namespace TarvikHelper
