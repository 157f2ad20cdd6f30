#pragma once
#include <cstdint>
#include <memory>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/activation.h>
#include <TarvikFoundation/platform/async.h>
#include <TarvikFoundation/tarvikappserviceconnection.h>

namespace TarvikFoundation::OrvaneInternal {

/// Test commands that exercise the whole path to the helper: a delay, an exit, and a
/// messaging test.
class TARVIK_API OrvaneTestManager : public std::enable_shared_from_this<OrvaneTestManager>,
                                     private Platform::ModuleObject {
  public:
    static std::shared_ptr<OrvaneTestManager> GetInstance();

    Platform::IAsyncOperation<Platform::hstring> TestDelayApi(uint64_t delay);
    Platform::IAsyncOperation<Platform::hstring> TestDelayApiExt(uint64_t delay, uint64_t value);
    void TestAppExitApi();
    void TestKalderApi(int32_t iterations);

    void setAppServiceConnection(const Platform::AppServiceConnection& connection, bool uwpExited);
    const std::shared_ptr<Tarvik::TarvikAppServiceConnection>& connection() const {
        return connection_;
    }

    struct Key {
        explicit Key() = default;
    };
    explicit OrvaneTestManager(Key);

  private:
    Platform::IAsyncOperation<Platform::hstring> sendDelay(Platform::ValueSet request,
                                                           bool logReceived);
    std::shared_ptr<Tarvik::TarvikAppServiceConnection> connection_;
};

}  // namespace TarvikFoundation::OrvaneInternal
