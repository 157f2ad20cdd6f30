#pragma once
/// @file
/// The little protocol between an application that redeems a file token and the process
/// that owns the tokens, over the Unix socket `<package socket folder>/filetokens.sock`.
///
/// Request: a 4-byte little-endian length N (1 to kMaxRequest), then N bytes: the wanted
/// access (one byte, a FileAccessMode) and the token's UTF-8 text.
/// Answer: 8 bytes, a little-endian 32-bit status (0 granted, else an HRESULT-form code)
/// and the granted access (32-bit); a granted answer carries the open descriptor as
/// SCM_RIGHTS ancillary data. One request per connection.
#include <cstdint>
#include <optional>
#include <string>

#include <TarvikFoundation/platform/hstring.h>
#include <TarvikFoundation/platform/redeemedfile.h>

namespace Platform::FileTokenWire {

inline constexpr std::size_t kMaxRequest = 4096;

struct Request {
    FileAccessMode wanted = FileAccessMode::AsGranted;
    std::string token;
};

struct Answer {
    int32_t status = 0;
    FileAccessMode access = FileAccessMode::AsGranted;
    int fd = -1;  // owned by whoever holds the answer
};

/// The socket's path for a package; creates the package's socket folder (0700).
std::string socketPath(const hstring& packageFamilyName);

/// Each returns false (errno set) when the socket fails or the peer breaks the protocol.
bool sendRequest(int socket, const Request& request);
std::optional<Request> receiveRequest(int socket);
bool sendAnswer(int socket, const Answer& answer);
std::optional<Answer> receiveAnswer(int socket);

}  // namespace Platform::FileTokenWire
