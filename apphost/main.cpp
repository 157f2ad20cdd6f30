// tarvik-apphost: the package's background-task process. Listens on the app service,
// runs one relay task per incoming connection, and ends once it has been idle.
#include <csignal>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <TarvikFoundation/orvanetrvkappservicetask.h>
#include <TarvikFoundation/platform/backgroundtask.h>

#include "common/filesizesignal.h"
#include "common/logger.h"
#include "common/programoptions.h"
#include "platform/package.h"

int main(int argc, char** argv) {
    Tarvik::ignoreFileSizeSignal();
    namespace po = boost::program_options;
    const Tarvik::ProgramOptions::Program program{
        "tarvik-apphost", "--service NAME [--package FAMILY] [--idle-exit-ms N]"};
    std::string package, service;
    long idleExitMs = 30000;
    po::options_description options("Options");
    options.add_options()                                                               //
        ("service", po::value(&service), "app service name to listen on")               //
        ("package", po::value(&package), "package family name (default: the current)")  //
        ("idle-exit-ms", po::value(&idleExitMs)->default_value(idleExitMs),
         "exit after this long without a connection; 0 never");
    po::variables_map values;
    if (const auto done =
            Tarvik::ProgramOptions::readCommandLine(argc, argv, program, options, values))
        return *done;
    try {
        if (package.empty()) package = Platform::Package::Current()->FamilyName().to_utf8();
    } catch (const Platform::hresult_error& e) {
        std::fprintf(stderr, "tarvik-apphost: %s\n", e.message().to_utf8().c_str());
        return 2;
    }
    if (service.empty()) {
        std::fprintf(stderr, "usage: %s %s\n", program.name, program.synopsis);
        return Tarvik::ProgramOptions::kUsageError;
    }
    // Started by hand for a named package, it logs where that package's app host does.
    TarvikFoundation::OrvaneTRVKAppServiceTask::initLog(package);
    std::shared_ptr<Platform::AppServiceTaskHost> host;
    try {
        host = Platform::AppServiceTaskHost::start(
            Platform::to_hstring(package), Platform::to_hstring(service),
            [](const Platform::BackgroundActivatedEventArgs& args) {
                auto task = std::make_shared<TarvikFoundation::OrvaneTRVKAppServiceTask>();
                task->Run(args.TaskInstance);
            });
    } catch (const Platform::hresult_error& e) {
        // Another host already serves this package: nothing to do.
        std::fprintf(stderr, "tarvik-apphost: %s\n", e.message().to_utf8().c_str());
        return 3;
    }
    TLOG("INF", "apphost listening for %s/%s", package.c_str(), service.c_str());
    auto idleSince = std::chrono::steady_clock::now();
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        if (host->liveInstances() > 0) {
            idleSince = std::chrono::steady_clock::now();
        } else if (idleExitMs > 0 && std::chrono::steady_clock::now() - idleSince >
                                         std::chrono::milliseconds(idleExitMs)) {
            TLOG("INF", "apphost idle, exiting");
            host->stop();
            std::fflush(nullptr);
            std::_Exit(0);
        }
    }
}
