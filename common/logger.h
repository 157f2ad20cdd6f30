#pragma once
/// @file
/// The process-wide logger: one formatted line per call, filtered by level, written
/// to the network sink, the log file or the debugger output.
#include <atomic>
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

/// Sets the threshold (clamped to 4) and the tag that starts every line ("UWP",
/// "TSK", "W32").
void ConfigureLogger(uint32_t logLevel, const std::string& roleTag) noexcept;
/// Also sends lines to TCP 127.0.0.1:4545 when that connects on the first try.
void SetNetworkLogging(bool enabled) noexcept;
/// The file the next line opens (rotated at 4 MiB).
void SetLogFilePath(const std::wstring& path) noexcept;
/// Closes the current log file; the next line opens the configured path afresh.
void CloseLogFile() noexcept;
/// The configured log file.
std::wstring GetLogFilePath();
/// The lowest level rank written.
uint32_t GetLogThreshold() noexcept;
/// Whether a line of this level would be written now, not dropped.
bool LogWrites(const char* level) noexcept;

/// Current local time as "%d-%m-%y %H:%M:%S", or "" when unavailable.
std::string GetTimeStamp();

/// Reduces a compiler function signature to "namespace::class::method"; lambdas end
/// in "::operator ()". Writes at most cap-1 characters.
void QualifiedFunctionName(const char* signature, char* out, std::size_t cap) noexcept;

namespace detail {

/// A level's rank against the threshold: scope markers 0, DBG 1, INF 2, WRN 3, any other
/// level 4. Constant for a literal level, so that a line below the threshold costs a
/// load and a compare at the call, not a call with all its arguments.
constexpr uint32_t levelRank(const char* level) noexcept {
    if (!level) return 4;
    const auto is = [level](const char(&name)[4]) {
        return level[0] == name[0] && level[1] == name[1] && level[2] == name[2] &&
               level[3] == '\0';
    };
    if (is("DBG")) return 1;
    if (is("INF")) return 2;
    if (is("WRN")) return 3;
    for (const char* p = level; *p; ++p)
        if (*p == '{' || *p == '}') return 0;
    return 4;
}

/// The logger's threshold: lines of a lower rank are dropped.
const std::atomic<uint32_t>& threshold() noexcept;

/// False when a line of this level is sure to be dropped; LogMessage decides the rest.
inline bool mayWrite(const char* level) noexcept {
    return levelRank(level) >= threshold().load(std::memory_order_relaxed);
}

}  // namespace detail

/// Entry and exit markers of a function.
class LogScope {
  public:
    /// Logs the entry marker; the destructor logs the exit marker.
    LogScope(const char* file, const char* function, unsigned line) noexcept
        : file_(file), function_(function), line_(line) {
        if (detail::mayWrite("{")) LogMessage("{", file_, function_, line_, "");
    }
    ~LogScope() {
        if (detail::mayWrite("}")) LogMessage("}", file_, function_, line_, "");
    }
    LogScope(const LogScope&) = delete;
    LogScope& operator=(const LogScope&) = delete;

  private:
    const char* file_;
    const char* function_;
    unsigned line_;
};

}  // namespace Tarvik

/// The compiler's full signature of the enclosing function.
#define TARVIK_FUNCTION __PRETTY_FUNCTION__
/// Logs one line at `level` ("DBG", "INF", "WRN", "CRT", ...) with a printf format;
/// the arguments are not evaluated when the line would be dropped.
#define TLOG(level, ...)                                                                 \
    (::Tarvik::detail::mayWrite(level)                                                   \
         ? ::Tarvik::LogMessage(level, __FILE__, TARVIK_FUNCTION, __LINE__, __VA_ARGS__) \
         : -1)
/// TLOG with a wide format.
#define TLOGW(level, ...)                                                                    \
    (::Tarvik::detail::mayWrite(level)                                                       \
         ? ::Tarvik::LogMessageWide(level, __FILE__, TARVIK_FUNCTION, __LINE__, __VA_ARGS__) \
         : -1)
/// Logs entry and exit markers of the enclosing function.
#define TLOG_SCOPE() ::Tarvik::LogScope tarvik_log_scope_(__FILE__, TARVIK_FUNCTION, __LINE__)
