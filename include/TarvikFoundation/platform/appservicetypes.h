#pragma once
#include <cstdint>
#include <memory>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/valueset.h>

namespace Platform {

/// Value types of app-service connections: statuses and responses.
enum class AppServiceConnectionStatus : int32_t {
    Success = 0,
    AppNotInstalled = 1,
    AppUnavailable = 2,
    AppServiceUnavailable = 3,
    Unknown = 4,
    RemoteSystemUnavailable = 5,
    RemoteSystemNotSupportedByApp = 6,
    NotAuthorized = 7,
};

/// How a sent message ended: answered, refused, too large, or the connection lost.
enum class AppServiceResponseStatus : int32_t {
    Success = 0,
    Failure = 1,
    ResourceLimitsExceeded = 2,
    Unknown = 3,
    RemoteSystemUnavailable = 4,
    MessageSizeTooLarge = 5,
};

/// Why the other side's end of a connection went away.
enum class AppServiceClosedStatus : int32_t {
    Completed = 0,
    Canceled = 1,
    ResourceLimitsExceeded = 2,
    Unknown = 3,
};

/// The outcome of one SendMessageAsync: a status and the peer's message (null when
/// the exchange produced none). A reference type; null responses exist.
class TARVIK_API AppServiceResponse {
  public:
    AppServiceResponse() = default;
    /// A null response.
    AppServiceResponse(std::nullptr_t) {}
    /// A response of that status and message.
    AppServiceResponse(AppServiceResponseStatus status, ValueSet message)
        : impl_(std::make_shared<Impl>(Impl{status, std::move(message)})) {}
    /// Whether this is a response, not null.
    explicit operator bool() const noexcept { return impl_ != nullptr; }
    /// How the exchange ended; raises on a null response.
    AppServiceResponseStatus Status() const { return impl().status; }
    /// The peer's message, null when there was none; raises on a null response.
    ValueSet Message() const { return impl().message; }
    /// An address that identifies the response (for logs).
    const void* identity() const noexcept { return impl_.get(); }

  private:
    struct Impl {
        AppServiceResponseStatus status;
        ValueSet message;
    };
    const Impl& impl() const {
        if (!impl_)
            throw hresult_error(static_cast<hresult>(0x80004003), L"null AppServiceResponse");
        return *impl_;
    }
    std::shared_ptr<Impl> impl_;
};

/// Arguments of ServiceClosed.
struct TARVIK_API AppServiceClosedEventArgs {
    /// Why the connection ended.
    AppServiceClosedStatus status;
    /// Why the connection ended.
    AppServiceClosedStatus Status() const { return status; }
};

}  // namespace Platform

namespace Platform {
/// The status's name, for logs.
TARVIK_API const char* connection_status_name(AppServiceConnectionStatus s) noexcept;
/// The status's name as a wide string, for logs.
TARVIK_API const wchar_t* connection_status_wname(AppServiceConnectionStatus s) noexcept;
/// The status's name as a wide string, for logs.
TARVIK_API const wchar_t* response_status_wname(AppServiceResponseStatus s) noexcept;
/// The status's name as a wide string, for logs.
TARVIK_API const wchar_t* closed_status_wname(AppServiceClosedStatus s) noexcept;
}  // namespace Platform
