#pragma once
#include <cstdint>
#include <memory>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/activation.h>
#include <TarvikFoundation/platform/async.h>
#include <TarvikFoundation/tarvikappserviceconnection.h>

namespace TarvikFoundation {

/// Desktop calls the sandbox does not allow: key-code mapping, environment variables
/// and the keyboard layout, each answered by the helper.
class TARVIK_API OrvaneWin32ApiManager : public std::enable_shared_from_this<OrvaneWin32ApiManager>,
                                         private Platform::ModuleObject {
  public:
    static std::shared_ptr<OrvaneWin32ApiManager> GetInstance();

    Platform::IAsyncOperation<uint32_t> MapVirtualKeyAsync(uint32_t keyCode, uint32_t mapType);
    Platform::IAsyncOperation<Platform::hstring> GetEnvironmentVariableAsync(
        const Platform::hstring& name);
    Platform::IAsyncAction SetEnvironmentVariableAsync(const Platform::hstring& name,
                                                       const Platform::hstring& value);
    Platform::IAsyncOperation<uint64_t> GetKeyboardLayoutAsync(uint64_t threadId);

    void setAppServiceConnection(const Platform::AppServiceConnection& connection, bool uwpExited);
    const std::shared_ptr<Tarvik::TarvikAppServiceConnection>& connection() const {
        return connection_;
    }

    struct Key {
        explicit Key() = default;
    };
    explicit OrvaneWin32ApiManager(Key);

  private:
    std::shared_ptr<Tarvik::TarvikAppServiceConnection> connection_;
};

}  // namespace TarvikFoundation
