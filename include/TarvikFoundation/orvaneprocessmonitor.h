#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/activation.h>
#include <TarvikFoundation/platform/async.h>
#include <TarvikFoundation/processinfo.h>
#include <TarvikFoundation/tarvikappserviceconnection.h>

namespace TarvikFoundation {

/// Called once with the id of a watched process that has exited.
using ProcessExitHandler = std::function<void(uint32_t processId)>;

/// The desktop's processes through the helper: the list of running processes, and a
/// handler called once when a watched process exits.
class TARVIK_API OrvaneProcessMonitorInterface {
  public:
    virtual ~OrvaneProcessMonitorInterface() = default;
    /// Command 53, no arguments; reads "ProcessList", a JSON array of
    /// {"ProcID", "ProcName"}.
    /// @return the running processes in the helper's order; empty when the exchange
    ///         failed, "response" was 1 or the list is missing. A list that is not such an
    ///         array fails the operation with the parser's error.
    virtual Platform::IAsyncOperation<std::vector<ProcessInfo>> GetProcessList() = 0;
    /// Registers `handler` for the process and sends command 54 ("ProcessID") without
    /// waiting. The helper's command 55 calls the handler once and drops it; a second
    /// registration for the same id replaces the first. A failed send is not reported.
    virtual void MonitorProcessExit(uint32_t processId, ProcessExitHandler handler) = 0;
};

/// The process's process monitor; reached through GetInstance or activation.
class TARVIK_API OrvaneProcessMonitor : public OrvaneProcessMonitorInterface,
                                        public std::enable_shared_from_this<OrvaneProcessMonitor>,
                                        private Platform::ModuleObject {
  public:
    /// The process-wide instance, created on first use; the one the app helper connects.
    static std::shared_ptr<OrvaneProcessMonitor> GetInstance();

    Platform::IAsyncOperation<std::vector<ProcessInfo>> GetProcessList() override;
    /// The handler runs under the monitor's lock: it must not call back into the monitor.
    void MonitorProcessExit(uint32_t processId, ProcessExitHandler handler) override;

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
    explicit OrvaneProcessMonitor(Key);

  private:
    Platform::ValueSet ProcessExitCallback(const Platform::ValueSet& request);

    std::shared_ptr<Tarvik::TarvikAppServiceConnection> connection_;
    std::map<uint32_t, ProcessExitHandler> handlers_;  // guarded by the file's monitor mutex
};

}  // namespace TarvikFoundation
