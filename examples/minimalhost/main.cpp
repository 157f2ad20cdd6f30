// The smallest useful host: configure the library, create the app helper, wait until
// the helper has connected, make calls, and reach a class by name as a loader would.
// Run with TARVIK_PACKAGE_MANIFEST naming minimal-host.manifest.json.
// README.md prints the lines between the two "README" marks verbatim; the test suite
// checks that they stay the same.

// README begin
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include <TarvikFoundation/activation.h>
#include <TarvikFoundation/orvaneapphelper.h>
#include <TarvikFoundation/orvanefilemanager.h>
#include <TarvikFoundation/orvaneplatformexceptionhelper.h>
#include <TarvikFoundation/orvanetestmanager.h>
#include <TarvikFoundation/platform/application.h>
#include <TarvikFoundation/trvkconfigoptions.h>

using namespace TarvikFoundation;

// The managers reach the helper once it has connected and announced itself. With the
// app service in the background the app helper says so; in-process it never does
// (managersReady() stays false by design), and a manager's own connection tells.
bool helperConnected(OrvaneAppHelper& helper, bool appServiceInBackground) {
    if (appServiceInBackground) return helper.managersReady();
    return OrvaneFileManager::GetInstance()->connection()->hasConnection();
}

int main() {
    auto app = Platform::Application::Create();  // a host has one application object

    auto options = std::make_shared<TRVKConfigOptions>();
    options->Win32Uri(L"minimal-host-helper");            // a scheme of the manifest
    options->AppServiceName(L"com.example.minimalhost");  // a service of the manifest
    options->ClientId(L"minimal-host");
    std::shared_ptr<OrvaneAppHelper> helper;
    try {
        helper = OrvaneAppHelper::create(options);  // launches the helper, connects
    } catch (const Platform::hresult_error& e) {
        std::fprintf(stderr, "minimal-host: %s\n", e.message().to_utf8().c_str());
        return 1;
    }

    const bool background = options->AppServiceInBackground();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!helperConnected(*helper, background) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!helperConnected(*helper, background)) {
        std::fprintf(stderr, "minimal-host: the helper did not connect\n");
        return 1;
    }

    auto test = OrvaneInternal::OrvaneTestManager::GetInstance();
    int failures = 0;
    try {
        // Prints "Delayed 0 ms".
        std::printf("TestDelayApi(0): \"%s\"\n", test->TestDelayApi(0).get().to_utf8().c_str());

        // Activation by name gives the same manager instance as GetInstance.
        Platform::IActivationFactory* factory = nullptr;
        if (DllGetActivationFactory(L"TarvikFoundation.OrvaneFileManager", &factory) != 0) {
            std::fprintf(stderr, "minimal-host: no factory for OrvaneFileManager\n");
            return 1;
        }
        auto files = factory->ActivateInstance().as<OrvaneFileManagerInterface>();
        // The helper serves only the user's home folder unless the user configures more.
        const char* home = std::getenv("HOME");
        const std::string folder = home ? home : "";
        const bool exists =
            files->FolderOperation1Async(Platform::hstring::from_utf8(folder)).get();
        std::printf("folder %s exists: %s\n", folder.c_str(), exists ? "true" : "false");
        if (!exists) ++failures;
    } catch (const Platform::hresult_error& e) {
        std::fprintf(stderr, "minimal-host: call failed: 0x%08X %s\n",
                     static_cast<unsigned>(e.code()),
                     OrvanePlatformExceptionHelper::GetErrorMessage(e.code()).to_utf8().c_str());
        return 1;
    }
    test->TestAppExitApi();  // the helper exits; the app-service host ends once idle
    return failures == 0 ? 0 : 1;
}
// README end
