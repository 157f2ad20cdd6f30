#include "platform/privatefiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Platform::PrivateFiles {

namespace {
std::string failure(const char* what, const std::string& path) {
    return std::string(what) + " " + path + ": " + std::strerror(errno);
}

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}
}  // namespace

bool createFolders(const std::string& path, std::string& error) noexcept {
    try {
        struct stat st {};
        if (path.empty() || ::stat(path.c_str(), &st) == 0) {
            if (path.empty() || S_ISDIR(st.st_mode)) return true;
            errno = ENOTDIR;
            error = failure("cannot create folder", path);
            return false;
        }
        const std::string parent = folderOf(path);
        if (parent != path && !createFolders(parent, error)) return false;
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
            error = failure("cannot create folder", path);
            return false;
        }
        return true;
    } catch (...) {
        error = "out of memory";
        return false;
    }
}

int openPrivate(const std::string& path, int flags) noexcept {
    return ::open(path.c_str(), flags | O_CLOEXEC, 0600);
}

bool replaceDurably(const std::string& path, std::string_view bytes, std::string& error) noexcept {
    try {
        const std::string folder = folderOf(path);
        if (!createFolders(folder, error)) return false;
        // The pid keeps two processes of one user from writing the same temporary file.
        const std::string temporary = path + ".tmp" + std::to_string(::getpid());
        const int fd = openPrivate(temporary, O_WRONLY | O_CREAT | O_TRUNC);
        if (fd < 0) {
            error = failure("cannot write", temporary);
            return false;
        }
        std::size_t done = 0;
        bool ok = true;
        while (ok && done < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            ok = n > 0;
            if (ok) done += static_cast<std::size_t>(n);
        }
        if (!ok) error = failure("cannot write", temporary);
        if (ok && ::fsync(fd) != 0) {
            ok = false;
            error = failure("cannot commit", temporary);
        }
        if (::close(fd) != 0 && ok) {
            ok = false;
            error = failure("cannot write", temporary);
        }
        if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
            ok = false;
            error = failure("cannot replace", path);
        }
        if (!ok) {
            ::unlink(temporary.c_str());
            return false;
        }
        // The rename itself is durable once the folder is committed.
        const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0 || ::fsync(dir) != 0) {
            error = failure("cannot commit folder", folder);
            if (dir >= 0) ::close(dir);
            return false;
        }
        ::close(dir);
        return true;
    } catch (...) {
        error = "out of memory";
        return false;
    }
}

}  // namespace Platform::PrivateFiles
