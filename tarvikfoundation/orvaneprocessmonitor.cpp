#include <cmath>
#include <mutex>

#include <TarvikFoundation/orvaneprocessmonitor.h>
#include <TarvikFoundation/platform/immortal.h>
#include <TarvikFoundation/platform/jsonarray.h>

#include "common/commandcodes.h"
#include "common/commandkeys.h"
#include "common/logger.h"
#include "common/messageschema.h"

namespace CommandKeys = Tarvik::CommandKeys;
using Tarvik::keyOf;

namespace TarvikFoundation {

using Platform::hstring;
using Platform::ValueSet;

namespace {
// Guards the handler map and the creation of the instance.
std::mutex& monitorMutex() {
    static Platform::Immortal<std::mutex> m;
    return *m;
}

uint32_t truncatedId(double number) {
    const double whole = std::trunc(number);
    if (!std::isfinite(whole) || std::fabs(whole) >= 9.2e18) return 0;
    return static_cast<uint32_t>(static_cast<int64_t>(whole));
}
}  // namespace

OrvaneProcessMonitor::OrvaneProcessMonitor(Key)
    : connection_(Tarvik::TarvikAppServiceConnection::create("ProcMon")) {
    // The monitor lives as long as the process, so the raw capture stays valid.
    connection_->addCommand(Tarvik::Commands::kProcessExited, [this](const ValueSet& request) {
        return ProcessExitCallback(request);
    });
}

std::shared_ptr<OrvaneProcessMonitor> OrvaneProcessMonitor::GetInstance() {
    static Platform::Immortal<std::shared_ptr<OrvaneProcessMonitor>> instance;
    std::lock_guard g(monitorMutex());
    if (!*instance) *instance = std::make_shared<OrvaneProcessMonitor>(Key{});
    return *instance;
}

void OrvaneProcessMonitor::setAppServiceConnection(const Platform::AppServiceConnection& connection,
                                                   bool uwpExited) {
    connection_->setAppServiceConnection(connection, uwpExited);
}

Platform::IAsyncOperation<std::vector<ProcessInfo>> OrvaneProcessMonitor::GetProcessList() {
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kGetProcessList);
    auto self = shared_from_this();
    return Platform::IAsyncOperation<std::vector<ProcessInfo>>::from_task(
        connection_->sendCommandAsync(request).then([self](Platform::AppServiceResponse response) {
            TLOG("DBG", "received response for kGetProcessList");
            std::vector<ProcessInfo> processes;
            const ValueSet message = response ? response.Message() : ValueSet(nullptr);
            if (!message ||
                message.TryLookupAs<int32_t>(Tarvik::Keys::kResponse) == Tarvik::kResponseFailure) {
                TLOG("CRT", "FAIL response");
                return processes;
            }
            if (!message.HasKey(CommandKeys::kProcessList)) {
                TLOG("CRT", "kprocList !found");
                return processes;
            }
            const auto array =
                Platform::JsonArray::Parse(message.LookupAs<hstring>(CommandKeys::kProcessList));
            processes.reserve(array.Size());
            for (uint32_t i = 0; i < array.Size(); ++i) {
                const auto entry = array.GetObjectAt(i);
                ProcessInfo info;
                info.ProcessId(truncatedId(entry.GetNamedNumber(L"ProcID")));
                info.ProcessName(entry.GetNamedString(L"ProcName"));
                processes.push_back(std::move(info));
            }
            return processes;
        }));
}

void OrvaneProcessMonitor::MonitorProcessExit(uint32_t processId, ProcessExitHandler handler) {
    {
        std::lock_guard g(monitorMutex());
        handlers_[processId] = std::move(handler);
    }
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kWatchProcess);
    request.Insert(keyOf(CommandKeys::kProcessId), processId);
    connection_->sendCommandVoid(request);
}

ValueSet OrvaneProcessMonitor::ProcessExitCallback(const ValueSet& request) {
    const auto id = request.TryLookupAs<uint32_t>(CommandKeys::kProcessId);
    if (!id) return Tarvik::createResponse(false);
    TLOG("DBG", "PID %d exited!", *id);
    {
        std::lock_guard g(monitorMutex());
        const auto found = handlers_.find(*id);
        if (found != handlers_.end()) {
            // Called, then removed: a handler that raises stays for the next notice.
            if (found->second) found->second(*id);
            handlers_.erase(found);
        }
    }
    return Tarvik::createResponse(true);
}

}  // namespace TarvikFoundation
