// Activation by name through the library's exports, resolved from the loaded library
// the way a host that loads it by path would.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <TarvikFoundation/activation.h>
#include <TarvikFoundation/kaldermessage.h>
#include <TarvikFoundation/orvaneanalyticsmanager.h>
#include <TarvikFoundation/orvaneapphelper.h>
#include <TarvikFoundation/orvaneappxpermissionmanager.h>
#include <TarvikFoundation/orvaneauthmanager.h>
#include <TarvikFoundation/orvaneauthtokeninfo.h>
#include <TarvikFoundation/orvaneauthuserprofile.h>
#include <TarvikFoundation/orvanecarvomanager.h>
#include <TarvikFoundation/orvanecasocketserver.h>
#include <TarvikFoundation/orvanefilemanager.h>
#include <TarvikFoundation/orvanekaldercontrollermanager.h>
#include <TarvikFoundation/orvanemessagehandler.h>
#include <TarvikFoundation/orvaneplatformexceptionhelper.h>
#include <TarvikFoundation/orvaneprocessmonitor.h>
#include <TarvikFoundation/orvanetestmanager.h>
#include <TarvikFoundation/orvanetrvkappservicetask.h>
#include <TarvikFoundation/orvanewin32apimanager.h>
#include <TarvikFoundation/processinfo.h>
#include <TarvikFoundation/trvkconfigoptions.h>

#include "tests/testsupport.h"

using namespace TarvikFoundation;
using Platform::IActivationFactory;
using Platform::IInspectable;

namespace {

// The exports as a loader finds them: by symbol name in the library file.
struct Exports {
    PFN_DllGetActivationFactory getFactory = nullptr;
    PFN_DllCanUnloadNow canUnload = nullptr;
};

const Exports& exports() {
    static const Exports found = [] {
        Dl_info info{};
        Exports e;
        if (::dladdr(reinterpret_cast<void*>(&DllCanUnloadNow), &info) == 0) return e;
        void* library = ::dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
        if (!library) return e;
        e.getFactory = reinterpret_cast<PFN_DllGetActivationFactory>(
            ::dlsym(library, "DllGetActivationFactory"));
        e.canUnload = reinterpret_cast<PFN_DllCanUnloadNow>(::dlsym(library, "DllCanUnloadNow"));
        return e;
    }();
    return found;
}

IActivationFactory* factoryOf(const wchar_t* name) {
    IActivationFactory* factory = nullptr;
    const auto hr = exports().getFactory(name, &factory);
    EXPECT_EQ(hr, Platform::S_OK_) << Platform::wide_to_utf8(name);
    return factory;
}

enum class Kind { NewObject, Instance, NoDefaultConstructor };

struct ClassCase {
    const wchar_t* name;
    Kind kind;
    // Checks that an activation is the class it should be (and, for managers, the
    // process's instance).
    std::function<void(const IInspectable&)> check;
};

template <class T>
std::function<void(const IInspectable&)> isNew() {
    return [](const IInspectable& object) { EXPECT_TRUE(object.try_as<T>()); };
}

template <class T>
std::function<void(const IInspectable&)> isInstance() {
    return [](const IInspectable& object) { EXPECT_EQ(object.try_as<T>(), T::GetInstance()); };
}

std::vector<ClassCase> everyClass() {
    using namespace OrvaneInternal;
    const auto none = [](const IInspectable&) {};
    return {
        {L"TarvikFoundation.TRVKConfigOptions", Kind::NewObject, isNew<TRVKConfigOptions>()},
        {L"TarvikFoundation.OrvaneAppHelper", Kind::NoDefaultConstructor, none},
        {L"TarvikFoundation.OrvaneTRVKAppServiceTask", Kind::NewObject,
         isNew<OrvaneTRVKAppServiceTask>()},
        {L"TarvikFoundation.OrvaneAuthManager", Kind::Instance, isInstance<OrvaneAuthManager>()},
        {L"TarvikFoundation.OrvaneAuthUserProfile", Kind::NoDefaultConstructor, none},
        {L"TarvikFoundation.OrvaneAuthTokenInfo", Kind::NoDefaultConstructor, none},
        {L"TarvikFoundation.OrvaneAnalyticsManager", Kind::Instance,
         isInstance<OrvaneAnalyticsManager>()},
        {L"TarvikFoundation.OrvaneFileManager", Kind::Instance, isInstance<OrvaneFileManager>()},
        {L"TarvikFoundation.OrvaneWin32ApiManager", Kind::Instance,
         isInstance<OrvaneWin32ApiManager>()},
        {L"TarvikFoundation.OrvaneProcessMonitor", Kind::Instance,
         isInstance<OrvaneProcessMonitor>()},
        {L"TarvikFoundation.ProcessInfo", Kind::NewObject, isNew<ProcessInfo>()},
        {L"TarvikFoundation.OrvaneAppXPermissionManager", Kind::Instance,
         isInstance<OrvaneAppXPermissionManager>()},
        {L"TarvikFoundation.OrvaneInternal.OrvaneMessageHandler", Kind::NoDefaultConstructor, none},
        {L"TarvikFoundation.OrvaneInternal.KalderMessage", Kind::NoDefaultConstructor, none},
        {L"TarvikFoundation.OrvaneKalderControllerManager", Kind::Instance,
         isInstance<OrvaneKalderControllerManager>()},
        {L"TarvikFoundation.OrvaneCASocketServer", Kind::Instance,
         isInstance<OrvaneCASocketServer>()},
        {L"TarvikFoundation.OrvaneCarvoManager", Kind::Instance, isInstance<OrvaneCarvoManager>()},
        {L"TarvikFoundation.OrvaneInternal.OrvaneTestManager", Kind::Instance,
         isInstance<OrvaneTestManager>()},
        {L"TarvikFoundation.OrvanePlatformExceptionHelper", Kind::NoDefaultConstructor, none},
    };
}

class Activation : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(exports().getFactory) << "DllGetActivationFactory is not exported";
        ASSERT_TRUE(exports().canUnload) << "DllCanUnloadNow is not exported";
        // The background task reads its log level from the package's data folder.
        ::setenv("XDG_DATA_HOME", dir_.file("data").c_str(), 1);
        std::ofstream(dir_.file("manifest.json"))
            << R"({"familyName": "Tarvik.Activation_test", "version": "1.0.0.0"})";
        ::setenv("TARVIK_PACKAGE_MANIFEST", dir_.file("manifest.json").c_str(), 1);
    }
    TestSupport::TempDir dir_;
};

TEST_F(Activation, EveryClassIsReachedByItsFullName) {
    const auto classes = everyClass();
    ASSERT_EQ(classes.size(), 19u);
    for (const auto& c : classes) {
        SCOPED_TRACE(Platform::wide_to_utf8(c.name));
        const IActivationFactory* factory = factoryOf(c.name);
        ASSERT_NE(factory, nullptr);
        EXPECT_EQ(factory->RuntimeClassName(), Platform::hstring(c.name));
        // The same factory every time.
        EXPECT_EQ(factoryOf(c.name), factory);
        switch (c.kind) {
            case Kind::NoDefaultConstructor:
                try {
                    factory->ActivateInstance();
                    ADD_FAILURE() << "activation did not raise";
                } catch (const Platform::hresult_error& e) {
                    EXPECT_EQ(e.code(), Platform::E_NOTIMPL_);
                }
                break;
            case Kind::NewObject: {
                const auto first = factory->ActivateInstance();
                const auto second = factory->ActivateInstance();
                EXPECT_EQ(first.GetRuntimeClassName(), Platform::hstring(c.name));
                c.check(first);
                EXPECT_NE(first.identity(), second.identity()) << "a new object each time";
                break;
            }
            case Kind::Instance: {
                const auto first = factory->ActivateInstance();
                c.check(first);
                EXPECT_EQ(first.identity(), factory->ActivateInstance().identity());
                break;
            }
        }
    }
}

TEST_F(Activation, ClassesBuiltFromArgumentsHaveTheirFactoryInterfaces) {
    using namespace OrvaneInternal;
    const auto message = factoryOf(L"TarvikFoundation.OrvaneInternal.KalderMessage")
                             ->as<KalderMessageFactory>()
                             .CreateInstance(L"demo.type", L"{\"a\":1}");
    EXPECT_EQ(message->MessageType(), Platform::hstring(L"demo.type"));
    EXPECT_EQ(message->Payload(), Platform::hstring(L"{\"a\":1}"));

    const auto profile = factoryOf(L"TarvikFoundation.OrvaneAuthUserProfile")
                             ->as<OrvaneAuthUserProfileFactory>()
                             .CreateInstance(LR"({"userId":"u-1","email":"a@b.c"})");
    EXPECT_EQ(profile->UserId(), Platform::hstring(L"u-1"));
    const auto token =
        factoryOf(L"TarvikFoundation.OrvaneAuthTokenInfo")
            ->as<OrvaneAuthTokenInfoFactory>()
            .CreateInstance(LR"({"refresh_token":"r","access_token":"t","expires_in":60})");
    EXPECT_EQ(token->AccessToken(), Platform::hstring(L"t"));
    EXPECT_EQ(token->ExpiresIn(), 60);

    const auto& errors = factoryOf(L"TarvikFoundation.OrvanePlatformExceptionHelper")
                             ->as<OrvanePlatformExceptionHelperStatics>();
    const int32_t code = static_cast<int32_t>(0xE101000E);
    EXPECT_EQ(errors.GetErrorMessage(code), OrvanePlatformExceptionHelper::GetErrorMessage(code));
    EXPECT_EQ(errors.GetServiceStatus(code), OrvanePlatformExceptionHelper::GetServiceStatus(code));

    EXPECT_EQ(factoryOf(L"TarvikFoundation.OrvaneInternal.OrvaneMessageHandler")
                  ->as<OrvaneMessageHandlerStatics>()
                  .GetInstance(),
              OrvaneMessageHandler::GetInstance());

    // The app helper's constructor validates its options as when called directly.
    const auto& helpers =
        factoryOf(L"TarvikFoundation.OrvaneAppHelper")->as<OrvaneAppHelperFactory>();
    try {
        helpers.CreateInstance(nullptr);
        ADD_FAILURE() << "null options accepted";
    } catch (const Platform::hresult_error& e) {
        EXPECT_EQ(e.code(), Platform::E_INVALIDARG_);
    }
}

TEST_F(Activation, WrongViewsRaiseNoInterface) {
    const auto* options = factoryOf(L"TarvikFoundation.TRVKConfigOptions");
    const auto object = options->ActivateInstance();
    EXPECT_FALSE(object.try_as<ProcessInfo>());
    EXPECT_THROW(object.as<ProcessInfo>(), Platform::hresult_no_interface);
    EXPECT_THROW(options->as<OrvaneAppHelperFactory>(), Platform::hresult_no_interface);

    // A manager is also its public interface.
    const auto files = factoryOf(L"TarvikFoundation.OrvaneFileManager")->ActivateInstance();
    EXPECT_EQ(files.as<OrvaneFileManagerInterface>().get(),
              static_cast<OrvaneFileManagerInterface*>(OrvaneFileManager::GetInstance().get()));
}

TEST_F(Activation, UnknownNamesGiveClassNotRegistered) {
    for (const wchar_t* name :
         {L"TarvikFoundation.Nothing", L"OrvaneFileManager", L"tarvikfoundation.OrvaneFileManager",
          L"TarvikFoundation.OrvaneFileManager ", L"", L"TarvikFoundation.OrvaneTestManager",
          L"TarvikFoundation.OrvaneInternal.OrvaneFileManager", L"TarvikFoundation."}) {
        SCOPED_TRACE(Platform::wide_to_utf8(name));
        auto* factory = reinterpret_cast<IActivationFactory*>(0x1);
        EXPECT_EQ(exports().getFactory(name, &factory), Platform::REGDB_E_CLASSNOTREG_);
        EXPECT_EQ(factory, nullptr);
    }
    IActivationFactory* factory = nullptr;
    EXPECT_EQ(exports().getFactory(nullptr, &factory), Platform::E_INVALIDARG_);
    EXPECT_EQ(exports().getFactory(L"TarvikFoundation.ProcessInfo", nullptr), Platform::E_POINTER_);
}

}  // namespace
