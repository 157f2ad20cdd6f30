#pragma once
#include <optional>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/activation.h>
#include <TarvikFoundation/platform/hstring.h>
#include <TarvikFoundation/platform/jsonarray.h>

namespace TarvikFoundation {

/// The signed-in user's profile, read once from the profile JSON the helper returns.
class TARVIK_API OrvaneAuthUserProfile : private Platform::ModuleObject {
  public:
    /// Never raises: a text that does not parse leaves the fields read so far.
    explicit OrvaneAuthUserProfile(const Platform::hstring& profileJson);

    const Platform::hstring& UserId() const { return userId_; }
    const Platform::hstring& DisplayName() const { return displayName_; }
    const Platform::hstring& FirstName() const { return firstName_; }
    const Platform::hstring& LastName() const { return lastName_; }
    const Platform::hstring& Email() const { return email_; }
    bool IsEmailVerified() const { return emailVerified_; }
    bool IsNonType1Account() const { return nonType1_; }
    // Empty when the profile has no "serviceAccounts".
    const Platform::JsonArray& ServiceAccounts() const { return serviceAccounts_; }
    bool HasServiceAccounts() const { return hasServiceAccounts_; }
    const Platform::hstring& RawProfile() const { return raw_; }

  private:
    Platform::hstring userId_, displayName_, firstName_, lastName_, email_, raw_;
    bool emailVerified_ = false;
    bool nonType1_ = false;
    Platform::JsonArray serviceAccounts_;
    bool hasServiceAccounts_ = false;
};

}  // namespace TarvikFoundation
