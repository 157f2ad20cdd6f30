#include <iterator>

#include <TarvikFoundation/platform/appservicetypes.h>

namespace Platform {

namespace {
template <class E, std::size_t N>
const wchar_t* nameOf(E e, const wchar_t* const (&names)[N]) {
    const auto i = static_cast<std::size_t>(e);
    return i < N ? names[i] : L"Unknown";
}
constexpr const wchar_t* kConnection[] = {L"Success",
                                          L"AppNotInstalled",
                                          L"AppUnavailable",
                                          L"AppServiceUnavailable",
                                          L"Unknown",
                                          L"RemoteSystemUnavailable",
                                          L"RemoteSystemNotSupportedByApp",
                                          L"NotAuthorized"};
constexpr const char* kConnectionNarrow[] = {"Success",
                                             "AppNotInstalled",
                                             "AppUnavailable",
                                             "AppServiceUnavailable",
                                             "Unknown",
                                             "RemoteSystemUnavailable",
                                             "RemoteSystemNotSupportedByApp",
                                             "NotAuthorized"};
constexpr const wchar_t* kResponse[] = {L"Success",
                                        L"Failure",
                                        L"ResourceLimitsExceeded",
                                        L"Unknown",
                                        L"RemoteSystemUnavailable",
                                        L"MessageSizeTooLarge"};
constexpr const wchar_t* kClosed[] = {L"Completed", L"Canceled", L"ResourceLimitsExceeded",
                                      L"Unknown"};
}  // namespace

const char* connection_status_name(AppServiceConnectionStatus s) noexcept {
    const auto i = static_cast<std::size_t>(s);
    return i < std::size(kConnectionNarrow) ? kConnectionNarrow[i] : "Unknown";
}
const wchar_t* connection_status_wname(AppServiceConnectionStatus s) noexcept {
    return nameOf(s, kConnection);
}
const wchar_t* response_status_wname(AppServiceResponseStatus s) noexcept {
    return nameOf(s, kResponse);
}
const wchar_t* closed_status_wname(AppServiceClosedStatus s) noexcept {
    return nameOf(s, kClosed);
}

}  // namespace Platform
