#pragma once
// A write past the file-size limit (RLIMIT_FSIZE) ends a process by default. The
// project's programs ignore that signal, so that the write fails with EFBIG instead,
// which the log and the stores handle as they handle a full disk. The library leaves
// signal dispositions to its host.
#include <spawn.h>

#include <csignal>

namespace Tarvik {

inline void ignoreFileSizeSignal() noexcept {
    std::signal(SIGXFSZ, SIG_IGN);
}

// What such a program starts gets the default back: `flags`, and the signal's default,
// for `attributes`.
inline void defaultFileSizeSignal(posix_spawnattr_t& attributes, short flags) noexcept {
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGXFSZ);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, static_cast<short>(flags | POSIX_SPAWN_SETSIGDEF));
}

}  // namespace Tarvik
