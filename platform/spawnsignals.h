#pragma once
// The project's programs ignore the file-size signal (common/filesizesignal.h); what
// they start gets its default back, whoever started it.
#include <signal.h>
#include <spawn.h>

namespace Platform {

// Sets `flags` and the file-size signal's default on `attributes`.
inline void defaultFileSizeSignal(posix_spawnattr_t& attributes, short flags) noexcept {
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGXFSZ);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, static_cast<short>(flags | POSIX_SPAWN_SETSIGDEF));
}

}  // namespace Platform
