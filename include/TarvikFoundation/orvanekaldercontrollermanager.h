#pragma once
#include <memory>
#include <vector>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/activation.h>
#include <TarvikFoundation/platform/async.h>
#include <TarvikFoundation/tarvikappserviceconnection.h>

namespace TarvikFoundation {

/// Questions about other applications on the bus: installed, available, launch, and
/// the list of known specifiers.
class TARVIK_API OrvaneKalderControllerManagerInterface {
  public:
    virtual ~OrvaneKalderControllerManagerInterface() = default;
    virtual Platform::IAsyncOperation<bool> IsAppInstalled(
        const Platform::hstring& targetSpecifier) = 0;
    virtual Platform::IAsyncOperation<bool> IsAppAvailable(
        const Platform::hstring& targetSpecifier) = 0;
    virtual Platform::IAsyncOperation<bool> LaunchApp(
        const Platform::hstring& targetSpecifier, bool focus,
        const Platform::hstring& commandLineArguments) = 0;
    virtual Platform::IAsyncOperation<std::vector<Platform::hstring>> GetSpecifiers() = 0;
};

/// The process's manager of the other applications on the bus; reached through
/// GetInstance or activation.
class TARVIK_API OrvaneKalderControllerManager
    : public OrvaneKalderControllerManagerInterface,
      public std::enable_shared_from_this<OrvaneKalderControllerManager>,
      private Platform::ModuleObject {
  public:
    static std::shared_ptr<OrvaneKalderControllerManager> GetInstance();

    Platform::IAsyncOperation<bool> IsAppInstalled(
        const Platform::hstring& targetSpecifier) override;
    Platform::IAsyncOperation<bool> IsAppAvailable(
        const Platform::hstring& targetSpecifier) override;
    Platform::IAsyncOperation<bool> LaunchApp(
        const Platform::hstring& targetSpecifier, bool focus,
        const Platform::hstring& commandLineArguments) override;
    Platform::IAsyncOperation<std::vector<Platform::hstring>> GetSpecifiers() override;

    void setAppServiceConnection(const Platform::AppServiceConnection& connection, bool uwpExited);
    const std::shared_ptr<Tarvik::TarvikAppServiceConnection>& connection() const {
        return connection_;
    }

    struct Key {
        explicit Key() = default;
    };
    explicit OrvaneKalderControllerManager(Key);

  private:
    Platform::IAsyncOperation<bool> askBoolean(Platform::ValueSet request, int32_t command,
                                               const wchar_t* key);
    std::shared_ptr<Tarvik::TarvikAppServiceConnection> connection_;
};

}  // namespace TarvikFoundation
