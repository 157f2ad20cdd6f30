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
    // Null until the host created its application object.
    static std::shared_ptr<Application> Current();
    // Creates the process's application object (once; later calls return it).
    static std::shared_ptr<Application> Create();

    event<const SuspendingEventArgs&> Suspending;
    event<const ResumingEventArgs&> Resuming;

    /// The host tells the application it is being suspended or resumed.
    void RaiseSuspending() { Suspending(SuspendingEventArgs{}); }
    void RaiseResuming() { Resuming(ResumingEventArgs{}); }
};

}  // namespace Platform
