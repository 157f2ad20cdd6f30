#pragma once
// The project's programs ignore the file-size signal (common/filesizesignal.h) and may
// block others to take them on a thread of their own (the helper's end); what they
// start gets the defaults back, whoever started it.
#include <signal.h>
#include <spawn.h>

namespace Platform {

// Sets `flags`, the file-size signal's default and an empty signal mask on `attributes`.
inline void defaultSignals(posix_spawnattr_t& attributes, short flags) noexcept {
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGXFSZ);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(
        &attributes, static_cast<short>(flags | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK));
}

}  // namespace Platform
