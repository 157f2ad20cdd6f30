#pragma once
/// @file
/// Who is calling a package's app service, from facts the caller cannot forge: the
/// socket it reached (the package's), its process id (SO_PEERCRED), and what the
/// platform started for the package. The opening frame only says which of the two
/// roles the caller wants; the facts must back it.
#include <string>

#include <TarvikFoundation/platform/hstring.h>

namespace Platform::CallerIdentity {

struct Verdict {
    bool accepted = false;
    /// The caller's package family name for the trigger: empty for the helper.
    hstring callerPackageFamilyName;
    /// Why a caller was refused, for the log.
    std::string reason;
};

/// Decides about the peer on `fd`, a connection to one of the package's services whose
/// opening frame claimed `claimedCaller` (empty: the package's helper).
Verdict identify(int fd, const hstring& packageFamilyName, const hstring& claimedCaller);

}  // namespace Platform::CallerIdentity
