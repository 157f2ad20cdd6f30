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

using ProcessExitHandler = std::function<void(uint32_t processId)>;

/// The desktop's processes through the helper: the list of running processes, and a
/// handler called once when a watched process exits.
class TARVIK_API OrvaneProcessMonitorInterface {
  public:
    virtual ~OrvaneProcessMonitorInterface() = default;
    virtual Platform::IAsyncOperation<std::vector<ProcessInfo>> GetProcessList() = 0;
    virtual void MonitorProcessExit(uint32_t processId, ProcessExitHandler handler) = 0;
};

/// The process's process monitor; reached through GetInstance or activation.
class TARVIK_API OrvaneProcessMonitor : public OrvaneProcessMonitorInterface,
                                        public std::enable_shared_from_this<OrvaneProcessMonitor>,
                                        private Platform::ModuleObject {
  public:
    static std::shared_ptr<OrvaneProcessMonitor> GetInstance();

    Platform::IAsyncOperation<std::vector<ProcessInfo>> GetProcessList() override;
    /// The handler runs under the monitor's lock: it must not call back into the monitor.
    void MonitorProcessExit(uint32_t processId, ProcessExitHandler handler) override;

    void setAppServiceConnection(const Platform::AppServiceConnection& connection, bool uwpExited);
    const std::shared_ptr<Tarvik::TarvikAppServiceConnection>& connection() const {
        return connection_;
    }

    struct Key {
        explicit Key() = default;
    };
    explicit OrvaneProcessMonitor(Key);

  private:
    Platform::ValueSet ProcessExitCallback(const Platform::ValueSet& request);

    std::shared_ptr<Tarvik::TarvikAppServiceConnection> connection_;
    std::map<uint32_t, ProcessExitHandler> handlers_;  // guarded by the file's monitor mutex
};

}  // namespace TarvikFoundation
