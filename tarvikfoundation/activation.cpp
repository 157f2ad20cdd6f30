// The table of runtime classes by full name, and the two exports that reach it.
#include <map>
#include <string>

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
#include <TarvikFoundation/platform/immortal.h>
#include <TarvikFoundation/processinfo.h>
#include <TarvikFoundation/trvkconfigoptions.h>

#include "common/logger.h"

namespace TarvikFoundation {
namespace {

using Platform::hstring;
using Platform::IActivationFactory;
using Platform::IInspectable;

class NamedFactory : public IActivationFactory {
  public:
    explicit NamedFactory(hstring name) : name_(std::move(name)) {}
    const hstring& RuntimeClassName() const noexcept override { return name_; }

  private:
    hstring name_;
};

// A default-constructible class: every activation is a new object.
template <class T, class... Interfaces>
class ConstructingFactory final : public NamedFactory {
  public:
    using NamedFactory::NamedFactory;
    IInspectable ActivateInstance() const override {
        return IInspectable::wrap<T, Interfaces...>(std::make_shared<T>(), RuntimeClassName());
    }
};

// A manager: every activation is the process's one instance.
template <class T, class... Interfaces>
class InstanceFactory final : public NamedFactory {
  public:
    using NamedFactory::NamedFactory;
    IInspectable ActivateInstance() const override {
        return IInspectable::wrap<T, Interfaces...>(T::GetInstance(), RuntimeClassName());
    }
};

// A class built from arguments, or one that offers only statics.
class NoDefaultConstructorFactory : public NamedFactory {
  public:
    using NamedFactory::NamedFactory;
    IInspectable ActivateInstance() const override {
        throw Platform::hresult_not_implemented(RuntimeClassName() +
                                                L" has no default constructor");
    }
};

class AppHelperFactory final : public NoDefaultConstructorFactory, public OrvaneAppHelperFactory {
  public:
    using NoDefaultConstructorFactory::NoDefaultConstructorFactory;
    std::shared_ptr<OrvaneAppHelper> CreateInstance(
        const std::shared_ptr<TRVKConfigOptions>& options) const override {
        return OrvaneAppHelper::create(options);
    }
};

class UserProfileFactory final : public NoDefaultConstructorFactory,
                                 public OrvaneAuthUserProfileFactory {
  public:
    using NoDefaultConstructorFactory::NoDefaultConstructorFactory;
    std::shared_ptr<OrvaneAuthUserProfile> CreateInstance(
        const hstring& profileJson) const override {
        return std::make_shared<OrvaneAuthUserProfile>(profileJson);
    }
};

class TokenInfoFactory final : public NoDefaultConstructorFactory,
                               public OrvaneAuthTokenInfoFactory {
  public:
    using NoDefaultConstructorFactory::NoDefaultConstructorFactory;
    std::shared_ptr<OrvaneAuthTokenInfo> CreateInstance(const hstring& tokenJson) const override {
        return std::make_shared<OrvaneAuthTokenInfo>(tokenJson);
    }
};

class ExceptionHelperFactory final : public NoDefaultConstructorFactory,
                                     public OrvanePlatformExceptionHelperStatics {
  public:
    using NoDefaultConstructorFactory::NoDefaultConstructorFactory;
    hstring GetErrorMessage(int32_t errorCode) const override {
        return OrvanePlatformExceptionHelper::GetErrorMessage(errorCode);
    }
    int32_t GetServiceStatus(int32_t errorCode) const override {
        return OrvanePlatformExceptionHelper::GetServiceStatus(errorCode);
    }
};

class KalderMessageFactoryImpl final : public NoDefaultConstructorFactory,
                                       public OrvaneInternal::KalderMessageFactory {
  public:
    using NoDefaultConstructorFactory::NoDefaultConstructorFactory;
    std::shared_ptr<OrvaneInternal::KalderMessage> CreateInstance(
        const hstring& messageType, const hstring& payload) const override {
        return std::make_shared<OrvaneInternal::KalderMessage>(messageType, payload);
    }
};

class MessageHandlerFactory final : public NoDefaultConstructorFactory,
                                    public OrvaneInternal::OrvaneMessageHandlerStatics {
  public:
    using NoDefaultConstructorFactory::NoDefaultConstructorFactory;
    std::shared_ptr<OrvaneInternal::OrvaneMessageHandler> GetInstance() const override {
        return OrvaneInternal::OrvaneMessageHandler::GetInstance();
    }
};

using FactoryTable = std::map<std::wstring, std::unique_ptr<IActivationFactory>, std::less<>>;

template <class Factory>
void add(FactoryTable& table, const wchar_t* name) {
    auto factory = std::make_unique<Factory>(hstring(name));
    table.emplace(name, std::move(factory));
}

FactoryTable buildTable() {
    using namespace OrvaneInternal;
    FactoryTable t;
    add<ConstructingFactory<TRVKConfigOptions>>(t, L"TarvikFoundation.TRVKConfigOptions");
    add<AppHelperFactory>(t, L"TarvikFoundation.OrvaneAppHelper");
    add<ConstructingFactory<OrvaneTRVKAppServiceTask>>(
        t, L"TarvikFoundation.OrvaneTRVKAppServiceTask");
    add<InstanceFactory<OrvaneAuthManager>>(t, L"TarvikFoundation.OrvaneAuthManager");
    add<UserProfileFactory>(t, L"TarvikFoundation.OrvaneAuthUserProfile");
    add<TokenInfoFactory>(t, L"TarvikFoundation.OrvaneAuthTokenInfo");
    add<InstanceFactory<OrvaneAnalyticsManager>>(t, L"TarvikFoundation.OrvaneAnalyticsManager");
    add<InstanceFactory<OrvaneFileManager, OrvaneFileManagerInterface>>(
        t, L"TarvikFoundation.OrvaneFileManager");
    add<InstanceFactory<OrvaneWin32ApiManager>>(t, L"TarvikFoundation.OrvaneWin32ApiManager");
    add<InstanceFactory<OrvaneProcessMonitor, OrvaneProcessMonitorInterface>>(
        t, L"TarvikFoundation.OrvaneProcessMonitor");
    add<ConstructingFactory<ProcessInfo>>(t, L"TarvikFoundation.ProcessInfo");
    add<InstanceFactory<OrvaneAppXPermissionManager, OrvaneAppXPermissionManagerInterface>>(
        t, L"TarvikFoundation.OrvaneAppXPermissionManager");
    add<MessageHandlerFactory>(t, L"TarvikFoundation.OrvaneInternal.OrvaneMessageHandler");
    add<KalderMessageFactoryImpl>(t, L"TarvikFoundation.OrvaneInternal.KalderMessage");
    add<InstanceFactory<OrvaneKalderControllerManager, OrvaneKalderControllerManagerInterface>>(
        t, L"TarvikFoundation.OrvaneKalderControllerManager");
    add<InstanceFactory<OrvaneCASocketServer, OrvaneCASocketServerInterface>>(
        t, L"TarvikFoundation.OrvaneCASocketServer");
    add<InstanceFactory<OrvaneCarvoManager, OrvaneCarvoInterface>>(
        t, L"TarvikFoundation.OrvaneCarvoManager");
    add<InstanceFactory<OrvaneTestManager>>(t,
                                            L"TarvikFoundation.OrvaneInternal.OrvaneTestManager");
    add<ExceptionHelperFactory>(t, L"TarvikFoundation.OrvanePlatformExceptionHelper");
    return t;
}

const FactoryTable& factories() {
    // Never destroyed: a pool thread may still activate while the process exits.
    static Platform::Immortal<const FactoryTable> table(buildTable());
    return *table;
}

}  // namespace
}  // namespace TarvikFoundation

extern "C" Platform::hresult DllGetActivationFactory(
    const wchar_t* activatableClassId, Platform::IActivationFactory** factory) noexcept {
    if (!factory) return Platform::E_POINTER_;
    *factory = nullptr;
    if (!activatableClassId) return Platform::E_INVALIDARG_;
    try {
        const auto& table = TarvikFoundation::factories();
        const auto found = table.find(std::wstring_view(activatableClassId));
        if (found == table.end()) {
            TLOGW("WRN", L"No runtime class named %s", activatableClassId);
            return Platform::REGDB_E_CLASSNOTREG_;
        }
        *factory = found->second.get();
        return Platform::S_OK_;
    } catch (...) {
        return Platform::to_hresult(std::current_exception());
    }
}

extern "C" Platform::hresult DllCanUnloadNow() noexcept {
    return Platform::ModuleObject::liveObjects() == 0 ? Platform::S_OK_ : Platform::S_FALSE_;
}
