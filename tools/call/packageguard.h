#pragma once
// One application per package: tarvik-call takes the application's place, so it runs
// only while the package's application does not, and keeps it so while it runs.
#include <memory>
#include <stdexcept>

#include <TarvikFoundation/platform/hstring.h>

namespace TarvikRun {
class InstanceLock;
}

namespace TarvikCall {

/// Why tarvik-call does not run now; names the package. Exit status 2.
struct Refused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class PackageGuard {
  public:
    /// Raises Refused when the package's application runs confined (tarvik-run holds its
    /// instance lock), when a helper of the package runs (it serves a live application),
    /// or, in-process, when another process already serves the service. Holds the
    /// instance lock from then on, so that tarvik-run refuses the package meanwhile.
    PackageGuard(const Platform::hstring& familyName, const Platform::hstring& serviceName,
                 bool background);
    ~PackageGuard();
    PackageGuard(const PackageGuard&) = delete;
    PackageGuard& operator=(const PackageGuard&) = delete;

  private:
    std::unique_ptr<TarvikRun::InstanceLock> instance_;
};

}  // namespace TarvikCall
