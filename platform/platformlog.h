#pragma once
/// @file
/// Where the platform's own log lines go. The platform formats nothing itself: a line
/// is its level, where it was logged and a printf-style format with its arguments,
/// handed to the sink that the process's logger installs at start-up. Without a sink
/// the lines are dropped.
#include <cstdarg>

namespace Platform {

struct LogSink {
    /// Whether a line of this level would be written now; null: every level is.
    bool (*writes)(const char* level) noexcept = nullptr;
    /// Writes one line; `function` is the compiler's signature of the caller.
    void (*write)(const char* level, const char* file, const char* function, unsigned line,
                  const char* format, va_list args) noexcept = nullptr;
};

void SetLogSink(LogSink sink) noexcept;

/// Whether the installed sink takes a line of this level; false without a sink.
bool LogWrites(const char* level) noexcept;

/// Formats accept whatever the sink's formats do (the logger's take %I64u and %S).
void LogLine(const char* level, const char* file, const char* function, unsigned line,
             const char* format, ...) noexcept;

}  // namespace Platform

#define PLOG(level, ...)                                                                    \
    (::Platform::LogWrites(level)                                                           \
         ? ::Platform::LogLine(level, __FILE__, __PRETTY_FUNCTION__, __LINE__, __VA_ARGS__) \
         : void())
