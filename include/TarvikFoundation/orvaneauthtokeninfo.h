#pragma once
#include <cstdint>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/activation.h>
#include <TarvikFoundation/platform/hstring.h>

namespace TarvikFoundation {

/// An access token and its refresh token, read from the token JSON the helper returns.
class TARVIK_API OrvaneAuthTokenInfo : private Platform::ModuleObject {
  public:
    /// Never raises: a text that does not parse leaves the fields read so far.
    explicit OrvaneAuthTokenInfo(const Platform::hstring& tokenJson);

    /// "refresh_token".
    const Platform::hstring& RefreshToken() const { return refreshToken_; }
    /// "access_token".
    const Platform::hstring& AccessToken() const { return accessToken_; }
    /// "expires_in", seconds (truncated to an integer).
    int64_t ExpiresIn() const { return expiresIn_; }
    /// The JSON text as received.
    const Platform::hstring& RawToken() const { return raw_; }

  private:
    Platform::hstring refreshToken_, accessToken_, raw_;
    int64_t expiresIn_ = 0;
};

}  // namespace TarvikFoundation
