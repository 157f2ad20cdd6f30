#pragma once
/// @file
/// The library's two activation exports and the factory interfaces of the classes
/// that are built from arguments or offer only statics.
///
/// Every runtime class is reached by its full name, "TarvikFoundation.<Class>" or
/// "TarvikFoundation.OrvaneInternal.<Class>". Activating a manager returns its one
/// process-wide instance; activating a class that has no default constructor raises
/// hresult_not_implemented, and its factory is then viewed through the interface
/// below (`factory->as<KalderMessageFactory>().CreateInstance(...)`).
#include <memory>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/activation.h>
#include <TarvikFoundation/platform/hstring.h>

namespace TarvikFoundation {

class OrvaneAppHelper;
class TRVKConfigOptions;
class OrvaneAuthUserProfile;
class OrvaneAuthTokenInfo;
namespace OrvaneInternal {
class KalderMessage;
class OrvaneMessageHandler;
}  // namespace OrvaneInternal

/// Constructor of "TarvikFoundation.OrvaneAppHelper".
class TARVIK_API OrvaneAppHelperFactory {
  public:
    virtual ~OrvaneAppHelperFactory() = default;
    /// OrvaneAppHelper::create(options).
    virtual std::shared_ptr<OrvaneAppHelper> CreateInstance(
        const std::shared_ptr<TRVKConfigOptions>& options) const = 0;
};

/// Constructor of "TarvikFoundation.OrvaneAuthUserProfile", from the profile JSON text.
class TARVIK_API OrvaneAuthUserProfileFactory {
  public:
    virtual ~OrvaneAuthUserProfileFactory() = default;
    /// A profile read from `profileJson`; never raises.
    virtual std::shared_ptr<OrvaneAuthUserProfile> CreateInstance(
        const Platform::hstring& profileJson) const = 0;
};

/// Constructor of "TarvikFoundation.OrvaneAuthTokenInfo", from the token JSON text.
class TARVIK_API OrvaneAuthTokenInfoFactory {
  public:
    virtual ~OrvaneAuthTokenInfoFactory() = default;
    /// A token read from `tokenJson`; never raises.
    virtual std::shared_ptr<OrvaneAuthTokenInfo> CreateInstance(
        const Platform::hstring& tokenJson) const = 0;
};

/// Statics of "TarvikFoundation.OrvanePlatformExceptionHelper".
class TARVIK_API OrvanePlatformExceptionHelperStatics {
  public:
    virtual ~OrvanePlatformExceptionHelperStatics() = default;
    /// OrvanePlatformExceptionHelper::GetErrorMessage.
    virtual Platform::hstring GetErrorMessage(int32_t errorCode) const = 0;
    /// OrvanePlatformExceptionHelper::GetServiceStatus.
    virtual int32_t GetServiceStatus(int32_t errorCode) const = 0;
};

namespace OrvaneInternal {

/// Constructor of "TarvikFoundation.OrvaneInternal.KalderMessage".
class TARVIK_API KalderMessageFactory {
  public:
    virtual ~KalderMessageFactory() = default;
    /// A message of that type and payload.
    virtual std::shared_ptr<KalderMessage> CreateInstance(
        const Platform::hstring& messageType, const Platform::hstring& payload) const = 0;
};

/// Statics of "TarvikFoundation.OrvaneInternal.OrvaneMessageHandler".
class TARVIK_API OrvaneMessageHandlerStatics {
  public:
    virtual ~OrvaneMessageHandlerStatics() = default;
    /// OrvaneMessageHandler::GetInstance().
    virtual std::shared_ptr<OrvaneMessageHandler> GetInstance() const = 0;
};

}  // namespace OrvaneInternal
}  // namespace TarvikFoundation

extern "C" {

/// The factory of the runtime class named by `activatableClassId` (a NUL-terminated
/// full class name). Returns 0 and sets `*factory`; REGDB_E_CLASSNOTREG (0x80040154)
/// with `*factory` null for a name the library does not know; E_INVALIDARG for a null
/// name and E_POINTER for a null `factory`. Factories live as long as the library.
TARVIK_API Platform::hresult DllGetActivationFactory(
    const wchar_t* activatableClassId, Platform::IActivationFactory** factory) noexcept;

/// 0 (S_OK) when no object of the library's runtime classes is alive, 1 (S_FALSE)
/// otherwise. The process-wide manager instances live until the process ends, so once
/// one exists the library reports that it cannot be unloaded.
TARVIK_API Platform::hresult DllCanUnloadNow() noexcept;

/// DllGetActivationFactory as a loader finds it by name.
using PFN_DllGetActivationFactory = Platform::hresult (*)(const wchar_t*,
                                                          Platform::IActivationFactory**) noexcept;
/// DllCanUnloadNow as a loader finds it by name.
using PFN_DllCanUnloadNow = Platform::hresult (*)() noexcept;
}
