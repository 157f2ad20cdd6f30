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

    /// "userId".
    const Platform::hstring& UserId() const { return userId_; }
    /// "displayName".
    const Platform::hstring& DisplayName() const { return displayName_; }
    /// "first_name".
    const Platform::hstring& FirstName() const { return firstName_; }
    /// "last_name".
    const Platform::hstring& LastName() const { return lastName_; }
    /// "email".
    const Platform::hstring& Email() const { return email_; }
    /// Whether "emailVerified" is the string "true".
    bool IsEmailVerified() const { return emailVerified_; }
    /// Whether "account_type" is present, not empty and not "type1".
    bool IsNonType1Account() const { return nonType1_; }
    /// "serviceAccounts"; empty when the profile has none.
    const Platform::JsonArray& ServiceAccounts() const { return serviceAccounts_; }
    /// Whether the profile has "serviceAccounts".
    bool HasServiceAccounts() const { return hasServiceAccounts_; }
    /// The JSON text as received.
    const Platform::hstring& RawProfile() const { return raw_; }

  private:
    Platform::hstring userId_, displayName_, firstName_, lastName_, email_, raw_;
    bool emailVerified_ = false;
    bool nonType1_ = false;
    Platform::JsonArray serviceAccounts_;
    bool hasServiceAccounts_ = false;
};

}  // namespace TarvikFoundation
