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
///
/// No method raises an error code: a failed exchange, a "response" of 1 or a missing
/// result key gives 0 or the empty string.
class TARVIK_API OrvaneWin32ApiManager : public std::enable_shared_from_this<OrvaneWin32ApiManager>,
                                         private Platform::ModuleObject {
  public:
    /// The process-wide instance, created on first use; the one the app helper connects.
    static std::shared_ptr<OrvaneWin32ApiManager> GetInstance();

    /// Command 43: maps a key code. Sends "KeyCode" and "KeyMapType"; reads "KeyReturnCode".
    /// @param keyCode the key or scan code to map
    /// @param mapType what to map (the reference helper's US table, set-1 scan codes):
    ///        0 key to scan code, 1 scan code to key (sideless Shift/Ctrl/Alt), 2 key to
    ///        its unshifted character, 3 scan code to key with sides, 4 key to scan code
    ///        with 0xE0 in the high byte for extended keys
    /// @return the mapped code; 0 when there is no mapping or the exchange failed
    Platform::IAsyncOperation<uint32_t> MapVirtualKeyAsync(uint32_t keyCode, uint32_t mapType);
    /// Command 44: "EnvVariableName"; reads "EnvTableEntry".
    /// @return the package's value of the variable (the reference helper falls back to
    ///         its own environment), empty when there is none or the exchange failed
    Platform::IAsyncOperation<Platform::hstring> GetEnvironmentVariableAsync(
        const Platform::hstring& name);
    /// Command 45: "EnvVariableName", "EnvVariableValue" (empty removes the variable). The
    /// answer is not examined: the action completes even when the helper refused.
    Platform::IAsyncAction SetEnvironmentVariableAsync(const Platform::hstring& name,
                                                       const Platform::hstring& value);
    /// Command 46: "ThreadId"; reads "KeyBoardLayout".
    /// @return the thread's keyboard layout (the language identifier in both halves,
    ///         0x04090409 for US English); 0 when the exchange failed
    Platform::IAsyncOperation<uint64_t> GetKeyboardLayoutAsync(uint64_t threadId);

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
    explicit OrvaneWin32ApiManager(Key);

  private:
    std::shared_ptr<Tarvik::TarvikAppServiceConnection> connection_;
};

}  // namespace TarvikFoundation
