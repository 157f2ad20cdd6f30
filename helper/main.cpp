// tarvik-helper: the reference full-trust helper. Connects to the application's app
// service and answers its commands.
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "common/logger.h"
#include "common/messageschema.h"
#include "common/tarvikappserviceconnection.h"
#include "helper/helpercommands.h"
#include "helper/helperoptions.h"
#include "platform/appserviceconnection.h"

using namespace TarvikHelper;
using Platform::AppServiceConnection;

namespace {

[[noreturn]] void finish(int code) {
    std::fflush(nullptr);
    // Handlers may still be parked on pool threads; every log line is already on disk.
    std::_Exit(code);
}

// Answers the commands the helper does not implement, so the application never
// waits for an answer that does not come.
void answerUnknownCommands(const AppServiceConnection& connection, const HelperCommands& commands) {
    connection.RequestReceived(
        [&commands](const AppServiceConnection&,
                    const Platform::AppServiceRequestReceivedEventArgs& args) {
            const auto message = args.Request().Message();
            const auto command = message.TryLookup(Tarvik::Keys::kCommand);
            if (command && command->holds<int32_t>() &&
                commands.handles(Platform::unbox_value<int32_t>(*command)))
                return;
            TLOG("WRN", "command not implemented by this helper");
            auto response = Tarvik::createResponse(false);
            response.Insert(Tarvik::Keys::kErrorCode, static_cast<int32_t>(Platform::E_NOTIMPL_));
            args.Request().SendResponseAsync(response);
        });
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    const auto options = parseHelperOptions(std::vector<std::string>(argv + 1, argv + argc), error);
    if (!options) {
        std::fprintf(stderr, "tarvik-helper: %s\n", error.c_str());
        return 2;
    }
    std::string logFile = options->logFile;
    if (logFile.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        logFile = std::string(tmp ? tmp : "/tmp") + "/Win32Helper.log";
    }
    Tarvik::ConfigureLogger(options->logLevel, "W32");
    Tarvik::SetLogFilePath(Platform::utf8_to_wide(logFile));
    TLOG("INF", "helper for %s/%s starting", options->packageFamilyName.c_str(),
         options->serviceName.c_str());

    // A send of the helper's own waits for a connection without failing the helper.
    Tarvik::TarvikAppServiceConnection::setTimeoutIsFatal(false);
    auto channel = Tarvik::TarvikAppServiceConnection::create("Helper");
    HelperCommands commands(channel);
    commands.registerAll();

    for (;;) {
        AppServiceConnection connection;
        connection.AppServiceName(Platform::to_hstring(options->serviceName));
        connection.PackageFamilyName(Platform::to_hstring(options->packageFamilyName));
        const auto status = connection.OpenAsync().get();
        if (status == Platform::AppServiceConnectionStatus::Success) {
            TLOG("INF", "connected to %s", options->serviceName.c_str());
            auto closed = std::make_shared<std::promise<void>>();
            auto closedFuture = closed->get_future();
            connection.ServiceClosed([closed](const AppServiceConnection&,
                                              const Platform::AppServiceClosedEventArgs& e) {
                TLOG("INF", "connection closed, status %d", static_cast<int>(e.Status()));
                try {
                    closed->set_value();
                } catch (...) {
                }
            });
            answerUnknownCommands(connection, commands);
            channel->setAppServiceConnection(connection, false);
            while (closedFuture.wait_for(std::chrono::milliseconds(0)) !=
                       std::future_status::ready &&
                   !commands.waitForExitRequest(std::chrono::milliseconds(100))) {
            }
            if (commands.exitRequested()) {
                // Let the exit command's answer go out before the connection closes.
                for (int i = 0; i < 100 && channel->inFlight() > 0; ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                connection.Close();
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                TLOG("INF", "helper exiting");
                finish(0);
            }
            channel->setAppServiceConnection(nullptr, false);
        } else {
            TLOG("WRN", "cannot open %s, status %d", options->serviceName.c_str(),
                 static_cast<int>(status));
        }
        if (options->reconnectInterval.count() == 0)
            finish(status == Platform::AppServiceConnectionStatus::Success ? 0 : 3);
        std::this_thread::sleep_for(options->reconnectInterval);
    }
}
