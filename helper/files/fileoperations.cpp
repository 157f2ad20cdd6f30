#include "helper/files/fileoperations.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <vector>

#include "common/errorcodes.h"
#include "helper/files/beneathroot.h"

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

FileFailure throughLink(const char* what, const std::string& path) {
    return failure(Errors::kPathNotAllowed, what, path, "a link on the way is not followed");
}

enum class Kind { Missing, Folder, Other, Link, Error };

// The served root that holds `path` by its text, opened; every later step goes from it
// without following links.
struct Rooted {
    Descriptor root;
    std::string relative;
    std::string parent() const {
        const auto slash = relative.rfind('/');
        return slash == std::string::npos ? std::string() : relative.substr(0, slash);
    }
    std::string name() const { return relative.substr(relative.rfind('/') + 1); }
};

FileResult<Rooted> rooted(const FileRoots& roots, const std::string& path, const char* what) {
    const auto place = roots.locate(path);
    if (!place) return throughLink(what, path);
    Descriptor root(::open(place->root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!root) return failure(Errors::kPathExistCheck, what, place->root, systemReason(errno));
    return Rooted{std::move(root), place->relative};
}

// What is at the place, the last component not followed.
Kind kindOf(const Rooted& at, int& error) {
    if (at.relative.empty()) return Kind::Folder;
    const Descriptor parent = openBeneath(at.root.get(), at.parent(), O_PATH | O_DIRECTORY);
    struct stat st {};
    if (parent && ::fstatat(parent.get(), at.name().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode)) return Kind::Link;
        return S_ISDIR(st.st_mode) ? Kind::Folder : Kind::Other;
    }
    error = errno;
    if (error == ELOOP) return Kind::Link;
    // A file where a parent folder should be also means nothing is at the path.
    return (error == ENOENT || error == ENOTDIR) ? Kind::Missing : Kind::Error;
}

// A failure unless a folder is at the place.
std::optional<FileFailure> requireFolder(const Rooted& at, const std::string& path,
                                         const char* what) {
    int error = 0;
    switch (kindOf(at, error)) {
        case Kind::Folder:
            return std::nullopt;
        case Kind::Missing:
            return failure(Errors::kPathNotFound, what, path, "no such folder");
        case Kind::Other:
            return failure(Errors::kNotADirectory, what, path, "not a folder");
        case Kind::Link:
            return throughLink(what, path);
        case Kind::Error:
            break;
    }
    return failure(Errors::kPathExistCheck, what, path, systemReason(error));
}

// Opens (creating what is missing) each folder of `relative` below `root` in turn.
FileResult<Descriptor> makeFolders(int root, const std::string& relative, const std::string& path,
                                   const char* what) {
    Descriptor folder(::fcntl(root, F_DUPFD_CLOEXEC, 0));
    std::size_t at = 0;
    while (at < relative.size()) {
        const std::size_t slash = std::min(relative.find('/', at), relative.size());
        const std::string name = relative.substr(at, slash - at);
        at = slash + 1;
        if (name.empty()) continue;
        const auto open = [&] {
            return Descriptor(::openat(folder.get(), name.c_str(),
                                       O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        };
        Descriptor next = open();
        if (!next && errno == ENOENT) {
            if (::mkdirat(folder.get(), name.c_str(), 0777) != 0 && errno != EEXIST)
                return failure(Errors::kPathCreate, what, path, systemReason(errno));
            next = open();
        }
        if (!next) {
            const int error = errno;
            struct stat st {};
            if (::fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
                if (S_ISLNK(st.st_mode)) return throughLink(what, path);
                if (!S_ISDIR(st.st_mode))
                    return failure(Errors::kNotADirectory, what, path,
                                   relative.substr(0, slash) + " is not a folder");
            }
            return failure(Errors::kPathCreate, what, path, systemReason(error));
        }
        folder = std::move(next);
    }
    return folder;
}

using Directory = std::unique_ptr<DIR, int (*)(DIR*)>;

// The open folder's entries, without "." and "..".
std::optional<std::vector<std::string>> namesIn(int folder) {
    Directory listing(::fdopendir(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
                      ::closedir);
    if (!listing) return std::nullopt;
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    if (errno != 0) return std::nullopt;
    return names;
}

// Removes the folder `name` of `parent` with its contents; links are removed, never
// followed. errno tells why it failed.
bool removeTree(int parent, const std::string& name) {
    if (::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0) return true;
    if (errno != ENOTEMPTY && errno != EEXIST) return false;
    const Descriptor folder(
        ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder) return false;
    const auto names = namesIn(folder.get());
    if (!names) return false;
    for (const auto& entry : *names) {
        struct stat st {};
        if (::fstatat(folder.get(), entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) continue;  // gone meanwhile
            return false;
        }
        const bool removed = S_ISDIR(st.st_mode) ? removeTree(folder.get(), entry)
                                                 : ::unlinkat(folder.get(), entry.c_str(), 0) == 0;
        if (!removed && errno != ENOENT) return false;
    }
    return ::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0;
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

    auto at = rooted(roots, path, "file token");
    if (const auto* refused = std::get_if<FileFailure>(&at)) return *refused;
    const Rooted& place = std::get<Rooted>(at);
    int error = 0;
    const Kind kind = kindOf(place, error);
    if (kind == Kind::Link) return throughLink("file token", path);
    if (kind == Kind::Folder)
        return failure(Errors::kStorageFileHandle, "file token", path, "the path is a folder");
    if (kind == Kind::Error)
        return failure(Errors::kPathExistCheck, "file token", path, systemReason(error));
    if (mode == "read" && kind == Kind::Missing)
        return failure(Errors::kPathNotFound, "file token", path, "no such file");

    const std::string parent = file.parent_path().string();
    Descriptor folder = openBeneath(place.root.get(), place.parent(), O_PATH | O_DIRECTORY);
    if (!folder && errno == ELOOP) return throughLink("file token", path);
    if (!folder && mode == "write") {
        if (!createDirectory)
            return failure(Errors::kPathNotFound, "file token", parent, "no such folder");
        auto made = makeFolders(place.root.get(), place.parent(), parent, "file token");
        if (const auto* refused = std::get_if<FileFailure>(&made)) return *refused;
        folder = std::move(std::get<Descriptor>(made));
    }
    if (!folder) return failure(Errors::kPathNotFound, "file token", parent, systemReason(errno));
    const Descriptor opened(
        ::openat(folder.get(), place.name().c_str(),
                 (mode == "read" ? O_RDONLY : O_WRONLY | O_CREAT) | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!opened && errno == ELOOP) return throughLink("file token", path);
    if (!opened)
        return failure(Errors::kInvalidFileHandle, "file token", path, systemReason(errno));
    std::string token = tokens.issue({path, mode});
    if (token.empty()) {
        // A file made for a token that cannot be kept is not left behind.
        if (kind == Kind::Missing) ::unlink(path.c_str());
        return failure(Errors::kInvalidFileHandle, "file token", path, "the token cannot be kept");
    }
    return token;
}

FileResult<bool> folderExists(const FileRoots& roots, const std::string& path) {
    if (auto bad = checkPath(roots, path, Errors::kFolderNameExtraction, "folder check"))
        return *bad;
    const auto at = rooted(roots, path, "folder check");
    if (const auto* refused = std::get_if<FileFailure>(&at)) return *refused;
    int error = 0;
    switch (kindOf(std::get<Rooted>(at), error)) {
        case Kind::Folder:
            return true;
        case Kind::Missing:
            return false;
        case Kind::Other:
            return failure(Errors::kNotADirectory, "folder check", path, "not a folder");
        case Kind::Link:
            return throughLink("folder check", path);
        case Kind::Error:
            break;
    }
    return failure(Errors::kPathExistCheck, "folder check", path, systemReason(error));
}

FileResult<bool> createFolder(const FileRoots& roots, const std::string& path) {
    if (auto bad = checkPath(roots, path, Errors::kFolderNameExtraction, "folder creation"))
        return *bad;
    const auto at = rooted(roots, path, "folder creation");
    if (const auto* refused = std::get_if<FileFailure>(&at)) return *refused;
    const Rooted& place = std::get<Rooted>(at);
    const auto made = makeFolders(place.root.get(), place.relative, path, "folder creation");
    if (const auto* refused = std::get_if<FileFailure>(&made)) return *refused;
    return true;
}

FileResult<bool> deleteFolder(const FileRoots& roots, const std::string& path) {
    if (auto bad = checkPath(roots, path, Errors::kFolderNameExtraction, "folder deletion"))
        return *bad;
    if (roots.isRoot(path))
        return failure(Errors::kPathNotAllowed, "folder deletion", path,
                       "a served folder itself is never deleted");
    const auto at = rooted(roots, path, "folder deletion");
    if (const auto* refused = std::get_if<FileFailure>(&at)) return *refused;
    const Rooted& place = std::get<Rooted>(at);
    if (auto notFolder = requireFolder(place, path, "folder deletion")) return *notFolder;
    const Descriptor parent = openBeneath(place.root.get(), place.parent(), O_PATH | O_DIRECTORY);
    if (!parent || !removeTree(parent.get(), place.name()))
        return failure(Errors::kFolderDelete, "folder deletion", path, systemReason(errno));
    return true;
}

FileResult<std::string> listFolder(const FileRoots& roots, const std::string& path,
                                   bool recursive) {
    if (auto bad = checkPath(roots, path, Errors::kFolderNameExtraction, "listing")) return *bad;
    const auto at = rooted(roots, path, "listing");
    if (const auto* refused = std::get_if<FileFailure>(&at)) return *refused;
    const Rooted& place = std::get<Rooted>(at);
    if (auto notFolder = requireFolder(place, path, "listing")) return *notFolder;
    const Descriptor top = openBeneath(place.root.get(), place.relative, O_RDONLY | O_DIRECTORY);
    if (!top) return failure(Errors::kListDirectory, "listing", path, systemReason(errno));
    std::string base = path;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    std::vector<std::pair<std::string, bool>> entries;
    // Links are listed with the type of what they name, and never entered.
    std::function<std::optional<FileFailure>(int, const std::string&)> walk =
        [&](int folder, const std::string& prefix) -> std::optional<FileFailure> {
        const auto names = namesIn(folder);
        if (!names) return failure(Errors::kListDirectory, "listing", prefix, systemReason(errno));
        for (const auto& name : *names) {
            if (entries.size() >= kMaxListingEntries)
                return failure(Errors::kListDirectory, "listing", path,
                               "more than " + std::to_string(kMaxListingEntries) + " entries");
            const std::string entry = prefix + "/" + name;
            struct stat st {};
            const bool isFolder =
                ::fstatat(folder, name.c_str(), &st, 0) == 0 && S_ISDIR(st.st_mode);
            entries.emplace_back(entry, isFolder);
            if (!recursive || !isFolder ||
                (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                 S_ISLNK(st.st_mode)))
                continue;
            const Descriptor inner(
                ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!inner && errno == ELOOP) continue;
            if (!inner)
                return failure(Errors::kListDirectory, "listing", entry, systemReason(errno));
            if (auto failed = walk(inner.get(), entry)) return failed;
        }
        return std::nullopt;
    };
    if (auto failed = walk(top.get(), base)) return *failed;
    std::sort(entries.begin(), entries.end());
    nlohmann::json listing = nlohmann::json::array();
    for (const auto& [entry, folder] : entries)
        listing.push_back({{"path", entry}, {"type", folder ? "folder" : "file"}});
    // Names that are not UTF-8 are written with replacement characters, not refused.
    return listing.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace TarvikHelper
