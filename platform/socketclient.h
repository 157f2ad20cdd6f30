#pragma once
/// @file
/// Opens the client end of an app-service connection over a Unix socket.
#include <functional>
#include <memory>
#include <utility>

#include <TarvikFoundation/platform/appservicetransport.h>
#include <TarvikFoundation/platform/appservicetypes.h>
#include <TarvikFoundation/platform/hstring.h>

namespace Platform::SocketClient {

inline constexpr int kHandshakeTimeoutMs = 5000;

std::pair<AppServiceConnectionStatus, std::shared_ptr<AppServiceTransport>> open(
    const hstring& packageFamilyName, const hstring& serviceName,
    const hstring& callerPackageFamilyName);

/// Called when nobody listens on a service; returns true when it started a host that
/// will listen shortly (the platform's activation of a background task).
using Activator = std::function<bool(const hstring& packageFamilyName, const hstring& serviceName)>;
void setActivator(Activator activator);

}  // namespace Platform::SocketClient
