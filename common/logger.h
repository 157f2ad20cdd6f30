#pragma once
/// @file
/// The process-wide logger: one formatted line per call, filtered by level, written
/// to the network sink, the log file or the debugger output.
#include <cstdint>
#include <string>

namespace Tarvik {

/// Formats and writes one line; returns the sink's result, or all-ones when dropped.
/// Formats accept the %I64d / %I64u / %I64x length forms besides the standard ones.
int LogMessage(const char* level, const char* file, const char* function, unsigned line,
               const char* format, ...) noexcept;
/// As LogMessage with a wide format and wide arguments. In wide formats %s is a wide
/// string and %S a narrow one.
int LogMessageWide(const char* level, const char* file, const char* function, unsigned line,
                   const wchar_t* format, ...) noexcept;

void ConfigureLogger(uint32_t logLevel, const std::string& roleTag) noexcept;
void SetNetworkLogging(bool enabled) noexcept;
void SetLogFilePath(const std::wstring& path) noexcept;
// Closes the current log file; the next line opens the configured path afresh.
void CloseLogFile() noexcept;
std::wstring GetLogFilePath();
uint32_t GetLogThreshold() noexcept;
/// Whether a line of this level would be written now, not dropped.
bool LogWrites(const char* level) noexcept;

// Current local time as "%d-%m-%y %H:%M:%S", or "" when unavailable.
std::string GetTimeStamp();

/// Reduces a compiler function signature to "namespace::class::method"; lambdas end
/// in "::operator ()". Writes at most cap-1 characters.
void QualifiedFunctionName(const char* signature, char* out, std::size_t cap) noexcept;

/// Entry and exit markers of a function.
class LogScope {
  public:
    LogScope(const char* file, const char* function, unsigned line) noexcept
        : file_(file), function_(function), line_(line) {
        LogMessage("{", file_, function_, line_, "");
    }
    ~LogScope() { LogMessage("}", file_, function_, line_, ""); }
    LogScope(const LogScope&) = delete;
    LogScope& operator=(const LogScope&) = delete;

  private:
    const char* file_;
    const char* function_;
    unsigned line_;
};

}  // namespace Tarvik

#define TARVIK_FUNCTION __PRETTY_FUNCTION__
#define TLOG(level, ...) \
    ::Tarvik::LogMessage(level, __FILE__, TARVIK_FUNCTION, __LINE__, __VA_ARGS__)
#define TLOGW(level, ...) \
    ::Tarvik::LogMessageWide(level, __FILE__, TARVIK_FUNCTION, __LINE__, __VA_ARGS__)
#define TLOG_SCOPE() ::Tarvik::LogScope tarvik_log_scope_(__FILE__, TARVIK_FUNCTION, __LINE__)
