#pragma once
#include <memory>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/event.h>

namespace Platform {

struct SuspendingEventArgs {};
struct ResumingEventArgs {};

/// The host's application object: it raises Suspending and Resuming. A process
/// without one (a helper, a service host) has no Current().
class TARVIK_API Application {
  public:
    /// Null until the host created its application object.
    static std::shared_ptr<Application> Current();
    /// Creates the process's application object (once; later calls return it).
    static std::shared_ptr<Application> Create();

    /// Raised when the host suspends the application: sends are held.
    event<const SuspendingEventArgs&> Suspending;
    /// Raised when the host resumes the application: sends go on, the connection is
    /// opened again.
    event<const ResumingEventArgs&> Resuming;

    /// The host tells the application it is being suspended.
    void RaiseSuspending() { Suspending(SuspendingEventArgs{}); }
    /// The host tells the application it is being resumed.
    void RaiseResuming() { Resuming(ResumingEventArgs{}); }
};

}  // namespace Platform
