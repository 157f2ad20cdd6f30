// The reference helper's services behind a start-up of its own with one contract fault,
// named by the first argument, for the conformance checker's tests:
//   no-reconnect-notice  never sends command 41 after connecting
//   executes-retries     loses each request's id, so every retry runs again
//   mistyped-answer      answers command 38 with "TestReponse" as an Int32
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <TarvikFoundation/platform/appserviceconnection.h>
#include <TarvikFoundation/tarvikappserviceconnection.h>

#include "common/commandcodes.h"
#include "common/logger.h"
#include "common/messageschema.h"
#include "helper/helpercommands.h"
#include "helper/helperoptions.h"
#include "helper/requestids.h"
#include "helper/servicecommands.h"

using namespace TarvikHelper;
using Platform::AppServiceConnection;

namespace {

long lockStamp(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) return 0;
    return static_cast<long>(st.st_mtim.tv_sec * 1000000000L + st.st_mtim.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string fault = argc > 1 ? argv[1] : "";
    if (fault != "no-reconnect-notice" && fault != "executes-retries" &&
        fault != "mistyped-answer") {
        std::fprintf(stderr, "brokenhelper: the first argument names the fault\n");
        return 2;
    }
    std::string error;
    const auto options = parseHelperOptions(std::vector<std::string>(argv + 2, argv + argc), error);
    if (!options) {
        std::fprintf(stderr, "brokenhelper: %s\n", error.c_str());
        return 2;
    }
    Tarvik::ConfigureLogger(options->logLevel, "W32");
    Tarvik::SetLogFilePath(Platform::utf8_to_wide(options->logFile));
    Tarvik::TarvikAppServiceConnection::setTimeoutIsFatal(false);
    auto channel = Tarvik::TarvikAppServiceConnection::create("Helper");
    HelperCommands commands(channel);
    commands.registerAll();
    HelperServices services(options->packageFamilyName);
    registerServiceCommands(commands, services);
    if (fault == "mistyped-answer")
        commands.add(Tarvik::Commands::kTestDelayMessage, [](const Platform::ValueSet&) {
            auto response = Tarvik::createResponse(true);
            response.Insert(L"TestReponse", int32_t{0});
            return response;
        });
    for (;;) {
        AppServiceConnection connection;
        connection.AppServiceName(Platform::to_hstring(options->serviceName));
        connection.PackageFamilyName(Platform::to_hstring(options->packageFamilyName));
        auto closed = std::make_shared<std::atomic<bool>>(false);
        connection.ServiceClosed(
            [closed](const AppServiceConnection&, const Platform::AppServiceClosedEventArgs&) {
                closed->store(true);
            });
        // Handlers run in the order they were added: this one before the channel's.
        if (fault == "executes-retries")
            connection.RequestReceived([](const AppServiceConnection&,
                                          const Platform::AppServiceRequestReceivedEventArgs& a) {
                a.Request().Message().Remove(L"commandId");
            });
        // Commands nobody handles are refused, as the reference helper does.
        connection.RequestReceived(
            [&commands](const AppServiceConnection&,
                        const Platform::AppServiceRequestReceivedEventArgs& a) {
                const auto command = a.Request().Message().TryLookup(L"command");
                if (command && command->holds<int32_t>() &&
                    commands.handles(Platform::unbox_value<int32_t>(*command)))
                    return;
                a.Request().SendResponseAsync(Tarvik::createResponse(false));
            });
        channel->setAppServiceConnection(connection, false);
        if (connection.OpenAsync().get() == Platform::AppServiceConnectionStatus::Success) {
            if (fault != "no-reconnect-notice")
                channel->sendCommandVoid(helperRequest(Tarvik::Commands::kWin32Reconnected));
            while (!closed->load() &&
                   !commands.waitForExitRequest(std::chrono::milliseconds(100))) {
            }
            if (commands.exitRequested()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                connection.Close();
                std::fflush(nullptr);
                std::_Exit(0);
            }
        }
        channel->setAppServiceConnection(nullptr, false);
        const long stamp = lockStamp(options->lockFile);
        const auto until = std::chrono::steady_clock::now() +
                           std::chrono::seconds(options->reconnectIntervalSeconds);
        while (std::chrono::steady_clock::now() < until && lockStamp(options->lockFile) == stamp)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}
