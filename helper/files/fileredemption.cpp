#include "helper/files/fileredemption.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "common/errorcodes.h"
#include "common/logger.h"
#include "helper/files/beneathopen.h"
#include "helper/jsonfile.h"

namespace TarvikHelper {

namespace fs = boost::filesystem;
namespace Errors = Tarvik::Errors;
using Platform::FileAccessMode;

namespace {

// Enough of a token to find it in the log, not enough to use it.
std::string shown(const std::string& token) {
    return token.substr(0, 8) + (token.size() > 8 ? "..." : "");
}

FileFailure refusal(int32_t code, const std::string& token, const std::string& why) {
    return {code, "file token " + shown(token) + " refused: " + why};
}

bool wellFormed(const std::string& token) {
    if (token.size() != 32) return false;
    for (const char c : token)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

// Whether another package's store holds the token.
bool issuedToAnotherPackage(const FileTokens& tokens, const std::string& token) {
    const fs::path own(tokens.file());
    boost::system::error_code ec;
    for (fs::directory_iterator it(own.parent_path(), ec), end; !ec && it != end;
         it.increment(ec)) {
        const fs::path other = it->path();
        if (other.extension() != ".json" || other.filename() == own.filename()) continue;
        if (readJsonObject(other.string()).contains(token)) return true;
    }
    return false;
}

}  // namespace

FileResult<std::unique_ptr<Platform::RedeemedFile>> redeemFileToken(const FileRoots& roots,
                                                                    const FileTokens& tokens,
                                                                    const std::string& token,
                                                                    FileAccessMode wanted) {
    if (!wellFormed(token))
        return refusal(Errors::kStorageFileHandle, token, "not a token this helper issues");
    const auto found = tokens.lookup(token);
    if (found.standing == FileTokens::Standing::Expired)
        return refusal(Errors::kStorageFileHandle, token, "it has expired");
    if (found.standing == FileTokens::Standing::Unknown)
        return refusal(Errors::kStorageFileHandle, token,
                       issuedToAnotherPackage(tokens, token)
                           ? "it was issued to another package"
                           : "no such token was issued to this package");

    const auto& [path, mode] = found.grant;
    const FileAccessMode granted =
        mode == "write" ? FileAccessMode::ReadWrite : FileAccessMode::Read;
    if (wanted != FileAccessMode::AsGranted && wanted != granted)
        return refusal(Errors::kStorageFileHandle, token,
                       "it grants " + mode + " access only, " +
                           (wanted == FileAccessMode::Read ? "reading" : "writing") + " was asked");

    const int flags = (granted == FileAccessMode::Read ? O_RDONLY : O_RDWR) | O_NOCTTY | O_NONBLOCK;
    const BeneathOpen opened = openBeneathServedRoot(roots, path, flags);
    if (opened.fd < 0) {
        switch (opened.error) {
            case EXDEV:
                return refusal(Errors::kPathNotAllowed, token,
                               path + " is no longer inside the served folders");
            case ELOOP:
                return refusal(Errors::kPathNotAllowed, token,
                               "a link on the way to " + path + " is not followed");
            case ENOENT:
            case ENOTDIR:
                return refusal(Errors::kPathNotFound, token, path + " is gone");
            default:
                return refusal(Errors::kInvalidFileHandle, token,
                               "cannot open " + path + ": " + std::strerror(opened.error));
        }
    }
    auto file = std::make_unique<Platform::RedeemedFile>(opened.fd, granted);
    struct stat st {};
    if (::fstat(opened.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return refusal(Errors::kStorageFileHandle, token, path + " is not a plain file");
    // Opened without blocking so that a pipe put in its place cannot stall the helper.
    ::fcntl(opened.fd, F_SETFL, ::fcntl(opened.fd, F_GETFL) & ~O_NONBLOCK);
    TLOG("DBG", "file token %s redeemed for %s (%s)", shown(token).c_str(), path.c_str(),
         mode.c_str());
    return file;
}

Platform::FileTokenWire::Answer answerRedemption(const FileRoots& roots, const FileTokens& tokens,
                                                 const Platform::FileTokenWire::Request& request) {
    auto result = redeemFileToken(roots, tokens, request.token, request.wanted);
    if (auto* failure = std::get_if<FileFailure>(&result)) {
        TLOG("WRN", "%s", failure->text.c_str());
        return {failure->code, FileAccessMode::AsGranted, -1};
    }
    auto& file = std::get<std::unique_ptr<Platform::RedeemedFile>>(result);
    const FileAccessMode access = file->Access();
    return {0, access, file->release()};
}

}  // namespace TarvikHelper
