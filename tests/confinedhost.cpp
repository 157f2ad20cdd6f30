// A host application for the confinement tests, run by tarvik-run. It reports what it
// sees from inside on standard output, one finding per line:
//   home FILE FOLDER  reads FILE directly, then lists FOLDER through the helper
//   hold FLAG         connects, waits until FLAG exists, asks the helper once, ends
//   launch URI        asks the platform to launch URI and prints the outcome
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "platform/application.h"
#include "platform/launchers.h"
#include "tarvikfoundation/orvaneapphelper.h"
#include "tarvikfoundation/orvanefilemanager.h"
#include "tarvikfoundation/orvanetestmanager.h"

using namespace TarvikFoundation;

namespace {

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::shared_ptr<OrvaneAppHelper> connect() {
    auto options = std::make_shared<TRVKConfigOptions>();
    options->Win32Uri(L"tarvik-test");
    options->AppServiceName(L"svc");
    options->ClientId(L"confined-client");
    options->LaunchMethod(1);
    options->ReconnectInterval(1);
    auto helper = OrvaneAppHelper::create(options);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!helper->managersReady() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    say(helper->managersReady() ? "connected" : "not connected");
    return helper;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const std::string mode = argv[1];
    Platform::Application::Create();
    try {
        if (mode == "launch") {
            say(std::string("launch: ") +
                (Platform::Launcher::LaunchUriAsync(Platform::hstring::from_utf8(argv[2])).get()
                     ? "true"
                     : "false"));
            return 0;
        }
        auto helper = connect();
        if (!helper->managersReady()) return 1;
        if (mode == "home" && argc >= 4) {
            say(std::string("open home file: ") +
                (std::ifstream(argv[2]) ? "succeeded" : "failed"));
            std::string names;
            for (const auto& item :
                 OrvaneFileManager::GetInstance()
                     ->ListFilesFromPathAsync(Platform::hstring::from_utf8(argv[3]), false)
                     .get())
                names += " " + item.Path.to_utf8();
            say("listing:" + names);
        } else if (mode == "hold") {
            struct stat st {};
            for (int i = 0; i < 600 && ::stat(argv[2], &st) != 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            say("answer: " + OrvaneInternal::OrvaneTestManager::GetInstance()
                                 ->TestDelayApiExt(0, 7)
                                 .get()
                                 .to_utf8());
        }
    } catch (const Platform::hresult_error& e) {
        say("error: " + e.message().to_utf8());
        return 1;
    }
    std::fflush(nullptr);
    std::_Exit(0);
}
