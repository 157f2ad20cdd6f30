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
    /// The process-wide instance, created on first use; the one the app helper connects.
    static std::shared_ptr<OrvaneTestManager> GetInstance();

    /// Command 38: "TestDelay"; the reference helper waits that many milliseconds.
    /// @return the answer's "TestReponse" ("Delayed N ms" from the reference helper);
    ///         empty when the exchange failed or the key is missing
    Platform::IAsyncOperation<Platform::hstring> TestDelayApi(uint64_t delay);
    /// Command 38 with "TestDelay" and "value" ("Delayed N ms value V" from the reference
    /// helper); otherwise as TestDelayApi.
    Platform::IAsyncOperation<Platform::hstring> TestDelayApiExt(uint64_t delay, uint64_t value);
    /// Command 39, sent without waiting: the helper exits.
    void TestAppExitApi();
    /// Command 40: "TestIterations", sent without waiting; the reference helper sends
    /// that many "TestKalder" messages back (command 37).
    void TestKalderApi(int32_t iterations);

    /// Hands this manager the connection to the helper (null to detach); `uwpExited`
    /// fails the requests that wait for one. Called by OrvaneAppHelper.
    void setAppServiceConnection(const Platform::AppServiceConnection& connection, bool uwpExited);
    /// This manager's channel to the helper; hasConnection() on it tells whether the
    /// manager can reach the helper now.
    const std::shared_ptr<Tarvik::TarvikAppServiceConnection>& connection() const {
        return connection_;
    }

    /// Restricts construction to GetInstance.
    struct Key {
        explicit Key() = default;
    };
    /// Use GetInstance; the key keeps other callers out.
    explicit OrvaneTestManager(Key);

  private:
    Platform::IAsyncOperation<Platform::hstring> sendDelay(Platform::ValueSet request,
                                                           bool logReceived);
    std::shared_ptr<Tarvik::TarvikAppServiceConnection> connection_;
};

}  // namespace TarvikFoundation::OrvaneInternal
