#include "platform/socketclient.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/framedio.h"
#include "platform/launcherclient.h"
#include "platform/launchers.h"
#include "platform/package.h"
#include "platform/platformlog.h"
#include "platform/socketpaths.h"
#include "platform/sockettransport.h"
#include "platform/wirecodec.h"

namespace Platform::SocketClient {

namespace {
std::mutex g_activatorMutex;
Activator g_activator;

// A connected descriptor, or -1 with errno of the connect.
int connectTo(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}
// As the platform activates a package's background task: start the host program the
// manifest declares for the service.
bool activateFromManifest(const hstring& packageFamilyName, const hstring& serviceName) {
    try {
        const auto package = Package::Current();
        if (package->FamilyName() != packageFamilyName) return false;
        // Confined, the host runs outside the sandbox: the launcher starts it.
        if (LauncherClient::socketPath())
            return LauncherClient::granted(
                LauncherClient::ask({{"type", "activate"}, {"service", serviceName.to_utf8()}}),
                "the activation");
        const auto service = package->FindAppService(serviceName);
        if (!service || service->hostProgram.empty()) return false;
        PLOG("INF", "activating %s for %S", service->hostProgram.c_str(), serviceName.c_str());
        if (spawnDetached(service->hostProgram, {"--package", packageFamilyName.to_utf8(),
                                                 "--service", serviceName.to_utf8()}))
            return true;
        PLOG("CRT", "cannot start %s, the host of %S: %s", service->hostProgram.c_str(),
             serviceName.c_str(), std::strerror(errno));
        return false;
    } catch (const hresult_error&) {
        return false;
    }
}
}  // namespace

void setActivator(Activator activator) {
    std::lock_guard g(g_activatorMutex);
    g_activator = std::move(activator);
}

std::pair<AppServiceConnectionStatus, std::shared_ptr<AppServiceTransport>> open(
    const hstring& packageFamilyName, const hstring& serviceName, const hstring& caller) {
    std::string path;
    try {
        path = SocketPaths::servicePath(packageFamilyName, serviceName);
    } catch (const hresult_error& e) {
        PLOG("WRN", "cannot open app service: %S", e.message().c_str());
        return {AppServiceConnectionStatus::AppServiceUnavailable, nullptr};
    }
    int fd = connectTo(path);
    if (fd < 0 && (errno == ENOENT || errno == ECONNREFUSED)) {
        Activator activator;
        {
            std::lock_guard g(g_activatorMutex);
            activator = g_activator;
        }
        if (!activator) activator = activateFromManifest;
        if (activator(packageFamilyName, serviceName)) {
            // The activated host needs a moment to listen; real time, it is a process start.
            for (int i = 0; i < 100 && fd < 0; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                fd = connectTo(path);
            }
        }
    }
    if (fd < 0) {
        PLOG("WRN", "nobody listens on %s: %s", path.c_str(), std::strerror(errno));
        return {AppServiceConnectionStatus::AppUnavailable, nullptr};
    }
    if (FramedIo::peerUid(fd) != static_cast<long>(::getuid())) {
        PLOG("CRT", "service %s runs as another user, refused", path.c_str());
        ::close(fd);
        return {AppServiceConnectionStatus::NotAuthorized, nullptr};
    }
    tarvik::wire::Frame hello;
    auto* open = hello.mutable_open();
    open->set_service_name(serviceName.to_utf8());
    open->set_caller_package_family_name(caller.to_utf8());
    open->set_protocol_version(Wire::kProtocolVersion);
    std::string error;
    std::optional<tarvik::wire::Frame> answer;
    if (FramedIo::writeFrame(fd, hello))
        answer = FramedIo::readFrame(fd, kHandshakeTimeoutMs, error);
    if (!answer || !answer->has_open_result()) {
        PLOG("WRN", "handshake with %s failed: %s", path.c_str(),
             error.empty() ? "unexpected frame" : error.c_str());
        ::close(fd);
        return {AppServiceConnectionStatus::Unknown, nullptr};
    }
    const auto status = static_cast<AppServiceConnectionStatus>(answer->open_result().status());
    if (status != AppServiceConnectionStatus::Success) {
        ::close(fd);
        return {status, nullptr};
    }
    auto transport = SocketTransport::adopt(fd, "client " + serviceName.to_utf8());
    if (!transport) return {AppServiceConnectionStatus::Unknown, nullptr};
    return {status, transport};
}

}  // namespace Platform::SocketClient
