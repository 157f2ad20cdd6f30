#include "helper/files/fileoperations.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <vector>

#include "common/errorcodes.h"

namespace TarvikHelper {

namespace fs = boost::filesystem;
namespace Errors = Tarvik::Errors;

namespace {

FileFailure failure(int32_t code, const std::string& what, const std::string& path,
                    const std::string& reason) {
    return {code, what + " " + path + ": " + reason};
}

std::string systemReason(int error) {
    return std::strerror(error);
}

// Only absolute paths (a relative one would depend on the helper's working folder), and
// only inside what the helper serves.
std::optional<FileFailure> checkPath(const FileRoots& roots, const std::string& path,
                                     int32_t missingCode, const char* what) {
    if (path.empty()) return FileFailure{missingCode, std::string(what) + ": no path given"};
    if (path.front() != '/')
        return failure(Errors::kPathNotAllowed, what, path, "only absolute paths are allowed");
    if (path.find('\0') != std::string::npos)
        return failure(Errors::kPathNotAllowed, what, path, "the path holds a NUL character");
    if (auto refusal = roots.refusal(path))
        return failure(Errors::kPathNotAllowed, what, path, *refusal);
    return std::nullopt;
}

enum class Kind { Missing, Folder, Other, Error };

Kind kindOf(const std::string& path, int& error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? Kind::Folder : Kind::Other;
    error = errno;
    // A file where a parent folder should be also means nothing is at the path.
    return (error == ENOENT || error == ENOTDIR) ? Kind::Missing : Kind::Error;
}

// A failure unless a folder is at the path.
std::optional<FileFailure> requireFolder(const std::string& path, const char* what) {
    int error = 0;
    switch (kindOf(path, error)) {
        case Kind::Folder:
            return std::nullopt;
        case Kind::Missing:
            return failure(Errors::kPathNotFound, what, path, "no such folder");
        case Kind::Other:
            return failure(Errors::kNotADirectory, what, path, "not a folder");
        case Kind::Error:
            break;
    }
    return failure(Errors::kPathExistCheck, what, path, systemReason(error));
}

}  // namespace

FileResult<std::string> issueFileToken(const FileRoots& roots, FileTokens& tokens,
                                       const std::string& path, const std::string& mode,
                                       bool createDirectory) {
    if (auto bad = checkPath(roots, path, Errors::kFileNameExtraction, "file token")) return *bad;
    const fs::path file(path);
    if (path.back() == '/' || !file.has_filename() || file.filename() == "." ||
        file.filename() == "..")
        return failure(Errors::kFileNameExtraction, "file token", path, "the path names no file");
    if (mode != "read" && mode != "write")
        return failure(Errors::kInvalidFileHandle, "file token", path, "unknown mode " + mode);

    int error = 0;
    const Kind kind = kindOf(path, error);
    if (kind == Kind::Folder)
        return failure(Errors::kStorageFileHandle, "file token", path, "the path is a folder");
    if (kind == Kind::Error)
        return failure(Errors::kPathExistCheck, "file token", path, systemReason(error));
    if (mode == "read" && kind == Kind::Missing)
        return failure(Errors::kPathNotFound, "file token", path, "no such file");

    const std::string parent = file.parent_path().string();
    if (mode == "write" && kind == Kind::Missing) {
        const Kind parentKind = kindOf(parent, error);
        if (parentKind == Kind::Missing && !createDirectory)
            return failure(Errors::kPathNotFound, "file token", parent, "no such folder");
        if (parentKind == Kind::Missing || parentKind == Kind::Other) {
            boost::system::error_code ec;
            fs::create_directories(parent, ec);
            if (ec) return failure(Errors::kPathCreate, "file token", parent, ec.message());
        }
    }
    const int fd =
        ::open(path.c_str(), (mode == "read" ? O_RDONLY : O_WRONLY | O_CREAT) | O_CLOEXEC, 0644);
    if (fd < 0) return failure(Errors::kInvalidFileHandle, "file token", path, systemReason(errno));
    ::close(fd);
    std::string token = tokens.issue({path, mode});
    if (token.empty())
        return failure(Errors::kInvalidFileHandle, "file token", path, "the token cannot be kept");
    return token;
}

FileResult<bool> folderExists(const FileRoots& roots, const std::string& path) {
    if (auto bad = checkPath(roots, path, Errors::kFolderNameExtraction, "folder check"))
        return *bad;
    int error = 0;
    switch (kindOf(path, error)) {
        case Kind::Folder:
            return true;
        case Kind::Missing:
            return false;
        case Kind::Other:
            return failure(Errors::kNotADirectory, "folder check", path, "not a folder");
        case Kind::Error:
            break;
    }
    return failure(Errors::kPathExistCheck, "folder check", path, systemReason(error));
}

FileResult<bool> createFolder(const FileRoots& roots, const std::string& path) {
    if (auto bad = checkPath(roots, path, Errors::kFolderNameExtraction, "folder creation"))
        return *bad;
    // A file on the way is named as such rather than as a generic creation failure.
    for (fs::path p(path); !p.empty() && p != p.root_path(); p = p.parent_path()) {
        int error = 0;
        const Kind kind = kindOf(p.string(), error);
        if (kind == Kind::Folder) break;
        if (kind == Kind::Other)
            return failure(Errors::kNotADirectory, "folder creation", p.string(), "not a folder");
    }
    boost::system::error_code ec;
    fs::create_directories(path, ec);
    if (ec) return failure(Errors::kPathCreate, "folder creation", path, ec.message());
    return true;
}

FileResult<bool> deleteFolder(const FileRoots& roots, const std::string& path) {
    if (auto bad = checkPath(roots, path, Errors::kFolderNameExtraction, "folder deletion"))
        return *bad;
    if (roots.isRoot(path))
        return failure(Errors::kPathNotAllowed, "folder deletion", path,
                       "a served folder itself is never deleted");
    if (auto notFolder = requireFolder(path, "folder deletion")) return *notFolder;
    // The standard library's walk: Boost 1.74's traps when another process removes an
    // entry of the tree while it runs.
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    if (ec) return failure(Errors::kFolderDelete, "folder deletion", path, ec.message());
    return true;
}

FileResult<std::string> listFolder(const FileRoots& roots, const std::string& path,
                                   bool recursive) {
    if (auto bad = checkPath(roots, path, Errors::kFolderNameExtraction, "listing")) return *bad;
    if (auto notFolder = requireFolder(path, "listing")) return *notFolder;
    std::vector<std::pair<std::string, bool>> entries;
    boost::system::error_code ec;
    auto add = [&](const fs::path& p) -> std::optional<FileFailure> {
        if (entries.size() >= kMaxListingEntries)
            return failure(Errors::kListDirectory, "listing", path,
                           "more than " + std::to_string(kMaxListingEntries) + " entries");
        boost::system::error_code statError;
        entries.emplace_back(p.string(), fs::is_directory(p, statError));
        return std::nullopt;
    };
    if (recursive) {
        fs::recursive_directory_iterator it(path, fs::directory_options::none, ec), end;
        for (; !ec && it != end; it.increment(ec))
            if (auto full = add(it->path())) return *full;
    } else {
        fs::directory_iterator it(path, ec), end;
        for (; !ec && it != end; it.increment(ec))
            if (auto full = add(it->path())) return *full;
    }
    if (ec) return failure(Errors::kListDirectory, "listing", path, ec.message());
    std::sort(entries.begin(), entries.end());
    nlohmann::json listing = nlohmann::json::array();
    for (const auto& [entry, folder] : entries)
        listing.push_back({{"path", entry}, {"type", folder ? "folder" : "file"}});
    // Names that are not UTF-8 are written with replacement characters, not refused.
    return listing.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace TarvikHelper
