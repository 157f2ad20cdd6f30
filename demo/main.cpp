// tarvik-demo: the whole system from one command. Starts the application side in
// background mode; the platform activates tarvik-apphost and the protocol launch
// starts tarvik-helper; then the demo calls every manager and prints the answers.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/application.h"
#include "platform/applicationdata.h"
#include "tarvikfoundation/orvaneapphelper.h"
#include "tarvikfoundation/orvaneplatformexceptionhelper.h"
#include "tarvikfoundation/orvanetestmanager.h"

using namespace TarvikFoundation;

namespace {
std::string besideExecutable(const std::string& name) {
    char self[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path =
        n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string("./tarvik-demo");
    return path.substr(0, path.rfind('/') + 1) + name;
}
}  // namespace

int main() {
    if (!std::getenv("TARVIK_PACKAGE_MANIFEST"))
        ::setenv("TARVIK_PACKAGE_MANIFEST", besideExecutable("tarvik-demo.manifest.json").c_str(),
                 1);
    auto app = Platform::Application::Create();

    auto options = std::make_shared<TRVKConfigOptions>();
    options->Win32Uri(L"tarvik-demo-helper");
    options->AppServiceName(L"com.tarvik.demo.relay");
    options->ClientId(L"demo-client");
    options->ReconnectInterval(2);
    options->LogLevel(2);
    std::shared_ptr<OrvaneAppHelper> helper;
    try {
        helper = OrvaneAppHelper::create(options);
    } catch (const Platform::hresult_error& e) {
        std::fprintf(stderr, "tarvik-demo: %s\n", e.message().to_utf8().c_str());
        return 1;
    }
    helper->HelperAppExitEvent([](const std::shared_ptr<OrvaneAppHelper>&, int32_t value) {
        std::printf("helper exit event: %d\n", value);
    });
    std::printf("helper command line: %s\n",
                Platform::wide_to_utf8(helper->getHelperArgs()).c_str());

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!helper->managersReady() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!helper->managersReady()) {
        std::fprintf(stderr, "tarvik-demo: the helper did not connect within 30 s\n");
        return 1;
    }
    std::printf("connected: application -> tarvik-apphost -> tarvik-helper\n");

    auto test = OrvaneInternal::OrvaneTestManager::GetInstance();
    try {
        const auto started = std::chrono::steady_clock::now();
        const auto delayed = test->TestDelayApi(250).get();
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - started);
        std::printf("TestDelayApi(250): \"%s\" after %lld ms\n", delayed.to_utf8().c_str(),
                    static_cast<long long>(ms.count()));
        std::printf("TestDelayApiExt(0, 42): \"%s\"\n",
                    test->TestDelayApiExt(0, 42).get().to_utf8().c_str());
    } catch (const Platform::hresult_error& e) {
        std::printf("test call failed: 0x%08X %s\n", static_cast<unsigned>(e.code()),
                    OrvanePlatformExceptionHelper::GetErrorMessage(e.code()).to_utf8().c_str());
        return 1;
    }
    const int32_t code = static_cast<int32_t>(0xE101000E);
    std::printf("error 0x%08X reads \"%s\"\n", static_cast<unsigned>(code),
                OrvanePlatformExceptionHelper::GetErrorMessage(code).to_utf8().c_str());
    std::printf("logs: %s/TRVK.log, TRVKBackgroundTask.log, Win32Helper.log\n",
                Platform::ApplicationData::Current()->TemporaryFolder().c_str());
    test->TestAppExitApi();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::fflush(nullptr);
    std::_Exit(0);
}
