#include "platform/diagnostics.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

namespace Platform {

uint32_t current_thread_id() noexcept {
    thread_local const uint32_t tid = static_cast<uint32_t>(::syscall(SYS_gettid));
    return tid;
}

uint32_t current_process_id() noexcept {
    return static_cast<uint32_t>(::getpid());
}

void debug_output(const char* text) noexcept {
    std::fputs(text, stderr);
    std::fflush(stderr);
}

void local_timestamp(char* buf, std::size_t cap) noexcept {
    if (cap == 0) return;
    buf[0] = '\0';
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (now == static_cast<std::time_t>(-1) || !::localtime_r(&now, &local)) return;
    if (std::strftime(buf, cap, "%d-%m-%y %H:%M:%S", &local) == 0) buf[0] = '\0';
}

}  // namespace Platform
