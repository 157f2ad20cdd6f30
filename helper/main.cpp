// tarvik-helper: the reference full-trust helper. Connects to the application's app
// service and answers its commands.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <TarvikFoundation/platform/applicationdata.h>
#include <TarvikFoundation/platform/appserviceconnection.h>
#include <TarvikFoundation/tarvikappserviceconnection.h>

#include "common/commandcodes.h"
#include "common/filesizesignal.h"
#include "common/logger.h"
#include "common/messageschema.h"
#include "common/programoptions.h"
#include "helper/accounts/accountcli.h"
#include "helper/applicationwatch.h"
#include "helper/bus/messagebus.h"
#include "helper/files/fileredemption.h"
#include "helper/helpercommands.h"
#include "helper/helperoptions.h"
#include "helper/requestids.h"
#include "helper/responses.h"
#include "helper/servicecommands.h"
#include "platform/filetokenservice.h"

using namespace TarvikHelper;
using Platform::AppServiceConnection;

namespace {

// The bus member that leaves as the helper ends, once the services have one.
std::atomic<MessageBus*> g_busToLeave{nullptr};

[[noreturn]] void finish(int code) {
    // Other members would only drop the record once they find the process gone.
    if (MessageBus* bus = g_busToLeave.load()) bus->leave();
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
            auto response = refusedBecause("command not implemented by this helper");
            response.Insert(Tarvik::Keys::kErrorCode, static_cast<int32_t>(Platform::E_NOTIMPL_));
            args.Request().SendResponseAsync(response);
        });
}

std::unique_ptr<ApplicationWatch> g_application;

bool appGone() {
    return g_application && g_application->ended();
}

long lockStamp(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) return 0;
    return static_cast<long>(st.st_mtim.tv_sec * 1000000000L + st.st_mtim.tv_nsec);
}

std::vector<std::string> launchArguments(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty()) return args;
    // Started by the full-trust launcher: the command line is in the package's settings.
    try {
        const auto value = Platform::ApplicationData::Current()->Settings().Lookup(L"args");
        if (value && value->holds<Platform::hstring>())
            return splitCommandLine(Platform::unbox_value<Platform::hstring>(*value).to_utf8());
    } catch (const Platform::hresult_error&) {
    }
    return args;
}

// The application's program, so that LaunchApp can start it when it is not running.
std::string programOf(long pid) {
    char buffer[4096];
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

}  // namespace

int main(int argc, char** argv) {
    Tarvik::ignoreFileSizeSignal();
    if (argc > 1 && std::string(argv[1]) == "account") {
        // Run from a terminal, with no log file: only warnings and worse reach its
        // standard error, not the message bus's housekeeping.
        Tarvik::ConfigureLogger(3, "W32");
        return runAccountCommand(std::vector<std::string>(argv + 2, argv + argc));
    }
    std::string error;
    const auto options = parseHelperOptions(launchArguments(argc, argv), error);
    if (!options) {
        std::fprintf(stderr,
                     "tarvik-helper: %s\nTry 'tarvik-helper --help' for more information.\n",
                     error.c_str());
        return Tarvik::ProgramOptions::kUsageError;
    }
    if (options->help) {
        std::fputs(helperUsage().c_str(), stdout);
        return 0;
    }
    if (options->version) {
        std::printf("tarvik-helper %s\n", Tarvik::ProgramOptions::kVersion);
        return 0;
    }
    // Asked to end by a signal, it ends as when its application goes: off the bus, its
    // log on disk. The signals wait for a thread of their own, blocked everywhere else
    // (blocked before any other thread starts, which inherits the mask; started
    // programs get an empty one).
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGTERM);
    sigaddset(&endSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);
    std::thread([endSignals] {
        int signal = 0;
        if (sigwait(&endSignals, &signal) != 0) return;
        TLOG("INF", "signal %d, helper exiting", signal);
        finish(0);
    }).detach();
    std::string logFile = options->logFile;
    if (logFile.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        logFile = std::string(tmp ? tmp : "/tmp") + "/Win32Helper.log";
    }
    Tarvik::ConfigureLogger(options->logLevel, "W32");
    // Lines sent to the loopback port can be read by any local user; a confined
    // application does not get to send its helper's log there.
    const bool confined = std::getenv("TARVIK_CONFINED") != nullptr;
    if (confined && options->enableNetworkLogging)
        TLOG("WRN", "network logging refused: the application runs confined");
    Tarvik::SetNetworkLogging(options->enableNetworkLogging && !confined);
    Tarvik::SetLogFilePath(Platform::utf8_to_wide(logFile));
    TLOG("INF", "helper for %s/%s starting", options->packageFamilyName.c_str(),
         options->serviceName.c_str());
    // The helper ends with its application, whatever it is doing at the time.
    const long applicationPid = options->pid;
    if (applicationPid > 0)
        g_application = std::make_unique<ApplicationWatch>(
            static_cast<pid_t>(applicationPid), [applicationPid] {
                TLOG("INF", "application %ld is gone, helper exiting", applicationPid);
                finish(0);
            });

    // A send of the helper's own waits for a connection without failing the helper.
    Tarvik::TarvikAppServiceConnection::setTimeoutIsFatal(false);
    auto channel = Tarvik::TarvikAppServiceConnection::create("Helper");
    HelperCommands commands(channel);
    commands.registerAll();
    HelperServices services(options->packageFamilyName);
    services.applicationPid = static_cast<pid_t>(applicationPid);
    registerServiceCommands(commands, services);
    g_busToLeave = services.bus.get();
    // The application redeems its file tokens here, for descriptors, outside the channel.
    std::unique_ptr<Platform::FileTokenService> redemption;
    try {
        redemption = std::make_unique<Platform::FileTokenService>(
            Platform::to_hstring(options->packageFamilyName), static_cast<pid_t>(options->pid),
            [&services](const Platform::FileTokenWire::Request& request) {
                return answerRedemption(services.fileRoots, services.tokens, request);
            });
    } catch (const Platform::hresult_error& e) {
        TLOG("CRT", "file tokens cannot be redeemed: %s", e.what());
    }
    if (const char* manifest = std::getenv("TARVIK_PACKAGE_MANIFEST"))
        services.installed.record({options->packageFamilyName, manifest, programOf(options->pid)});

    for (;;) {
        AppServiceConnection connection;
        connection.AppServiceName(Platform::to_hstring(options->serviceName));
        connection.PackageFamilyName(Platform::to_hstring(options->packageFamilyName));
        // Subscribed before opening: the application may send its first request the
        // moment the connection stands, and nobody would be there to answer it.
        auto closed = std::make_shared<std::atomic<bool>>(false);
        connection.ServiceClosed(
            [closed](const AppServiceConnection&, const Platform::AppServiceClosedEventArgs& e) {
                TLOG("INF", "connection closed, status %d", static_cast<int>(e.Status()));
                closed->store(true);
            });
        answerUnknownCommands(connection, commands);
        channel->setAppServiceConnection(connection, false);
        const auto status = connection.OpenAsync().get();
        if (status == Platform::AppServiceConnectionStatus::Success) {
            TLOG("INF", "connected to %s", options->serviceName.c_str());
            channel->sendCommandVoid(
                TarvikHelper::helperRequest(Tarvik::Commands::kWin32Reconnected));
            while (!closed->load() &&
                   !commands.waitForExitRequest(std::chrono::milliseconds(100)) && !appGone()) {
            }
            if (commands.exitRequested() || appGone()) {
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
            channel->setAppServiceConnection(nullptr, false);
            TLOG("WRN", "cannot open %s, status %d", options->serviceName.c_str(),
                 static_cast<int>(status));
        }
        // Reconnect after the interval, or at once when the application signals the lock file.
        const long stamp = lockStamp(options->lockFile);
        const auto until = std::chrono::steady_clock::now() +
                           std::chrono::seconds(options->reconnectIntervalSeconds);
        while (std::chrono::steady_clock::now() < until && !appGone() &&
               (options->lockFile.empty() || lockStamp(options->lockFile) == stamp))
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}
