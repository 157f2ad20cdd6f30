#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <TarvikFoundation/platform/hresult.h>
#include <TarvikFoundation/platform/redeemedfile.h>

namespace Platform {

namespace {

[[noreturn]] void raise(const char* what, int error) {
    throw hresult_error(static_cast<hresult>(hresultFromErrno(error)),
                        hstring::from_utf8(std::string(what) + ": " + std::strerror(error)));
}

}  // namespace

int32_t hresultFromErrno(int error) noexcept {
    return static_cast<int32_t>(0x80070000u | (static_cast<uint32_t>(error) & 0xFFFFu));
}

RedeemedFile::~RedeemedFile() {
    if (fd_ >= 0) ::close(fd_);
}

std::size_t RedeemedFile::Read(std::span<std::byte> buffer) {
    for (;;) {
        const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) raise("cannot read the file", errno);
    }
}

void RedeemedFile::Write(std::span<const std::byte> data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd_, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) raise("cannot write the file", errno);
        data = data.subspan(static_cast<std::size_t>(n));
    }
}

void RedeemedFile::Seek(uint64_t offset) {
    if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) raise("cannot seek", errno);
}

uint64_t RedeemedFile::Position() const {
    const off_t at = ::lseek(fd_, 0, SEEK_CUR);
    if (at < 0) raise("cannot tell the position", errno);
    return static_cast<uint64_t>(at);
}

uint64_t RedeemedFile::Size() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) raise("cannot tell the size", errno);
    return static_cast<uint64_t>(st.st_size);
}

void RedeemedFile::SetSize(uint64_t size) {
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) raise("cannot set the size", errno);
}

int RedeemedFile::release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

}  // namespace Platform
