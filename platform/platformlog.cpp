#include "platform/platformlog.h"

#include <atomic>

namespace Platform {

namespace {

// Installed once at start-up and read by every line, from any thread.
constinit std::atomic<decltype(LogSink::writes)> g_writes{nullptr};
constinit std::atomic<decltype(LogSink::write)> g_write{nullptr};

}  // namespace

void SetLogSink(LogSink sink) noexcept {
    g_writes.store(sink.writes, std::memory_order_release);
    g_write.store(sink.write, std::memory_order_release);
}

bool LogWrites(const char* level) noexcept {
    const auto writes = g_writes.load(std::memory_order_acquire);
    return g_write.load(std::memory_order_acquire) && (!writes || writes(level));
}

void LogLine(const char* level, const char* file, const char* function, unsigned line,
             const char* format, ...) noexcept {
    const auto write = g_write.load(std::memory_order_acquire);
    if (!write) return;
    va_list args;
    va_start(args, format);
    write(level, file, function, line, format, args);
    va_end(args);
}

}  // namespace Platform
