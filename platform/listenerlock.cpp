#include "platform/listenerlock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <TarvikFoundation/platform/hresult.h>
#include <TarvikFoundation/platform/hstring.h>

namespace Platform {

ListenerLock::ListenerLock(const std::string& socketPath) {
    const std::string path = socketPath + ".lock";
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0)
        throw hresult_error(
            static_cast<hresult>(0x80004005),
            hstring::from_utf8("cannot open " + path + ": " + std::strerror(errno)));
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        const int saved = errno;
        ::close(fd_);
        fd_ = -1;
        if (saved == EWOULDBLOCK)
            throw hresult_error(static_cast<hresult>(0x80070020),
                                hstring::from_utf8("already listening: " + socketPath));
        throw hresult_error(
            static_cast<hresult>(0x80004005),
            hstring::from_utf8("cannot lock " + path + ": " + std::strerror(saved)));
    }
}

ListenerLock::~ListenerLock() {
    if (fd_ >= 0) ::close(fd_);  // releases the lock
}

}  // namespace Platform
