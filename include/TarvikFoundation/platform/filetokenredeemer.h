#pragma once
/// @file
/// Turns a file token that the package's full-trust helper issued into an open file.
/// The helper owns the tokens and opens the file outside any sandbox; the descriptor
/// reaches this process over the package's `filetokens.sock` (see filetokenwire.h), so
/// the application never learns the file's path and the contents never cross the
/// message channel.
#include <memory>

#include <TarvikFoundation/platform/async.h>
#include <TarvikFoundation/platform/hstring.h>
#include <TarvikFoundation/platform/redeemedfile.h>

namespace Platform {

/// Redeems file tokens for open files (see the file's description).
class TARVIK_API FileTokenRedeemer {
  public:
    /// The file in the access its token grants. Fails with the code of the owner's
    /// refusal; with 0x80070002 when no owner listens for the current package; with the
    /// system's error (HRESULT form) when the exchange breaks or takes longer than 5 s.
    static IAsyncOperation<std::shared_ptr<RedeemedFile>> RedeemAsync(const hstring& token);
    /// The same, asking for `access`; an access other than the token's is refused.
    static IAsyncOperation<std::shared_ptr<RedeemedFile>> RedeemAsync(const hstring& token,
                                                                      FileAccessMode access);
};

}  // namespace Platform
