// tarvik-call: one request to a package's helper from the command line, sent the way
// the package's application sends it, with the answer printed as typed JSON.
#include <signal.h>

#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>

#include <TarvikFoundation/platform/applicationdata.h>
#include <TarvikFoundation/platform/hresult.h>

#include "common/commandtable.h"
#include "common/filesizesignal.h"
#include "common/logger.h"
#include "common/messageschema.h"
#include "common/programoptions.h"
#include "platform/launchers.h"
#include "platform/package.h"
#include "tools/call/applicationsession.h"
#include "tools/call/commandlisting.h"
#include "tools/call/packageguard.h"
#include "tools/call/requestarguments.h"
#include "tools/call/valuesetjson.h"

namespace po = Tarvik::ProgramOptions::po;
using namespace TarvikCall;

namespace {

constexpr int kAnswered = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

// Set by SIGINT and SIGTERM; the watch polls it.
volatile std::sig_atomic_t g_interrupted = 0;

void onSignal(int) {
    g_interrupted = 1;
}

// Shown by --help above the options.
constexpr const char* kSynopsis =
    "[options] MANIFEST SERVICE COMMAND [key=type:value ...]\n"
    "       tarvik-call --watch [options] MANIFEST SERVICE [COMMAND [key=type:value ...]]\n"
    "       tarvik-call --list\n"
    "Sends one request to the helper of the package that MANIFEST describes, over its\n"
    "app service SERVICE, as the package's application would, and prints the answer as\n"
    "JSON that keeps each value's type. COMMAND is a name of the table (any case) or a\n"
    "number; type is Int32, UInt32, Int64, UInt64, Boolean or String.\n"
    "Exit status: 0 when the answer's \"response\" is 0, 1 when it is not or no answer\n"
    "came, 2 for a usage error or while the package's application is connected.\n";

// The reason, where the launch left one, is in the log this process writes: the last
// critical line about the launch is shown with the log's place. Other critical lines
// (the app service's own trace) say nothing of the helper.
void reportHelperGone() {
    const std::filesystem::path log(Tarvik::GetLogFilePath());
    std::string last;
    std::ifstream in(log, std::ios::binary);
    if (in) {
        constexpr std::streamoff kTail = 64 * 1024;
        in.seekg(0, std::ios::end);
        const std::streamoff size = in.tellg();
        in.seekg(size > kTail ? size - kTail : 0);
        for (std::string line; std::getline(in, line);)
            if (line.find(" CRT ") != std::string::npos &&
                (line.find("aunch") != std::string::npos ||
                 line.find("Error : ") != std::string::npos))
                last = line;
    }
    std::cerr << "tarvik-call: the helper is not running: it did not start, or it ended\n";
    if (!last.empty()) std::cerr << "tarvik-call: the launch's error: " << last << '\n';
    std::cerr << "tarvik-call: the log: " << log.string() << '\n';
}

int usageError(const std::string& text) {
    std::cerr << "tarvik-call: " << text << "\nTry 'tarvik-call --help' for more information.\n";
    return kUsage;
}

// Where the application's log lines go: the package's own log, as the library writes it.
void openPackageLog(const Platform::hstring& family, uint32_t level) {
    Tarvik::ConfigureLogger(level, "UWP");
    try {
        const auto data = Platform::ApplicationData::ForPackage(family);
        Tarvik::SetLogFilePath(Platform::utf8_to_wide(data->TemporaryFolder() + "/TRVK.log"));
    } catch (const Platform::hresult_error&) {
        // No data folder to log in: the refusals still go to standard error.
    }
}

// Command-line lines go out whole, one JSON object per line, in the order they are made.
class Output {
  public:
    void print(const nlohmann::json& value, bool pretty) {
        std::lock_guard g(mutex_);
        std::cout << value.dump(pretty ? 2 : -1) << std::endl;
    }

  private:
    std::mutex mutex_;
};

}  // namespace

int main(int argc, char** argv) {
    Tarvik::ignoreFileSizeSignal();
    po::options_description options("Options");
    // clang-format off
    options.add_options()
        ("list", "print the command table")
        ("watch", "print every request the helper sends to the application (exit notices, "
                  "bus messages, socket-server requests) as it arrives, one JSON line each, "
                  "until interrupted, --until or --timeout")
        ("until", po::value<std::string>(), "with --watch: end after a request of this "
                                            "command (name or number) arrived")
        ("background", "connect through the manifest's app-service host (the application's "
                       "background topology) instead of serving SERVICE in this process")
        ("scheme", po::value<std::string>(), "start the helper through this URI scheme of "
                                             "the manifest instead of its full-trust program")
        ("client-id", po::value<std::string>()->default_value("tarvik-call"),
         "the client id the helper is given")
        ("timeout", po::value<double>()->default_value(60), "seconds to wait for the answer; "
                                                            "with --watch, when given, the "
                                                            "whole watch")
        ("unchecked", "send keys whatever the table says of them")
        ("pretty", "indent the JSON")
        ("log-level", po::value<uint32_t>()->default_value(2), "level of the package's log "
                                                               "(0 to 4)")
        ("words", po::value<std::vector<std::string>>(),
         "MANIFEST SERVICE [COMMAND [key=type:value ...]], given without the option's name");
    // clang-format on
    po::positional_options_description positional;
    positional.add("words", -1);
    po::variables_map vm;
    if (const auto done = Tarvik::ProgramOptions::readCommandLine(
            argc, argv, {"tarvik-call", kSynopsis}, options, vm, positional))
        return *done;
    if (vm.count("list")) {
        printCommandTable(std::cout);
        return 0;
    }

    const auto words =
        vm.count("words") ? vm["words"].as<std::vector<std::string>>() : std::vector<std::string>{};
    const bool watching = vm.count("watch") > 0;
    if (words.size() < 2 || (words.size() < 3 && !watching))
        return usageError(words.empty()       ? "no MANIFEST given"
                          : words.size() == 1 ? "no SERVICE given"
                                              : "no COMMAND given");
    const double seconds = vm["timeout"].as<double>();
    if (!(seconds > 0) || seconds > 86400) return usageError("--timeout takes 0 to 86400 seconds");
    const auto timeout = std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
    if (vm.count("until") && !watching) return usageError("--until goes with --watch");

    std::optional<Command> command;
    Platform::ValueSet request = nullptr;
    std::optional<int32_t> until;
    try {
        if (words.size() >= 3) {
            command = resolveCommand(words[2]);
            request =
                buildRequest(*command, {words.begin() + 3, words.end()}, vm.count("unchecked") > 0);
        }
        if (vm.count("until")) until = resolveWatchedCommand(vm["until"].as<std::string>());
    } catch (const UsageError& e) {
        return usageError(e.what());
    }

    std::error_code ec;
    const auto manifest = std::filesystem::absolute(words[0], ec);
    if (ec || !std::filesystem::is_regular_file(manifest, ec))
        return usageError("no package manifest at " + words[0]);
    ::setenv("TARVIK_PACKAGE_MANIFEST", manifest.c_str(), 1);
    std::shared_ptr<const Platform::Package> package;
    try {
        package = Platform::Package::Current();
    } catch (const Platform::hresult_error& e) {
        // The error names the manifest already.
        return usageError("cannot read " + e.message().to_utf8());
    }
    const Platform::hstring service = Platform::hstring::from_utf8(words[1]);
    const bool background = vm.count("background") > 0;
    if (background) {
        const auto declared = package->FindAppService(service);
        if (!declared || declared->hostProgram.empty())
            return usageError("the manifest declares no host program for the service " + words[1] +
                              "; without --background tarvik-call serves it itself");
        // Nothing would tell the application that the host cannot start: its opens only
        // find nobody listening, until the timeout.
        if (const std::string problem = Platform::whyNotRunnable(declared->hostProgram);
            !problem.empty())
            return usageError("the service's host program " + declared->hostProgram +
                              " cannot be run: " + problem);
    }
    std::string scheme;
    if (vm.count("scheme")) {
        scheme = vm["scheme"].as<std::string>();
        if (!package->ProgramForScheme(scheme))
            return usageError("the manifest registers no program for the scheme " + scheme);
    } else if (package->FullTrustProgram().empty()) {
        return usageError("the manifest names no full-trust program; give --scheme");
    }

    openPackageLog(package->FamilyName(), vm["log-level"].as<uint32_t>());
    std::unique_ptr<PackageGuard> guard;
    try {
        guard = std::make_unique<PackageGuard>(package->FamilyName(), service, background);
    } catch (const Refused& e) {
        TLOG("CRT", "tarvik-call refused: %s", e.what());
        std::cerr << "tarvik-call: refused: " << e.what() << '\n';
        return kUsage;
    }

    const bool pretty = vm.count("pretty") > 0;
    Output output;
    std::mutex watchMutex;
    std::condition_variable watchDone;
    bool untilSeen = false;
    int status = kAnswered;
    const auto started = std::chrono::steady_clock::now();
    try {
        SessionOptions options;
        options.serviceName = service;
        options.background = background;
        options.scheme = scheme;
        options.clientId = vm["client-id"].as<std::string>();
        options.logLevel = vm["log-level"].as<uint32_t>();
        ApplicationSession session(options);
        if (watching)
            session.watch([&](const Platform::ValueSet& incoming) {
                output.print(toJson(incoming), pretty);
                if (until && incoming.LookupOr<int32_t>(Tarvik::Keys::kCommand, -1) == *until) {
                    std::lock_guard g(watchMutex);
                    untilSeen = true;
                    watchDone.notify_all();
                }
            });
        if (command) {
            std::optional<Platform::AppServiceResponse> answer;
            try {
                answer = session.send(request, timeout);
            } catch (const HelperNotRunning&) {
                reportHelperGone();
                return kFailed;
            }
            if (!answer) {
                std::cerr << "tarvik-call: no answer within " << seconds << " s\n";
                status = kFailed;
            } else {
                if (answer->Message()) output.print(toJson(answer->Message()), pretty);
                if (answer->Status() != Platform::AppServiceResponseStatus::Success) {
                    std::cerr << "tarvik-call: the exchange ended with status "
                              << Platform::hstring(
                                     Platform::response_status_wname(answer->Status()))
                                     .to_utf8()
                              << '\n';
                    status = kFailed;
                } else if (!answer->Message() ||
                           answer->Message().LookupOr<int32_t>(Tarvik::Keys::kResponse, -1) != 0) {
                    status = kFailed;
                }
            }
        }
        if (watching) {
            // Interrupting ends the watch like --until, and tarvik-call still ends its helper.
            struct sigaction action {};
            action.sa_handler = onSignal;
            ::sigemptyset(&action.sa_mask);
            ::sigaction(SIGINT, &action, nullptr);
            ::sigaction(SIGTERM, &action, nullptr);
            // Bounded by --timeout only when it was given; otherwise until interrupted.
            const bool bounded = !vm["timeout"].defaulted();
            std::unique_lock lock(watchMutex);
            bool helperGone = false;
            while (!g_interrupted && !untilSeen &&
                   (!bounded || std::chrono::steady_clock::now() - started < timeout)) {
                watchDone.wait_for(lock, std::chrono::milliseconds(50));
                // Nothing more can come once the helper has gone.
                if (!untilSeen && session.helperGone()) {
                    helperGone = true;
                    break;
                }
            }
            if (helperGone) {
                reportHelperGone();
                status = kFailed;
            } else if (until && !untilSeen) {
                std::cerr << "tarvik-call: no request " << vm["until"].as<std::string>() << " came"
                          << (g_interrupted ? "" : " in time") << '\n';
                status = kFailed;
            }
        }
    } catch (const Platform::hresult_error& e) {
        if (e.code() == static_cast<Platform::hresult>(0x80070020)) {
            // Another process began to serve the service after the guard looked.
            TLOG("CRT", "tarvik-call refused: %S", e.message().c_str());
            std::cerr << "tarvik-call: refused: the application of package "
                      << package->FamilyName().to_utf8()
                      << " is connected: " << e.message().to_utf8() << '\n';
            return kUsage;
        }
        std::fprintf(stderr, "tarvik-call: call failed: 0x%08X %s\n",
                     static_cast<unsigned>(e.code()), e.message().to_utf8().c_str());
        status = kFailed;
    }
    return status;
}
