#pragma once
// A write past the file-size limit (RLIMIT_FSIZE) ends a process by default. The
// project's programs ignore that signal, so that the write fails with EFBIG instead,
// which the log and the stores handle as they handle a full disk; what they start gets
// the default back (platform/spawnsignals.h). The library leaves signal dispositions to
// its host.
#include <csignal>

namespace Tarvik {

inline void ignoreFileSizeSignal() noexcept {
    std::signal(SIGXFSZ, SIG_IGN);
}

}  // namespace Tarvik
