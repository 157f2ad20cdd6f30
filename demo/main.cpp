// tarvik-demo: the whole system from one command. Starts the application side in
// background mode; the platform activates tarvik-apphost and the protocol launch
// starts tarvik-helper; then the demo calls every manager and prints the answers.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include <TarvikFoundation/orvaneanalyticsmanager.h>
#include <TarvikFoundation/orvaneapphelper.h>
#include <TarvikFoundation/orvaneauthmanager.h>
#include <TarvikFoundation/orvanemessagehandler.h>
#include <TarvikFoundation/orvaneplatformexceptionhelper.h>
#include <TarvikFoundation/orvanetestmanager.h>
#include <TarvikFoundation/platform/application.h>
#include <TarvikFoundation/platform/applicationdata.h>

#include "common/filesizesignal.h"
#include "common/programoptions.h"
#include "demo/desktopdemo.h"
#include "demo/notedemo.h"

using namespace TarvikFoundation;

namespace {
std::string besideExecutable(const std::string& name) {
    char self[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path =
        n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string("./tarvik-demo");
    return path.substr(0, path.rfind('/') + 1) + name;
}

// The account service's operator switch, as a user signing in elsewhere on the machine.
int accountSwitch(const std::string& args) {
    // The switch is the operator's, outside any sandbox: a confined demo cannot reach it.
    if (std::getenv("TARVIK_LAUNCHER_SOCKET")) {
        std::printf("account switch: the operator's, not run from inside the sandbox\n");
        return 0;
    }
    const std::string program = TARVIK_HELPER_PROGRAM;
    return std::system((program + " account " + args + " >/dev/null").c_str());
}

void showAccountAndAnalytics() {
    auto auth = OrvaneAuthManager::GetInstance();
    auto statusToken = auth->StatusEvent(
        [](int32_t status) { std::printf("sign-in status event: %d\n", status); });
    auth->Initialize(L"demo-secret", L"openid profile", true);
    auth->waitForSSOListeners(std::chrono::seconds(10));
    if (accountSwitch("signin --user demo-user --email Demo@Example.org --name Demo") != 0)
        std::printf("account switch failed\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the bus notice arrives
    std::printf("SignIn: %s, signed in: %s\n", auth->SignIn() ? "true" : "false",
                auth->IsUserSignedIn() ? "true" : "false");
    try {
        const auto profile = auth->GetDefaultUserProfileAsync().get();
        std::printf("profile: %s <%s>\n", profile->DisplayName().to_utf8().c_str(),
                    profile->Email().to_utf8().c_str());
        const auto token = auth->GetTokenInfoAsync().get();
        std::printf("token: %.8s... expires in %lld s\n", token->AccessToken().to_utf8().c_str(),
                    static_cast<long long>(token->ExpiresIn()));
    } catch (const Platform::hresult_error& e) {
        std::printf("account call failed: 0x%08X\n", static_cast<unsigned>(e.code()));
    }

    auto analytics = OrvaneAnalyticsManager::GetInstance();
    analytics->InitializeAsync(false, L"", L"").get();
    const uint64_t session = analytics->StartSessionAsync(L"demo", L"tarvik-demo", L"1", L"").get();
    analytics->LogEvent(session, L"demo", L"start", L"opened").get();
    const int32_t group = analytics->NewDataGroupAsync(session, L"demo", L"ui", L"window").get();
    analytics->AddToGroup(session, group, L"width", L"1280").get();
    analytics->LogEvent(session, L"demo", L"end", L"closed", 0, L"doc-1").get();
    analytics->CloseSession(session).get();
    std::printf("analytics: session %llu, group %d, events stored in %s/helper/analytics\n",
                static_cast<unsigned long long>(session), group,
                Platform::ApplicationData::UserDataRoot().c_str());

    auto bus = OrvaneInternal::OrvaneMessageHandler::GetInstance();
    const auto sent = bus->SendMessage(
        std::make_shared<OrvaneInternal::KalderMessage>(L"demo.hello", L"from tarvik-demo"));
    std::printf("bus message sent to the other applications: code %d\n",
                static_cast<int>(sent.get()));
    std::printf("SignOut: %s\n", auth->SignOut() ? "true" : "false");
    auth->StatusEvent(statusToken);
}
}  // namespace

int main(int argc, char** argv) {
    Tarvik::ignoreFileSizeSignal();
    boost::program_options::variables_map values;
    if (const auto done = Tarvik::ProgramOptions::readCommandLine(
            argc, argv, {"tarvik-demo", "[options]"},
            boost::program_options::options_description("Options"), values))
        return *done;
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
    showAccountAndAnalytics();
    TarvikDemo::showDesktopServices();
    TarvikDemo::writeAndReadNote();
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
